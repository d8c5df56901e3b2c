"""The demo (the README's main job) runs end to end and writes its outputs."""
import importlib.util
import os
import re
import sys

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "examples"))

import demo_canopy  # noqa: E402
from png import write_png  # noqa: E402
from test_backward_demo import read_png_rgb  # noqa: E402


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
    absorbed = float(fpar_line.split("absorbed ")[1].split(",")[0])
    assert 0.0 < absorbed <= 1.0


def test_png_rows_are_written_upright(tmp_path):
    rgb = np.zeros((2, 3, 3), np.uint8)
    rgb[0] = 255  # the engine's row 0: the bottom of the view
    write_png(tmp_path / "a.png", rgb)
    np.testing.assert_array_equal(read_png_rgb(tmp_path / "a.png"), rgb[::-1])
    write_png(tmp_path / "b.png", rgb, origin="upper")
    np.testing.assert_array_equal(read_png_rgb(tmp_path / "b.png"), rgb)
