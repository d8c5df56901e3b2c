"""LiDAR, on every backend: single-bounce returns of planes against
rho E A / (pi r^2), direct-mode records, and the leaf face a pulse meets under
instance transforms, mirroring ones included."""
import math

import numpy as np
import pytest

from scenes import BLACK, NO_NORMALS, new_scene, quad

E, A = 2.0, 0.1
# Two bands: a Lambertian at offset 0, a leaf (front, back, transmittance) at offset 2.
SPECTRAL = [0.3, 0.6, 0.1, 0.15, 0.5, 0.55, 0.1, 0.1]


def lidar(backend, scene, origins, directions, **kw):
    o, d = (np.asarray(a, np.float32).ravel() for a in (origins, directions))
    return backend.lidar(scene, o, d, len(o) // 3, pulse_energy=E, sensor_area=A, num_wavelengths=2, **kw)


def plane_scene(backend, material=0, xform=(1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0)):
    """A wide plane z = 0 (normal +z in object space) under `xform`."""
    s = new_scene(backend, 2, SPECTRAL, [(0, 0), (13, 2), (BLACK, 0)])
    v, t = quad(-5000, 5000, -5000, 5000)
    s.add_instance_xform(s.add_mesh(v, NO_NORMALS, t, material), np.array(xform, np.float32))
    s.build()
    return s


def test_lambertian_plane_returns_rho_e_a_over_pi_r_squared_at_the_true_range(backend):
    heights = [5.05, 12.34, 40.0]
    r = lidar(backend, plane_scene(backend), [[i, -2.0 * i, h] for i, h in enumerate(heights)],
              [[0, 0, -1]] * 3)
    assert r["num_bins"] == 667 and r["waveform"].shape == (3, 667, 2) and r["num_returns"] == 3
    for i, h in enumerate(heights):
        # Beam weights and the smoothing kernel both sum to 1, so the bins of a
        # band add up to the whole return; sub-rays 5e-4 rad off nadir change
        # cos and range by < 1e-6.
        np.testing.assert_allclose(r["waveform"][i].sum(axis=0, dtype=np.float64),
                                   np.array(SPECTRAL[:2]) * E * A / (math.pi * h * h), rtol=2e-5)
        x, y, z, _, number, count, rng, pulse = r["points"][i]
        assert (number, count, pulse) == (1, 1, i) and abs(rng - h) < 0.15
        np.testing.assert_allclose([x, y, z], [i, -2.0 * i, h - rng], atol=1e-5)


def test_direct_mode_records_the_true_range_and_the_first_band(backend):
    theta = 0.3
    d = [0.0, math.sin(theta), -math.cos(theta)]
    r = lidar(backend, plane_scene(backend), [[0, 0, 10], [4, 5, 20], [0, 0, 5]],
              [d, [0, 0, -1], [0, 0, 1]], direct_mode=True)
    assert r["waveform"].shape == (0, 667, 2) and r["num_bins"] == 667 and r["num_returns"] == 2
    slant = 10 / math.cos(theta)
    want = [[0, 10 * math.tan(theta), 0, math.cos(theta) * 0.3 * E * A / (math.pi * slant**2), 1, 1, slant, 0],
            [4, 5, 0, 0.3 * E * A / (math.pi * 400), 1, 1, 20, 1]]
    np.testing.assert_allclose(r["points"], np.array(want), rtol=1e-5, atol=1e-5)


@pytest.mark.parametrize("xform,above_sees", [
    ((1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0), "front"),
    ((-1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0), "front"),  # mirrored in x: the front still faces up
    ((1, 0, 0, 0, 0, 1, 0, 0, 0, 0, -1, 0), "back"),   # mirrored in z: the front faces down
    ((1, 0, 0, 0, 0, -1, 0, 0, 0, 0, -1, 0), "back"),  # turned over by a rotation
    (None, "nothing")])                                  # a type without a model reflects nothing
def test_pulses_see_the_leaf_face_that_is_front_in_object_space(backend, xform, above_sees):
    scene = plane_scene(backend, 1 if xform else 2, xform or (1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0))
    scale = E * A / (math.pi * 64)
    reflectance = {"front": SPECTRAL[2:4], "back": SPECTRAL[4:6], "nothing": [0.0, 0.0]}
    below_sees = {"front": "back", "back": "front", "nothing": "nothing"}[above_sees]
    for z, sees in ((8, above_sees), (-8, below_sees)):
        wf = lidar(backend, scene, [[0, 0, z]], [[0, 0, -np.sign(z)]])["waveform"][0]
        np.testing.assert_allclose(wf.sum(axis=0, dtype=np.float64), np.array(reflectance[sees]) * scale,
                                   rtol=1e-4, atol=1e-12, err_msg="from z = %d" % z)
    if xform:  # direct mode takes the first spectral value whatever the face
        direct = lidar(backend, scene, [[0, 0, -8]], [[0, 0, 1]], direct_mode=True)
        assert direct["points"][0, 3] == pytest.approx(SPECTRAL[2] * scale, rel=1e-5)
