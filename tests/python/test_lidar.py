"""simulate_lidar_cpu: radiometry on flat surfaces, returns, result form and argument checks."""
import math
import re

import numpy as np
import pytest

import vorn_gpu

LAMBERTIAN, LEAF = 0, 13
# Two bands: a Lambertian at offset 0, a leaf (front, back, transmittance) at offset 2.
SPECTRAL = [0.3, 0.6, 0.4, 0.45, 0.2, 0.25, 0.1, 0.1]
E, A, RES = 2.0, 0.1, 0.15


def square(scene, z, half, material, x_max=None):
    """Horizontal square at height z, counter-clockwise seen from above (normal +z)."""
    x1 = half if x_max is None else x_max
    v = np.array([[-half, -half, z], [x1, -half, z], [x1, half, z], [-half, half, z]], np.float32)
    mesh = scene.add_mesh(v, np.zeros((0, 3), np.float32), np.array([[0, 1, 2], [0, 2, 3]], np.int32),
                          material)
    scene.add_instance(mesh)


def make_scene(*squares):
    scene = vorn_gpu.EmbreeSceneManager()
    scene.set_num_bands(2)
    scene.add_material(LAMBERTIAN, 0)
    scene.add_material(LEAF, 2)
    scene.upload_spectral_params(np.array(SPECTRAL, np.float32))
    for args in squares:
        square(scene, *args)
    scene.build()
    return scene


