"""LAS export of LiDAR returns: field mapping (always) and a real write (with laspy)."""
import importlib.util
import pathlib

import numpy as np
import pytest

_PATH = pathlib.Path(__file__).resolve().parents[2] / "examples" / "las_export.py"
_spec = importlib.util.spec_from_file_location("las_export", _PATH)
las_export = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(las_export)

# Two pulses: one with two returns, one with a single return.
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
