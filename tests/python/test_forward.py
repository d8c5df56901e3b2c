"""simulate_forward_cpu: signature, result dict, argument checks, emission,
progress and interruption, and photons in a canopy (Beer's law, energy
closure) against closed forms."""
import math
import signal

import numpy as np
import pytest

import vorn_gpu
from backward_scenes import add_surface, quad, sun_at

DIM_MSG = r"^array has incorrect number of dimensions: {}; expected {}$"


def plane_scene(rho=0.3, sun=2.0, sky=None, size=2.0, reps=0):
    """A plane of reflectance rho filling the tile [0, size]^2 (repeated `reps`
    times), the sun at 30 degrees, optionally a uniform sky of radiance `sky`."""
    s = vorn_gpu.EmbreeSceneManager()
    s.add_material(0, 0)
    s.upload_spectral_params(np.array([rho, sun, sky or 0.0], np.float32))
    add_surface(s, quad(-1, size + 1, -1, size + 1, 0.0), 0)
    s.set_emitter(0, sun_at(30.0, 20.0), 1)
    if sky is not None:
        s.set_sky(2)
    s.set_repetitive(reps, size, size)
    s.build()
    return s


def test_layer_heights_is_required_but_may_come_by_keyword_or_position():
    s = plane_scene()
    with pytest.raises(TypeError):
        vorn_gpu.simulate_forward_cpu(s)
    by_kw = vorn_gpu.simulate_forward_cpu(s, layer_heights=[0.0, 1.0], num_photons=100)
    by_pos = vorn_gpu.simulate_forward_cpu(s, 1, 1, [0.0, 1.0], 100)
    assert list(by_kw) == ["grid"]
    np.testing.assert_array_equal(by_kw["grid"], by_pos["grid"])


@pytest.mark.parametrize("per_leaf", [False, True])
@pytest.mark.parametrize("num_brf_dirs", [0, 2])
@pytest.mark.parametrize("terrain", [-1, 0])
@pytest.mark.parametrize("num_bands", [1, 3])
def test_result_keys_order_and_shapes_follow_the_enabled_tallies(per_leaf, num_brf_dirs,
                                                                 terrain, num_bands):
    s = vorn_gpu.EmbreeSceneManager()
    s.add_material(0, 0)
    s.upload_spectral_params(np.full(6, 0.5, np.float32))  # room for 3 bands from offset 0 and 3
    add_surface(s, quad(0, 1, 0, 1, 0.0), 0)
    add_surface(s, quad(0, 0.5, 0, 0.5, 0.5), 0)
    s.set_emitter(0, sun_at(10, 0), 3)
    s.set_repetitive(0, 1.0, 1.0)
    s.set_measurement_plane(1.0)
    s.build()
    dirs = np.array([0, 0, 1, 0.6, 0, 0.8], np.float32)
    r = vorn_gpu.simulate_forward_cpu(s, nx=4, ny=2, layer_heights=np.array([0.0, 0.25, 1.0]),
                                      num_photons=500, num_bands=num_bands, per_leaf=per_leaf,
                                      brf_directions=dirs, num_brf_dirs=num_brf_dirs,
                                      terrain_instance_id=terrain)
    want = {"grid": (2, 2, 4, num_bands)}
    if per_leaf:
        want["leaf"] = (4, num_bands)  # two instances of two triangles each
    if num_brf_dirs:
        want["brf"] = (num_brf_dirs, num_bands)
        want["albedo"] = (num_bands,)
    if terrain >= 0:
        want["terrain"] = (num_bands,)
    assert list(r) == list(want)
    for key, shape in want.items():
        assert r[key].shape == shape and r[key].dtype == np.float32, key
        assert r[key].flags.c_contiguous
    if per_leaf and terrain >= 0:
        assert not r["leaf"][:2].any(), "terrain triangles stay out of the per-leaf tally"


