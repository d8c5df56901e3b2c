"""The README's example runs as written and gives rho * E / pi."""
import math
import pathlib
import re


def test_readme_example_runs_and_gives_the_closed_form(capsys):
    readme = (pathlib.Path(__file__).parents[2] / "README.md").read_text()
    code = re.search(r"```python\n(.*?)```", readme, re.S).group(1)
    namespace = {}
    exec(compile(code, "README.md", "exec"), namespace)
    image = namespace["image"]
    assert image.shape == (32, 32, 1)
    assert abs(float(image.mean()) - 0.2 * 1000.0 / math.pi) < 1e-3
    assert "(32, 32, 1)" in capsys.readouterr().out
