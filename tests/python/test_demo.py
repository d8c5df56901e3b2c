"""The demo (the README's main job) runs end to end and writes its outputs."""
import os
import sys

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "examples"))

import demo_canopy  # noqa: E402
from test_backward_demo import read_png_rgb  # noqa: E402


def test_demo_writes_image_profile_and_point_cloud(tmp_path, capsys):
    assert demo_canopy.main(["--out", str(tmp_path), "--size", "24", "--spp", "1",
                             "--photons", "20000"]) == 0
    printed = capsys.readouterr().out
    radiance = np.load(tmp_path / "canopy_radiance.npy")
    assert radiance.shape == (24, 24, 3) and np.all(radiance >= 0) and radiance.max() > 0
    assert read_png_rgb(tmp_path / "canopy_false_colour.png").shape == (24, 24, 3)
    assert read_png_rgb(tmp_path / "fpar_profile.png").shape[2] == 3
    points = np.loadtxt(tmp_path / "lidar_points.csv", delimiter=",", skiprows=1)
    assert points.ndim == 2 and points.shape[1] == 8 and len(points) > 0
    # Returns lie on the canopy or the ground, never below the ground or above the top.
    assert points[:, 2].min() > -0.2 and points[:, 2].max() < 7.0
    fpar_line = [l for l in printed.splitlines() if l.startswith("canopy ")][0]
    absorbed = float(fpar_line.split("absorbed ")[1].split(",")[0])
    assert 0.0 < absorbed <= 1.0
