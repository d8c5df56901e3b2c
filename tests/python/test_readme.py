"""The README's example runs as written, gives rho * E / pi, and type-checks."""
import math
import pathlib
import re
import subprocess
import sys

import pytest

import vorn_gpu


def test_readme_example_runs_and_gives_the_closed_form(capsys):
    readme = (pathlib.Path(__file__).parents[2] / "README.md").read_text()
    code = re.search(r"```python\n(.*?)```", readme, re.S).group(1)
    namespace = {}
    exec(compile(code, "README.md", "exec"), namespace)
    image = namespace["image"]
    assert image.shape == (32, 32, 1)
    assert abs(float(image.mean()) - 0.2 * 1000.0 / math.pi) < 1e-3
    assert "(32, 32, 1)" in capsys.readouterr().out


def test_readme_example_type_checks_against_the_installed_stubs(tmp_path):
    """mypy finds the stubs the build installed, accepts the README example and
    reports a wrong argument type in a copy of it."""
    pytest.importorskip("mypy")
    here = pathlib.Path(vorn_gpu.__file__).parent
    if not (here / "vorn_gpu-stubs" / "__init__.pyi").is_file():
        pytest.skip("vorn_gpu was built without pybind11-stubgen: no stubs")
    assert (here / "vorn_gpu.pyi").is_file()
    readme = (pathlib.Path(__file__).parents[2] / "README.md").read_text()
    code = re.search(r"```python\n(.*?)```", readme, re.S).group(1)
    (tmp_path / "example.py").write_text(code)
    (tmp_path / "wrong.py").write_text(code.replace("spp=4", 'spp="4"'))
    run = subprocess.run([sys.executable, "-m", "mypy", "--cache-dir", str(tmp_path / "cache"),
                          "example.py", "wrong.py"], cwd=tmp_path, capture_output=True, text=True)
    errors = [l for l in run.stdout.splitlines() if ": error:" in l]
    assert len(errors) == 1 and errors[0].startswith("wrong.py:"), run.stdout
    assert 'Argument "spp" to "simulate_cpu"' in errors[0]
