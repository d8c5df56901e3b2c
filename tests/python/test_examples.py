"""The examples: the demo end to end, the PNG writer, the absorbed-PAR profile,
and the README's example (run, and type-checked against the stubs)."""
import importlib.util
import math
import pathlib
import re
import struct
import subprocess
import sys
import zlib

import numpy as np
import pytest

import vorn_gpu

from conftest import CpuBackend
from scenes import add_surface, new_scene, quad

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "examples"))

import demo_canopy  # noqa: E402
from png import write_png  # noqa: E402
from fpar_profile import format_profile, fpar_profile, plot_profile  # noqa: E402


def read_png_rgb(path):
    """Minimal decoder for 8-bit RGB PNGs with filter 0 rows."""
    data = open(path, "rb").read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    pos, chunks = 8, {}
    while pos < len(data):
        (length,) = struct.unpack(">I", data[pos:pos + 4])
        kind, body = data[pos + 4:pos + 8], data[pos + 8:pos + 8 + length]
        (crc,) = struct.unpack(">I", data[pos + 8 + length:pos + 12 + length])
        assert crc == zlib.crc32(kind + body) & 0xFFFFFFFF, kind
        chunks[kind] = chunks.get(kind, b"") + body
        pos += 12 + length
    width, height, depth, colour = struct.unpack(">IIBB", chunks[b"IHDR"][:10])
    assert (depth, colour) == (8, 2) and b"IEND" in chunks
    rows = np.frombuffer(zlib.decompress(chunks[b"IDAT"]), np.uint8).reshape(height, -1)
    assert not rows[:, 0].any()
    return rows[:, 1:].reshape(height, width, 3)