@pytest.mark.parametrize("kwargs,error,message", [
    (dict(num_bands=0), RuntimeError, "num_bands must be at least 1, got"),
    (dict(num_bands=-1), RuntimeError, "num_bands must be at least 1, got"),
    (dict(num_bands=3), RuntimeError, "spectral"),  # the sun would read past the array
    (dict(brf_directions=[0, 0, 1, 0, 0], num_brf_dirs=2), RuntimeError,
     "brf_directions must hold at least 6 values, got 5"),
    (dict(brf_directions=np.zeros((2, 3)), num_brf_dirs=2), ValueError, DIM_MSG.format(2, 1)),
    (dict(layer_heights=[[0.0, 1.0]]), ValueError, DIM_MSG.format(2, 1)),
    (dict(layer_heights=[0.0]), RuntimeError, "^layer_heights must have at least 2 entries$"),
])
def test_bad_arguments_are_rejected(kwargs, error, message):
    with pytest.raises(error, match=message):
        vorn_gpu.simulate_forward_cpu(plane_scene(), **{"layer_heights": [0, 1], **kwargs})


@pytest.mark.parametrize("sun_z,prob_sun", [(0.8, 1.0), (0.005, 0.5), (-0.009, 0.5),
                                             (-0.2, 0.5)])
def test_prob_sun_and_a_sun_near_or_below_the_horizon(sun_z, prob_sun):
    # Black plane in a 2 m tile under a sky of radiance L = 5. prob_sun 1: only
    # sun photons, of finite weight, delivering E s.z W H in all. |s.z| < 0.01:
    # every photon dropped. Sun below: only sky photons are kept, a binomial
    # count of them, each delivering pi L W H / ((1 - p) N).
    s = plane_scene(rho=0.0, sun=2.0, sky=5.0)
    s.update_emitter_direction(np.array([math.sqrt(1 - sun_z**2), 0.0, sun_z]))
    n, p, sky_e = 20000, prob_sun, math.pi * 5.0 * 4.0
    r = vorn_gpu.simulate_forward_cpu(s, layer_heights=[0, 1], num_photons=n, prob_sun=p)
    assert np.isfinite(r["grid"]).all()
    if p == 1.0:
        assert r["grid"].sum() == pytest.approx(2.0 * sun_z * 4.0, rel=1e-5)
    elif abs(sun_z) < 0.01:
        assert not r["grid"].any()
    else:
        sigma = sky_e / (1 - p) * math.sqrt(p * (1 - p) / n)
        assert r["grid"].sum() == pytest.approx(sky_e, abs=5 * sigma)


def test_progress_counts_photons_per_batch_as_int_int_float():
    s = plane_scene()
    s.update_emitter_direction(np.array([1.0, 0.0, 0.005]))  # every photon dropped: fast
    calls = []
    r = vorn_gpu.simulate_forward_cpu(s, layer_heights=[0, 1], num_photons=2_500_001,
                                      progress=lambda *a: calls.append(a))
    assert [c[:2] for c in calls] == [(1_000_000, 2_500_001), (2_000_000, 2_500_001),
                                      (2_500_001, 2_500_001)]
    assert all(type(c[0]) is int and type(c[1]) is int and type(c[2]) is float for c in calls)
    assert not r["grid"].any()


def test_ctrl_c_between_batches_raises_keyboard_interrupt():
    # The first report arms a 10 ms timer whose signal acts like Ctrl-C; it
    # fires during the second batch and is noticed when that batch is done.
    calls = []

    def progress(done, total, ms):
        calls.append(done)
        signal.setitimer(signal.ITIMER_REAL, 0.01)

    old = signal.signal(signal.SIGALRM, signal.default_int_handler)
    try:
        with pytest.raises(KeyboardInterrupt):
            vorn_gpu.simulate_forward_cpu(plane_scene(reps=2), layer_heights=[0, 1],
                                          num_photons=4_000_000, progress=progress)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
    assert calls == [1_000_000]


