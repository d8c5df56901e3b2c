"""LiDAR acquisitions: scanner geometry and timing, classification by height
above the terrain, and an ALS strip over the demo canopy through LAS and back."""
import pathlib
import sys

import numpy as np
import pytest

import vorn

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "examples"))
from canopy import canopy_scene  # noqa: E402


def test_line_scanners_geometry_and_times():
    als = vorn.lidar.als([((0, 0), (100, 0)), ((100, 10), (0, 10))], altitude=500.0, speed=50.0,
                         pulse_rate=1000.0, scan_rate=10.0, scan_angle=20.0, turn_time=30.0)
    first = als.line == 0
    assert first.sum() == 2001 and (~first).sum() == 2001
    np.testing.assert_allclose(als.gps_time[first], np.arange(2001) / 1000.0)
    assert als.gps_time[~first][0] == pytest.approx(2.0 + 30.0)
    np.testing.assert_allclose(np.linalg.norm(als.directions, axis=1), 1.0)
    assert als.scan_angle.min() == pytest.approx(-20) and als.scan_angle.max() == pytest.approx(20)
    # flying east, a positive (right-hand) angle points south: y = -500 tan(angle) on the ground
    t = -als.origins[:, 2] / als.directions[:, 2]
    ground = als.origins + t[:, None] * als.directions
    np.testing.assert_allclose(ground[first, 1], -500 * np.tan(np.radians(als.scan_angle[first])), atol=1e-9)
    np.testing.assert_allclose(ground[~first, 1], 10 + 500 * np.tan(np.radians(als.scan_angle[~first])), atol=1e-9)
    np.testing.assert_allclose(als.origins[first, 0], 50.0 * als.gps_time[first])
    drone = vorn.lidar.drone([((0, 0), (0, 8))], altitude=60.0, speed=8.0, pulse_rate=1000.0,
                             scan_rate=10.0, scan_angle=45.0, tilt=10.0)
    sweep = drone.scan_angle[:100]  # one rotation: one way only, from -45 to +45
    assert np.all(np.diff(sweep) > 0) and sweep[0] == -45.0 and drone.scan_angle[100] == -45.0
    np.testing.assert_allclose(drone.directions[:, 1], np.cos(np.radians(drone.scan_angle)) * np.sin(np.radians(10)))


def test_terrestrial_scanner_covers_its_angular_grid():
    tls = vorn.lidar.tls((1.0, 2.0, 1.5), azimuth_step=30.0, zenith_step=10.0, zenith_range=(40.0, 140.0),
                         pulse_rate=100.0)
    assert len(tls) == 12 * 11 and np.all(tls.origins == [1.0, 2.0, 1.5])
    zen = np.degrees(np.arccos(tls.directions[:, 2]))
    np.testing.assert_allclose(zen[:11], np.arange(40.0, 141.0, 10.0))
    np.testing.assert_allclose(tls.scan_angle, 90.0 - zen, atol=1e-9)
    az = np.degrees(np.arctan2(tls.directions[:, 0], tls.directions[:, 1])) % 360
    np.testing.assert_allclose(az[::11], np.arange(0.0, 360.0, 30.0), atol=1e-9)
    assert tls.gps_time[-1] == pytest.approx((len(tls) - 1) / 100.0)


def test_classes_by_height_above_terrain():
    z = np.array([0.1, -0.5, 0.4, 1.0, 5.0, 3.0])
    got = vorn.lidar.classify(z, np.array([0.0, 0.0, 0.0, 0.0, 0.0, np.nan]), tolerance=0.2)
    assert got.tolist() == [2, 7, 3, 4, 5, 1]


def test_als_strip_over_the_demo_canopy_survives_las(tmp_path):
    laspy = pytest.importorskip("laspy")
    pytest.importorskip("xarray")
    scene = canopy_scene(size=10.0, num_trees=3, leaves_per_tree=600)
    pulses = vorn.lidar.als([((0.0, 5.0), (10.0, 5.0))], altitude=60.0, speed=10.0, pulse_rate=300.0,
                            scan_rate=20.0, scan_angle=4.0, start_time=1000.0)
    calls = []
    r = vorn.scan(scene, pulses, progress=lambda *a: calls.append(a[:2]))
    assert calls[-1] == (len(pulses), len(pulses))
    cls = r.classification.values
    assert r.sizes["point"] >= len(pulses) and set(cls.tolist()) >= {2, 5}
    assert np.all(np.abs(r.z.values[cls == 2]) < 0.3) and np.all(r.z.values[cls == 5] > 2.0)
    scale = vorn.lidar.to_las(tmp_path / "strip.las", r)
    las = laspy.read(tmp_path / "strip.las")
    assert las.header.version.minor == 4 and len(las.points) == r.sizes["point"]
    np.testing.assert_array_equal(las.gps_time, r.gps_time.values)
    assert np.all(las.gps_time >= 1000.0)
    np.testing.assert_array_equal(las.classification, cls)
    np.testing.assert_array_equal(las.return_number, r.return_number.values)
    np.testing.assert_array_equal(las.number_of_returns, r.number_of_returns.values)
    np.testing.assert_allclose(las.z, r.z.values, atol=6e-4)
    np.testing.assert_allclose(np.asarray(las.scan_angle) * 0.006, r.scan_angle.values, atol=0.003)
    np.testing.assert_allclose(np.asarray(las.intensity) / scale, r.intensity.values,
                               atol=0.5 / scale)
    assert int(np.max(las.intensity)) == 65535
