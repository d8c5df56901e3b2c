"""The examples: the demo end to end, the absorbed-PAR profile, LAS export of
LiDAR returns, and the README's example."""
import math
import pathlib
import re
import struct
import sys
import zlib

import numpy as np
import pytest

from conftest import CpuBackend
from scenes import add_surface, new_scene, quad

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "examples"))

import demo_canopy  # noqa: E402
import las_export  # noqa: E402
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
    assert read_png_rgb(tmp_path / "fpar_profile.png").shape[2] == 3
    points = np.loadtxt(tmp_path / "lidar_points.csv", delimiter=",", skiprows=1)
    assert points.ndim == 2 and points.shape[1] == 8 and len(points) > 0
    # Returns lie on the canopy or the ground, never below the ground or above the top.
    assert points[:, 2].min() > -0.2 and points[:, 2].max() < 7.0
    fpar_line = [l for l in printed.splitlines() if l.startswith("canopy ")][0]
    assert 0.0 < float(fpar_line.split("absorbed ")[1].split(",")[0]) <= 1.0


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

    img = plot_profile(p, tmp_path / "fpar.png", width=200, height=120)
    np.testing.assert_array_equal(read_png_rgb(tmp_path / "fpar.png"), img)
    # Bar lengths in proportion to fPAR: coloured pixels along each bar's middle row.
    rows = ((img != 255).any(axis=2) & (img != 0).any(axis=2)).sum(axis=1)
    assert rows.max() == pytest.approx(0.9 * (200 - 40 - 10), abs=1)
    lengths = sorted(set(rows[rows > 0]))
    assert lengths[-1] == pytest.approx(lengths[0] * max(p.fpar) / min(p.fpar[[0, -1]]), abs=2)


POINTS = np.array([[1.5, -2.25, 10.0, 4e-6, 1, 2, 90.0, 0],
                   [1.5, -2.25, 2.0, 1e-6, 2, 2, 98.0, 0],
                   [7.0, 3.0, 0.5, 2e-6, 1, 1, 99.5, 1]], np.float32)


def test_field_mapping():
    f = las_export.las_fields(POINTS)
    np.testing.assert_array_equal(f["z"], POINTS[:, 2].astype(np.float64))
    # Intensity scaled so that the strongest return is 65535; an explicit scale clips.
    assert f["intensity"].dtype == np.uint16
    assert list(f["intensity"]) == [65535, round(65535 / 4), round(65535 / 2)]
    assert f["intensity_scale"] == pytest.approx(65535 / 4e-6, rel=1e-6)
    assert list(las_export.las_fields(POINTS, intensity_scale=2e10)["intensity"]) == [65535, 20000, 40000]
    assert list(f["return_number"]) == [1, 2, 1] and f["return_number"].dtype == np.uint8
    assert list(f["number_of_returns"]) == [2, 2, 1]
    assert list(f["gps_time"]) == [0.0, 0.0, 1.0]
    np.testing.assert_array_equal(f["range"], POINTS[:, 6])
    with pytest.raises(ValueError, match="shape"):
        las_export.las_fields(np.zeros((3, 7)))


def test_write_and_read_back(tmp_path):
    laspy = pytest.importorskip("laspy")
    scale = las_export.write_las(str(tmp_path / "returns.las"), POINTS)
    las = laspy.read(str(tmp_path / "returns.las"))
    assert las.header.point_format.id == 6 and len(las.points) == 3
    np.testing.assert_allclose(np.stack([las.x, las.y, las.z], 1), POINTS[:, :3], atol=5e-4)
    np.testing.assert_allclose(np.asarray(las.intensity) / scale, POINTS[:, 3], rtol=1e-4)
    assert list(las.return_number) == [1, 2, 1] and list(las.number_of_returns) == [2, 2, 1]
    assert list(las.gps_time) == [0.0, 0.0, 1.0]
    np.testing.assert_array_equal(np.asarray(las.range), POINTS[:, 6])


def test_readme_example_runs_and_gives_the_closed_form(capsys):
    code = re.search(r"```python\n(.*?)```", (ROOT / "README.md").read_text(), re.S).group(1)
    namespace = {}
    exec(compile(code, "README.md", "exec"), namespace)
    assert namespace["image"].shape == (32, 32, 1)
    assert abs(float(namespace["image"].mean()) - 0.2 * 1000.0 / math.pi) < 1e-3
    assert "(32, 32, 1)" in capsys.readouterr().out