def random_leaves(n, side, size, z0, z1, rng):
    """Square leaves with centres uniform over the tile [0, size]^2 at heights
    [z0, z1] and normals spread evenly over the sphere (a Fibonacci lattice in
    random order: mean |n . d| is 1/2 for every d to O(1/n), the spherical
    leaf-angle distribution without its sampling noise). A leaf crossing a tile
    side gets its copy one tile over, so the repeated tile is an unbroken canopy."""
    c = np.column_stack([rng.uniform(0, size, (n, 2)), rng.uniform(z0, z1, n)])
    i = np.arange(n) + 0.5
    z, phi = 1.0 - 2.0 * i / n, math.pi * (1.0 + 5 ** 0.5) * i
    r = np.sqrt(1.0 - z * z)
    nrm = np.stack([r * np.cos(phi), r * np.sin(phi), z], axis=1)[rng.permutation(n)]
    helper = np.where(np.abs(nrm[:, :1]) > 0.9, [[0.0, 1.0, 0.0]], [[1.0, 0.0, 0.0]])
    u = np.cross(nrm, helper)
    u /= np.linalg.norm(u, axis=1, keepdims=True)
    w = np.cross(nrm, u)
    h, reach, quads = side / 2, side / 2 * 2 ** 0.5, []
    for sx in (-1, 0, 1):
        for sy in (-1, 0, 1):
            cc = c + [sx * size, sy * size, 0.0]
            keep = ((cc[:, 0] + reach > 0) & (cc[:, 0] - reach < size) &
                    (cc[:, 1] + reach > 0) & (cc[:, 1] - reach < size))
            cc, uu, ww = cc[keep], u[keep] * h, w[keep] * h
            quads.append(np.stack([cc - uu - ww, cc + uu - ww, cc + uu + ww, cc - uu + ww], 1))
    quads = np.concatenate(quads)
    base = (np.arange(len(quads)) * 4)[:, None]
    tris = np.concatenate([base + [0, 1, 2], base + [0, 2, 3]], axis=1).reshape(-1, 3)
    return quads.reshape(-1, 3).astype(np.float32), tris.astype(np.int32)


def test_ground_under_a_random_canopy_receives_beers_law_transmission():
    """Black leaves of random position and spherical orientation, LAI 2, over
    a black ground in a periodic 5 m tile, sun at 30 degrees zenith: the
    ground absorbs E cos(theta) W H exp(-0.5 LAI / cos(theta)).

    Tolerance 2.5 %: 4 combined standard deviations of the photon count (a
    binomial share, sqrt((1 - P) / (P M)) = 0.23 % for M = 400,000, P = 0.315)
    and of the canopy drawn (a Boolean model of N = 320,000 leaves covers a
    random fraction of relative deviation at most x sqrt(7.8 / N) = 0.57 %,
    x = 0.5 LAI / cos(theta) = 1.155, a second-order bound using the largest
    projected leaf). The finite N shifts the expectation by x^2 / 2N = 2e-6."""
    rng = np.random.default_rng(2024)
    size, lai, side, theta = 5.0, 2.0, 0.0125, 30.0
    n = int(round(lai * size * size / side ** 2))
    s = vorn_gpu.EmbreeSceneManager()
    black = s.add_material(0, 0)
    s.upload_spectral_params(np.array([0.0, 1.0], np.float32))
    ground = add_surface(s, quad(0, size, 0, size, 0.0), black)
    v, t = random_leaves(n, side, size, 0.5, 1.5, rng)
    add_surface(s, (v, t), black)
    s.set_emitter(0, sun_at(theta, 40.0), 1)
    s.set_repetitive(50, size, size)
    s.set_measurement_plane(1.6)
    s.build()
    r = vorn_gpu.simulate_forward_cpu(s, layer_heights=[0.0, 0.25, 2.0], num_photons=400_000,
                                      terrain_instance_id=ground)
    cos_t = math.cos(math.radians(theta))
    incident = cos_t * size * size
    assert r["terrain"][0] == pytest.approx(incident * math.exp(-0.5 * lai / cos_t), rel=0.025)
    # Everything not on the ground is absorbed by the leaves, all above 0.25 m.
    assert r["grid"][0].sum() == pytest.approx(r["terrain"][0], rel=1e-5)
    assert r["grid"].sum() == pytest.approx(incident, rel=1e-4)