def lidar(scene, origins, directions, **kw):
    o = np.asarray(origins, np.float32).ravel()
    d = np.asarray(directions, np.float32).ravel()
    kw.setdefault("pulse_energy", E)
    kw.setdefault("sensor_area", A)
    return vorn_gpu.simulate_lidar_cpu(scene, o, d, len(o) // 3, **kw)


def beam_pattern(n):
    """Footprint samples (x, y, weight): the disc points of the (n+1)^2 grid, Gaussian weighted."""
    pts = []
    for i in range(n + 1):
        for j in range(n + 1):
            u, v = 2 * i / n - 1, 2 * j / n - 1
            if u * u + v * v <= 1.0001:
                pts.append((v, u, math.exp(-(u * u + v * v) / (2 * 0.50016385))))
    total = sum(p[2] for p in pts)
    return [(x, y, w / total) for x, y, w in pts]


@pytest.mark.parametrize("height", [3.07, 12.34, 50.0])  # slant ranges below max_range 100
@pytest.mark.parametrize("theta", [0.0, 0.4, 1.0])
def test_flat_plane_energy_and_single_return(height, theta):
    scene = make_scene((0.0, 5000.0, 0))
    d = [math.sin(theta), 0.0, -math.cos(theta)]
    r = lidar(scene, [[1.0, -2.0, height]], [d], num_wavelengths=2)
    slant = height / math.cos(theta)
    # Every sub-ray returns w_k cos(theta) rho E A / (pi r^2); the weights sum to 1
    # and the smoothing kernel sums to 1, so the bins add up to the whole return.
    # Sub-rays lie within 5e-4 rad of the pulse: relative spread ~ 1e-6.
    for w in range(2):
        want = SPECTRAL[w] * E * A * math.cos(theta) / (math.pi * slant ** 2)
        assert r["waveform"][0, :, w].sum(dtype=np.float64) == pytest.approx(want, rel=1e-4)
    assert r["num_returns"] == 1
    rec = r["points"][0]
    assert abs(rec[6] - slant) <= RES
    np.testing.assert_allclose(rec[:3], np.array([1.0, -2.0, height]) + np.array(d) * rec[6], atol=1e-4)
    assert list(rec[3:6]) == [pytest.approx(r["waveform"][0, :, :].sum(axis=1).max()), 1.0, 1.0]
    assert rec[7] == 0.0


def test_partial_cover_splits_the_footprint_between_two_returns():
    # A plate at 5 m covering x < -0.025 above the ground; the pulse at (0, 0, 10)
    # points down, so beam offset x maps onto world +x and reaches 0.25 m on the plate.
    scene = make_scene((5.0, 50.0, 0, -0.025), (0.0, 50.0, 0))
    alpha = 0.05
    r = lidar(scene, [[0, 0, 10]], [[0, 0, -1]], beam_half_angle_rad=alpha, num_wavelengths=1)
    upper = lower = 0.0
    for x, y, w in beam_pattern(10):
        t = math.tan(alpha) * math.hypot(x, y)
        cos3 = (1.0 / math.sqrt(1.0 + t * t)) ** 3  # cosine x (cos / h)^2 range factor
        if 5.0 * math.tan(alpha) * x < -0.025:
            upper += w * cos3 * SPECTRAL[0] * E * A / (math.pi * 25.0)
        else:
            lower += w * cos3 * SPECTRAL[0] * E * A / (math.pi * 100.0)
    wf = r["waveform"][0, :, 0].astype(np.float64)
    split = int(7.5 / RES)
    assert wf[:split].sum() == pytest.approx(upper, rel=1e-4)
    assert wf[split:].sum() == pytest.approx(lower, rel=1e-4)
    pts = r["points"]
    assert r["num_returns"] == 2
    assert abs(pts[0, 6] - 5.0) <= 2 * RES and abs(pts[1, 6] - 10.0) <= 2 * RES
    assert list(pts[:, 4]) == [1.0, 2.0] and list(pts[:, 5]) == [2.0, 2.0]


def test_direct_mode_records_true_range_and_first_band():
    scene = make_scene((0.0, 5000.0, 0))
    theta = 0.3
    d = [0.0, math.sin(theta), -math.cos(theta)]
    r = lidar(scene, [[0, 0, 10], [4, 5, 20], [0, 0, 5]], [d, [0, 0, -1], [0, 0, 1]],
              direct_mode=True, num_wavelengths=2)
    assert r["waveform"].shape == (0, 667, 2) and r["waveform"].dtype == np.float32
    assert r["num_bins"] == 667 and r["num_returns"] == 2
    slant = 10 / math.cos(theta)
    want = [[0, 10 * math.tan(theta), 0, math.cos(theta) * 0.3 * E * A / (math.pi * slant ** 2), 1, 1, slant, 0],
            [4, 5, 0, 0.3 * E * A / (math.pi * 400), 1, 1, 20, 1]]
    np.testing.assert_allclose(r["points"], np.array(want), rtol=1e-5, atol=1e-5)


def test_leaf_back_face_uses_back_reflectance_in_waveform_mode():
    scene = make_scene((0.0, 5000.0, 1))
    kw = dict(num_wavelengths=2)
    front = lidar(scene, [[0, 0, 8]], [[0, 0, -1]], **kw)["waveform"][0].sum(axis=0, dtype=np.float64)
    back = lidar(scene, [[0, 0, -8]], [[0, 0, 1]], **kw)["waveform"][0].sum(axis=0, dtype=np.float64)
    scale = E * A / (math.pi * 64)
    np.testing.assert_allclose(front, np.array(SPECTRAL[2:4]) * scale, rtol=1e-4)
    np.testing.assert_allclose(back, np.array(SPECTRAL[4:6]) * scale, rtol=1e-4)
    direct = lidar(scene, [[0, 0, -8]], [[0, 0, 1]], direct_mode=True, **kw)
    assert direct["points"][0, 3] == pytest.approx(SPECTRAL[2] * scale, rel=1e-5)


@pytest.mark.parametrize("direct", [False, True])
def test_empty_scene_and_no_pulses(direct):
    scene = vorn_gpu.EmbreeSceneManager()
    scene.build()
    r = lidar(scene, [[0, 0, 1]], [[0, 0, -1]], direct_mode=direct)
    assert list(r) == ["waveform", "points", "num_bins", "num_returns"]
    assert r["points"].shape == (0, 8) and r["points"].dtype == np.float32
    assert r["num_returns"] == 0 and r["num_bins"] == 667
    assert r["waveform"].shape == ((0, 667, 1) if direct else (1, 667, 1))
    assert not r["waveform"].any()
    none = vorn_gpu.simulate_lidar_cpu(scene, np.zeros(0), np.zeros(0), 0, direct_mode=direct)
    assert none["waveform"].shape == (0, 667, 1) and none["points"].shape == (0, 8)


def test_defaults_and_diagnostic_line(capfd):
    scene = make_scene((0.0, 5000.0, 0))
    o, d = np.array([0, 0, 10, 1, 1, 10], np.float64), [0, 0, -1, 0, 0, -1]  # float64 and a list
    implicit = vorn_gpu.simulate_lidar_cpu(scene, o, d, 2)
    out = capfd.readouterr().out
    assert re.fullmatch(r"LiDAR \(CPU\): 2 pulses, 81 beam samples, waveform mode, \d+ threads\n", out)
    explicit = vorn_gpu.simulate_lidar_cpu(scene, o, d, 2, 0.0005, 10, 1.0, 0.1, 0.15, 0.0, 100.0, 1,
                                           4.0, 1e-8, 5, False)
    np.testing.assert_array_equal(implicit["waveform"], explicit["waveform"])
    np.testing.assert_array_equal(implicit["points"], explicit["points"])
    capfd.readouterr()
    vorn_gpu.simulate_lidar_cpu(scene, o, d, 2, direct_mode=True)
    assert re.fullmatch(r"LiDAR \(CPU\): 2 pulses, 1 beam samples, direct mode, \d+ threads\n",
                        capfd.readouterr().out)


def test_beam_grids_without_points_trace_one_central_ray():
    scene = make_scene((0.0, 5000.0, 0))
    runs = [lidar(scene, [[0, 0, 10]], [[0, 0, -1]], beam_samples_per_dim=n)["waveform"] for n in (1, 0, -4)]
    for wf in runs[1:]:
        np.testing.assert_array_equal(wf, runs[0])
    assert runs[0].sum(dtype=np.float64) == pytest.approx(0.3 * E * A / (math.pi * 100), rel=1e-5)


BAD_ARGUMENTS = [
    (dict(pulse_fwhm_ns=0.0), "pulse_fwhm_ns"),
    (dict(pulse_fwhm_ns=-2.0), "pulse_fwhm_ns"),
    (dict(range_resolution=0.0), "range_resolution"),
    (dict(range_resolution=-0.15), "range_resolution"),
    (dict(min_range=50.0, max_range=10.0), "max_range"),
    (dict(num_wavelengths=0), "num_wavelengths"),
    (dict(num_wavelengths=3), "num_wavelengths"),
    (dict(beam_half_angle_rad=-0.001), "beam_half_angle_rad"),
    (dict(beam_samples_per_dim=100000), "beam_samples_per_dim"),
    (dict(max_range=1e8), "exceeds the limit"),
    (dict(max_range=1e12), "32-bit"),
]


@pytest.mark.parametrize("kw,word", BAD_ARGUMENTS)
def test_invalid_arguments_raise_clear_errors(kw, word):
    scene = make_scene((0.0, 50.0, 0))
    with pytest.raises(RuntimeError, match=re.escape(word)):
        lidar(scene, [[0, 0, 10]], [[0, 0, -1]], **kw)


def test_pulse_array_checks():
    scene = make_scene((0.0, 50.0, 0))
    good = np.array([0, 0, 10, 0, 0, 10], np.float32)
    with pytest.raises(RuntimeError, match="pulse_origins must hold at least 6 values, got 5"):
        vorn_gpu.simulate_lidar_cpu(scene, good[:5], good, 2)
    with pytest.raises(RuntimeError, match="pulse_directions must hold at least 6 values, got 3"):
        vorn_gpu.simulate_lidar_cpu(scene, good, good[:3], 2)
    with pytest.raises(RuntimeError, match="num_pulses must be >= 0, got -1"):
        vorn_gpu.simulate_lidar_cpu(scene, good, good, -1)
    with pytest.raises(ValueError, match="array has incorrect number of dimensions: 2; expected 1"):
        vorn_gpu.simulate_lidar_cpu(scene, good.reshape(2, 3), good, 2)
    with pytest.raises(TypeError):
        vorn_gpu.simulate_lidar_cpu(scene, good, good, 2.0)
    with pytest.raises(RuntimeError, match="not built"):
        vorn_gpu.simulate_lidar_cpu(vorn_gpu.EmbreeSceneManager(), good, good, 2)
