"""simulate_lidar_cpu: direct mode, leaf faces, result form, defaults and argument checks."""
import math
import re

import numpy as np
import pytest

import vorn_gpu

LAMBERTIAN, LEAF = 0, 13
# Two bands: a Lambertian at offset 0, a leaf (front, back, transmittance) at offset 2.
SPECTRAL = [0.3, 0.6, 0.4, 0.45, 0.2, 0.25, 0.1, 0.1]
E, A = 2.0, 0.1


def ground_scene(material=LAMBERTIAN):
    """A wide plane z = 0, counter-clockwise seen from above (normal +z)."""
    scene = vorn_gpu.EmbreeSceneManager()
    scene.set_num_bands(2)
    scene.add_material(LAMBERTIAN, 0)
    scene.add_material(LEAF, 2)
    scene.upload_spectral_params(np.array(SPECTRAL, np.float32))
    v = np.array([[-1, -1, 0], [1, -1, 0], [1, 1, 0], [-1, 1, 0]], np.float32) * 5000
    tris = np.array([[0, 1, 2], [0, 2, 3]], np.int32)
    scene.add_instance(scene.add_mesh(v, np.zeros((0, 3), np.float32), tris,
                                      0 if material == LAMBERTIAN else 1))
    scene.build()
    return scene


def lidar(scene, origins, directions, **kw):
    o = np.asarray(origins, np.float32).ravel()
    d = np.asarray(directions, np.float32).ravel()
    return vorn_gpu.simulate_lidar_cpu(scene, o, d, len(o) // 3, pulse_energy=E, sensor_area=A,
                                       **kw)


def test_direct_mode_records_true_range_and_first_band():
    theta = 0.3
    d = [0.0, math.sin(theta), -math.cos(theta)]
    r = lidar(ground_scene(), [[0, 0, 10], [4, 5, 20], [0, 0, 5]], [d, [0, 0, -1], [0, 0, 1]],
              direct_mode=True, num_wavelengths=2)
    assert r["waveform"].shape == (0, 667, 2) and r["waveform"].dtype == np.float32
    assert r["num_bins"] == 667 and r["num_returns"] == 2
    slant = 10 / math.cos(theta)
    want = [[0, 10 * math.tan(theta), 0, math.cos(theta) * 0.3 * E * A / (math.pi * slant ** 2), 1, 1, slant, 0],
            [4, 5, 0, 0.3 * E * A / (math.pi * 400), 1, 1, 20, 1]]
    np.testing.assert_allclose(r["points"], np.array(want), rtol=1e-5, atol=1e-5)


def test_leaf_back_face_uses_back_reflectance_in_waveform_mode():
    scene = ground_scene(LEAF)
    front = lidar(scene, [[0, 0, 8]], [[0, 0, -1]], num_wavelengths=2)["waveform"][0]
    back = lidar(scene, [[0, 0, -8]], [[0, 0, 1]], num_wavelengths=2)["waveform"][0]
    scale = E * A / (math.pi * 64)
    np.testing.assert_allclose(front.sum(axis=0, dtype=np.float64), np.array(SPECTRAL[2:4]) * scale, rtol=1e-4)
    np.testing.assert_allclose(back.sum(axis=0, dtype=np.float64), np.array(SPECTRAL[4:6]) * scale, rtol=1e-4)
    direct = lidar(scene, [[0, 0, -8]], [[0, 0, 1]], direct_mode=True, num_wavelengths=2)
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
    scene = ground_scene()
    o, d = np.array([0, 0, 10, 1, 1, 10], np.float64), [0, 0, -1, 0, 0, -1]  # float64 and a list
    implicit = vorn_gpu.simulate_lidar_cpu(scene, o, d, 2)
    assert re.fullmatch(r"LiDAR \(CPU\): 2 pulses, 81 beam samples, waveform mode, \d+ threads\n",
                        capfd.readouterr().out)
    explicit = vorn_gpu.simulate_lidar_cpu(scene, o, d, 2, 0.0005, 10, 1.0, 0.1, 0.15, 0.0, 100.0, 1,
                                           4.0, 1e-8, 5, False)
    np.testing.assert_array_equal(implicit["waveform"], explicit["waveform"])
    np.testing.assert_array_equal(implicit["points"], explicit["points"])
    capfd.readouterr()
    vorn_gpu.simulate_lidar_cpu(scene, o, d, 2, direct_mode=True)
    assert re.fullmatch(r"LiDAR \(CPU\): 2 pulses, 1 beam samples, direct mode, \d+ threads\n",
                        capfd.readouterr().out)


@pytest.mark.parametrize("kw,word", [
    (dict(pulse_fwhm_ns=0.0), "pulse_fwhm_ns"),
    (dict(pulse_fwhm_ns=-2.0), "pulse_fwhm_ns"),
    (dict(range_resolution=0.0), "range_resolution"),
    (dict(range_resolution=-0.15), "range_resolution"),
    (dict(range_resolution=math.nan), "range_resolution"),
    (dict(min_range=50.0, max_range=10.0), "max_range"),
    (dict(num_wavelengths=0), "num_wavelengths"),
    (dict(num_wavelengths=3), "num_wavelengths"),
    (dict(beam_half_angle_rad=-0.001), "beam_half_angle_rad"),
    (dict(beam_half_angle_rad=2.0), "beam_half_angle_rad"),
    (dict(beam_samples_per_dim=100000), "beam_samples_per_dim"),
    (dict(max_range=1e8), "exceeds the limit"),
    (dict(max_range=1e12), "32-bit"),
])
def test_invalid_arguments_raise_clear_errors(kw, word):
    with pytest.raises(RuntimeError, match=r"^simulate_lidar_cpu: .*" + re.escape(word)):
        lidar(ground_scene(), [[0, 0, 10]], [[0, 0, -1]], **kw)


def test_pulse_array_checks():
    scene = ground_scene()
    good = np.array([0, 0, 10, 0, 0, 10], np.float32)
    with pytest.raises(RuntimeError, match="pulse_origins must hold at least 6 values, got 5"):
        vorn_gpu.simulate_lidar_cpu(scene, good[:5], good, 2)
    with pytest.raises(RuntimeError, match="pulse_directions must hold at least 6 values, got 3"):
        vorn_gpu.simulate_lidar_cpu(scene, good, good[:3], 2)
    with pytest.raises(RuntimeError, match="num_pulses must be >= 0, got -1"):
        vorn_gpu.simulate_lidar_cpu(scene, good, good, -1)
    with pytest.raises(ValueError, match="array has incorrect number of dimensions: 2; expected 1"):
        vorn_gpu.simulate_lidar_cpu(scene, good.reshape(2, 3), good, 2)
    with pytest.raises(RuntimeError, match="not built"):
        vorn_gpu.simulate_lidar_cpu(vorn_gpu.EmbreeSceneManager(), good, good, 2)