def test_energy_is_conserved_in_a_closed_canopy_with_russian_roulette():
    """Scattering leaves over a reflecting ground in a small periodic tile,
    sun oblique in azimuth so that many photons start beyond the tile side:
    absorbed + escaped = incident within Monte Carlo error.

    Without roulette each lobe carries R + T and every photon conserves
    exactly. Roulette (from depth 3) keeps the mean: with scattering albedo at
    most 0.35 and photon energy E0 = 0.9 it is first played at an energy of at
    most 0.9 * 0.35^3 = 0.039 and a survivor restarts at 1, so a deposit
    differs from E0 by less than 0.039 + B, B the number of survivals, with
    P(B >= k) <= 0.039 * 0.35^(k-1). That bounds the variance by 0.13 E0^2: a
    relative standard error of 0.4 / sqrt(M) = 5.7e-4 for M = 500,000; 5 of
    them are 2.9e-3."""
    rng = np.random.default_rng(5)
    size, theta = 2.0, 60.0
    s = vorn_gpu.EmbreeSceneManager()
    # Leaf R = 0.2 (both faces), T = 0.15; sampling weights in the same ratio.
    leaf = s.add_material(13, 0, [0.2, 0.15])
    soil = s.add_material(0, 3)
    e = 0.9 / math.cos(math.radians(theta))
    s.upload_spectral_params(np.array([0.2, 0.2, 0.15, 0.25, e], np.float32))
    add_surface(s, quad(0, size, 0, size, 0.0), soil)
    v, t = random_leaves(300, 0.1, size, 0.3, 1.8, rng)
    add_surface(s, (v, t), leaf)
    s.set_emitter(0, sun_at(theta, 35.0), 4)
    s.set_repetitive(1000, size, size)
    s.set_measurement_plane(2.0)
    s.build()
    r = vorn_gpu.simulate_forward_cpu(s, layer_heights=[0.0, 2.0], num_photons=500_000,
                                      brf_directions=[0, 0, 1], num_brf_dirs=1, max_depth=1000)
    assert r["grid"].sum() + r["albedo"][0] == pytest.approx(0.9 * size * size, rel=2.9e-3)


def test_per_leaf_tally_indexes_instance_offset_plus_triangle():
    # Three instances of a two-triangle black plate, each at its own height so
    # none shades another (sun at the zenith). Instance i sits over x in
    # [i, i + 1) of a 3 x 1 extent; each triangle absorbs E * 0.5 m^2 (binomial:
    # 1000 of 6000 photons, relative sigma 2.9 %, so 15 % is over 5 sigma).
    s = vorn_gpu.EmbreeSceneManager()
    s.add_material(0, 0)
    s.upload_spectral_params(np.array([0.0, 4.0], np.float32))
    v, t = quad(0, 1, 0, 1)
    mesh = s.add_mesh(v, np.zeros((0, 3), np.float32), t, 0)
    for i in range(3):
        s.add_instance(mesh, float(i), 0.0, 1.0 + i)
    s.set_emitter(0, np.array([0, 0, 1], np.float32), 1)
    s.set_sensor(0, 1, 1, 3.0, 1.0, np.eye(4, dtype=np.float32).ravel())
    s.set_measurement_plane(4.0)
    s.build()
    r = vorn_gpu.simulate_forward_cpu(s, layer_heights=[0.0, 10.0], num_photons=6000,
                                      per_leaf=True, max_depth=1)
    np.testing.assert_allclose(r["leaf"][:, 0], 4.0 * 0.5, rtol=0.15)
    assert r["leaf"].shape == (6, 1)
    np.testing.assert_allclose(r["leaf"].sum(), 4.0 * 3.0, rtol=1e-5)