def test_demo_writes_image_profile_and_point_cloud(tmp_path, capsys):
    assert demo_canopy.main(["--out", str(tmp_path), "--size", "24", "--spp", "1",
                             "--photons", "20000"]) == 0
    printed = capsys.readouterr().out
    radiance = np.load(tmp_path / "canopy_radiance.npy")
    assert radiance.shape == (24, 24, 3) and np.all(radiance >= 0) and radiance.max() > 0
    assert read_png_rgb(tmp_path / "canopy_false_colour.png").shape == (24, 24, 3)
    if importlib.util.find_spec("matplotlib"):
        assert (tmp_path / "fpar_profile.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    else:
        assert "pip install matplotlib" in printed
    # The printed band means name the bands in the canopy's order (450, 650, 850 nm).
    means = dict(re.findall(r"(blue|red|NIR) ([0-9.]+)", printed.split("mean radiance")[1]))
    np.testing.assert_allclose([float(means[b]) for b in ("blue", "red", "NIR")],
                               radiance.mean(axis=(0, 1)), atol=6e-5)
    points = np.loadtxt(tmp_path / "lidar_points.csv", delimiter=",", skiprows=1)
    assert points.ndim == 2 and points.shape[1] == 8 and len(points) > 0
    # Returns lie on the canopy or the ground, never below the ground or above the top.
    assert points[:, 2].min() > -0.2 and points[:, 2].max() < 7.0
    # Intensities (around 1e-7) survive the CSV; every pulse stays over the tile
    # and so returns at least its ground echo.
    assert points[:, 3].min() > 0.0
    pulses = int(re.search(r"(\d+) pulses, \d+ bins", printed).group(1))
    assert pulses == 80 * 80 and len(np.unique(points[:, 7])) == pulses
    fpar_line = [l for l in printed.splitlines() if l.startswith("canopy ")][0]
    assert 0.0 < float(fpar_line.split("absorbed ")[1].split(",")[0]) <= 1.0


def test_png_rows_are_written_upright(tmp_path):
    rgb = np.zeros((2, 3, 3), np.uint8)
    rgb[0] = 255  # the engine's row 0: the bottom of the view
    write_png(tmp_path / "a.png", rgb)
    np.testing.assert_array_equal(read_png_rgb(tmp_path / "a.png"), rgb[::-1])
    write_png(tmp_path / "b.png", rgb, origin="upper")
    np.testing.assert_array_equal(read_png_rgb(tmp_path / "b.png"), rgb)


def test_profile_puts_the_plate_in_the_top_layer_and_the_rest_on_the_ground(tmp_path):
    # Black ground and a black plate at 1 m over half of a 2 m periodic tile,
    # sun at the zenith.
    s = new_scene(CpuBackend(), 1, [0.0, 1.0], [(0, 0)])
    add_surface(s, quad(0, 2, 0, 2), 0)
    add_surface(s, quad(0, 1, 0, 2, 1.0), 0)
    s.set_emitter(0, np.array([0.0, 0.0, 1.0]), 1)
    s.set_repetitive(4, 2.0, 2.0)
    s.build()
    n = 40_000
    p = fpar_profile(s, num_bands=1, num_layers=4, num_photons=n)
    np.testing.assert_allclose(p.layer_heights, [-1, 0.05, 0.2875, 0.525, 0.7625, 1.0], rtol=1e-6)
    tol = 5 * math.sqrt(0.5 * 0.5 / n) + 1e-6  # binomial share of photons on the plate
    assert p.fpar[-1] == pytest.approx(0.5, abs=tol)
    assert p.fpar[0] == pytest.approx(0.5, abs=tol)
    assert p.fpar[1:-1].sum() == 0.0
    assert p.fpar.sum() == pytest.approx(1.0, abs=1e-6)  # black: nothing escapes
    assert "ground" in format_profile(p).splitlines()[-2]

    pytest.importorskip("matplotlib")
    ax = plot_profile(p, tmp_path / "fpar.png")
    assert (tmp_path / "fpar.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert "fPAR" in ax.get_xlabel() and ax.get_ylabel() == "height above ground (m)"
    assert ax.get_title() and [t.get_text() for t in ax.get_legend().get_texts()] == \
        ["canopy layer", "ground (below 0.05 m)"]
    # One bar per layer: its length the layer's fPAR, its extent the layer's heights.
    bars = sorted(ax.patches, key=lambda r: r.get_y())
    np.testing.assert_allclose([b.get_width() for b in bars], p.fpar)
    np.testing.assert_allclose([b.get_y() + b.get_height() for b in bars], p.layer_heights[1:])


def test_readme_example_runs_and_gives_the_closed_form(capsys):
    code = re.search(r"```python\n(.*?)```", (ROOT / "README.md").read_text(), re.S).group(1)
    namespace = {}
    exec(compile(code, "README.md", "exec"), namespace)
    assert namespace["image"].shape == (32, 32, 1)
    assert abs(float(namespace["image"].mean()) - 0.2 * 1000.0 / math.pi) < 1e-3
    assert "(32, 32, 1)" in capsys.readouterr().out


def test_readme_example_type_checks_against_the_installed_stubs(tmp_path):
    """mypy finds the stubs the build installed, accepts the README example and
    reports a wrong argument type in a copy of it."""
    pytest.importorskip("mypy")
    here = pathlib.Path(vorn_gpu.__file__).parent
    if not (here / "vorn_gpu-stubs" / "__init__.pyi").is_file():
        pytest.skip("vorn_gpu was built without pybind11-stubgen: no stubs")
    assert (here / "vorn_gpu.pyi").is_file()
    code = re.search(r"```python\n(.*?)```", (ROOT / "README.md").read_text(), re.S).group(1)
    (tmp_path / "example.py").write_text(code)
    (tmp_path / "wrong.py").write_text(code.replace("spp=4", 'spp="4"'))
    run = subprocess.run([sys.executable, "-m", "mypy", "--cache-dir", str(tmp_path / "cache"),
                          "example.py", "wrong.py"], cwd=tmp_path, capture_output=True, text=True)
    errors = [l for l in run.stdout.splitlines() if ": error:" in l]
    assert len(errors) == 1 and errors[0].startswith("wrong.py:"), run.stdout
    assert 'Argument "spp" to "simulate_cpu"' in errors[0]
