"""Forward photon tracer, on every backend: closed forms of planes, a leaf
plate and canopies (Beer's law, energy closure), the grid's border layers,
sun and sky photons for any prob_sun, per-leaf tallies, and the sky seen by
photons against the sky the backward renderer sees."""
import math

import numpy as np
import pytest

from scenes import (BLACK, add_surface, look_along, new_scene, ortho_down, quad, random_leaves,
                    sun_at, wall)


def cos_deg(zenith):
    return math.cos(math.radians(zenith))


@pytest.mark.parametrize("zenith,z,layers,layer", [
    (0.0, 0.0, [-1.0, -0.5, 0.5, 2.0], 1), (35.0, 5.0, [0, 1], 0), (35.0, 5.0, [0, 1, 2], 1),
    (70.0, -1.0, [0, 1, 2], 0), (70.0, 1.5, [0, 1, 2], 1)])
def test_lambertian_plane_absorbs_one_minus_rho_in_its_layer_and_reflects_rho(backend, zenith, z, layers,
                                                                              layer):
    # Extent 4 x 3 m from the sensor; every photon deposits the same energy. A
    # hit above or below every layer falls into the top or the bottom one.
    rho, sun = np.array([0.2, 0.6]), np.array([1.5, 0.8])
    s = new_scene(backend, 2, [*rho, *sun], [(0, 0)])
    add_surface(s, quad(-1, 5, -1, 4, z), 0)
    s.set_emitter(0, sun_at(zenith, -120.0), 2)
    s.set_sensor(0, 1, 1, 4.0, 3.0, ortho_down(0, 0, 1))
    s.set_measurement_plane(z)
    s.build()
    view = sun_at(50.0, 30.0)  # a third direction looks down and never sees the plane
    r = backend.forward(s, layer_heights=layers, num_photons=20000, num_bands=2,
                        brf_directions=[0, 0, 1, *view, 0.6, 0, -0.8], num_brf_dirs=3)
    inc = sun * cos_deg(zenith) * 12.0
    np.testing.assert_allclose(r["grid"][:, 0, 0], np.outer(np.eye(len(layers) - 1)[layer], (1 - rho) * inc),
                               rtol=1e-5, atol=1e-6)
    np.testing.assert_allclose(r["albedo"], rho * inc, rtol=1e-5)
    np.testing.assert_allclose(r["brf"], np.outer([1.0, view[2], 0.0], rho / math.pi * inc),
                               rtol=1e-5, atol=1e-9)


def test_leaf_plate_over_black_ground_absorbs_its_share_and_transmits_t(backend):
    r_leaf, t_leaf, size = 0.3, 0.25, 10.0
    s = new_scene(backend, 1, [r_leaf, 0.2, t_leaf, 1.0], [(13, 0, [r_leaf, t_leaf]), (BLACK, 0)])
    ground = add_surface(s, quad(0, size, 0, size), 1)
    add_surface(s, quad(0, size, 0, size, 1.0), 0)
    s.set_emitter(0, sun_at(30.0, 60.0), 3)
    s.set_repetitive(1000, size, size)
    s.set_measurement_plane(1.5)
    s.build()
    n = 20000
    r = backend.forward(s, layer_heights=[0.0, 0.5, 2.0], num_photons=n, per_leaf=True,
                        brf_directions=[0, 0, 1], num_brf_dirs=1, terrain_instance_id=ground)
    # Sampling weights R : T make both lobes carry R + T: the plate absorbs
    # exactly 1 - R - T; a binomial share T / (R + T) of the photons goes down.
    inc, p_t = cos_deg(30.0) * size * size, t_leaf / (r_leaf + t_leaf)
    sigma = (r_leaf + t_leaf) * inc * math.sqrt(p_t * (1 - p_t) / n)
    leaf = r["leaf"][:, 0]
    assert leaf[:2].sum() == 0.0, "terrain reached the per-leaf tally"
    assert leaf[2:].sum() == pytest.approx((1 - r_leaf - t_leaf) * inc, rel=1e-4)
    np.testing.assert_allclose(leaf[2:], leaf[2:].sum() / 2, rtol=0.04)  # binomial halves, 5 sigma
    assert r["grid"][1].sum() == pytest.approx((1 - r_leaf - t_leaf) * inc, rel=1e-4)
    assert r["terrain"][0] == pytest.approx(t_leaf * inc, abs=5 * sigma)
    assert r["grid"][0].sum() == pytest.approx(r["terrain"][0], rel=1e-6)
    assert r["albedo"][0] == pytest.approx(r_leaf * inc, abs=5 * sigma)


@pytest.mark.parametrize("sky,sun_z,prob_sun", [
    (None, 0.8, 1.0), (None, 0.8, 0.5), (None, 0.8, 0.2),  # no sky: every photon a sun photon
    (5.0, 0.8, 1.0), (5.0, 0.8, 0.0), (5.0, 0.8, 0.6),
    (5.0, 0.005, 0.5), (5.0, -0.009, 0.5), (5.0, -0.2, 0.5)])
def test_sun_and_sky_photons_deliver_their_irradiance_for_any_prob_sun(backend, sky, sun_z, prob_sun):
    # A black 2 m tile. The sun delivers E s.z W H, a uniform sky pi L W H.
    # Without a sky prob_sun plays no part; with one, sun photons are a
    # binomial share p of N, each weighted 1 / p (sky photons 1 / (1 - p)).
    # |s.z| < 0.01 drops every photon; a sun below the horizon keeps the sky ones.
    s = new_scene(backend, 1, [0.0, 2.0, sky or 0.0], [(0, 0)])
    add_surface(s, quad(-1, 3, -1, 3), 0)
    s.set_emitter(0, np.array([math.sqrt(1 - sun_z**2), 0.0, sun_z]), 1)
    if sky is not None:
        s.set_sky(2)
    s.set_repetitive(0, 2.0, 2.0)
    s.build()
    n, p = 20000, prob_sun
    total = backend.forward(s, layer_heights=[0, 1], num_photons=n, prob_sun=p)["grid"].sum()
    sun_e, sky_e = 2.0 * max(sun_z, 0.0) * 4.0, math.pi * (sky or 0.0) * 4.0
    want, sigma = sun_e + sky_e, 0.0
    if abs(sun_z) < 0.01:
        want = 0.0
    elif sky is None or p == 1.0:  # one kind of photon, all of equal energy
        want = sun_e
    elif p == 0.0:
        want = sky_e
    else:
        sigma = abs(sun_e / p - sky_e / (1 - p)) * math.sqrt(p * (1 - p) / n)
    assert total == pytest.approx(want, rel=1e-5, abs=5 * sigma)


def test_ground_under_a_random_canopy_receives_beers_law_transmission(backend):
    """Black leaves of random position and spherical orientation, LAI 2, over a
    black ground in a periodic 5 m tile, sun at 30 degrees: the ground absorbs
    E cos(theta) W H exp(-0.5 LAI / cos(theta)). Tolerance 2.5 %: 4 combined
    standard deviations of the photon count (binomial, sqrt((1 - P) / (P M)) =
    0.23 % for M = 400,000, P = 0.315) and of the canopy drawn (a Boolean model
    of N = 320,000 leaves covers a random fraction of relative deviation at most
    x sqrt(7.8 / N) = 0.57 %, x = 0.5 LAI / cos(theta) = 1.155)."""
    rng = np.random.default_rng(2024)
    size, lai, side, theta = 5.0, 2.0, 0.0125, 30.0
    s = new_scene(backend, 1, [0.0, 1.0], [(0, 0)])
    ground = add_surface(s, quad(0, size, 0, size), 0)
    add_surface(s, random_leaves(int(round(lai * size * size / side**2)), side, size, 0.5, 1.5, rng), 0)
    s.set_emitter(0, sun_at(theta, 40.0), 1)
    s.set_repetitive(50, size, size)
    s.set_measurement_plane(1.6)
    s.build()
    r = backend.forward(s, layer_heights=[0.0, 0.25, 2.0], num_photons=400_000,
                        terrain_instance_id=ground)
    incident = cos_deg(theta) * size * size
    assert r["terrain"][0] == pytest.approx(incident * math.exp(-0.5 * lai / cos_deg(theta)), rel=0.025)
    assert r["grid"][0].sum() == pytest.approx(r["terrain"][0], rel=1e-5)  # leaves lie above 0.25 m
    assert r["grid"].sum() == pytest.approx(incident, rel=1e-4)


def test_energy_is_conserved_in_a_closed_canopy_with_russian_roulette(backend):
    """Scattering leaves over a reflecting ground in a small periodic tile, the
    sun oblique so that many photons start beyond the tile side: absorbed +
    escaped = incident. Without roulette each lobe carries R + T exactly.
    Roulette (from depth 3) keeps the mean: with scattering albedo at most 0.35
    and photon energy E0 = 0.9 it is first played at most at 0.9 * 0.35^3 =
    0.039 and a survivor restarts at 1, so a deposit differs from E0 by less
    than 0.039 + B, B the survivals, P(B >= k) <= 0.039 * 0.35^(k-1): variance
    below 0.13 E0^2, a relative standard error of 5.7e-4 for M = 500,000."""
    size, theta = 2.0, 60.0
    e = 0.9 / cos_deg(theta)
    # Leaf R = 0.2 (both faces), T = 0.15; sampling weights in the same ratio.
    s = new_scene(backend, 1, [0.2, 0.2, 0.15, 0.25, e], [(13, 0, [0.2, 0.15]), (0, 3)])
    add_surface(s, quad(0, size, 0, size), 1)
    add_surface(s, random_leaves(300, 0.1, size, 0.3, 1.8, np.random.default_rng(5)), 0)
    s.set_emitter(0, sun_at(theta, 35.0), 4)
    s.set_repetitive(1000, size, size)
    s.set_measurement_plane(2.0)
    s.build()
    r = backend.forward(s, layer_heights=[0.0, 2.0], num_photons=500_000, brf_directions=[0, 0, 1],
                        num_brf_dirs=1, max_depth=1000)
    assert r["grid"].sum() + r["albedo"][0] == pytest.approx(0.9 * size * size, rel=2.9e-3)


CLEAR_SKY = [-1.0, -0.32, 10.0, -3.0, 0.45, 0.2, -0.4, 0.3, 0.05, 100.0]  # A..I, Lz


def test_sky_photons_bring_the_sky_the_backward_renderer_sees(backend):
    # A slab x in [0.45, 0.55] across a 1 m periodic tile is a row of walls
    # facing +x (towards the sun's azimuth) and -x, over a black ground, under
    # a clear parametric sky (no sun photons). A black wall absorbs the sky
    # irradiance E_s on its face; a white one (rho 1) seen with max_depth 2
    # shows E_s / pi. The circumsolar sky makes the sunward face's E_s three
    # times the other's, so a sky read in the wrong direction swaps them.
    sun = sun_at(55.0)
    def slab(rho):
        s = new_scene(backend, 1, [rho, 0.0, 0.0] + CLEAR_SKY, [(0, 0), (0, 1)])
        for mesh in (wall(0.55, 0, 1, +1), wall(0.45, 0, 1, -1), quad(0.45, 0.55, 0, 1, 1.0)):
            add_surface(s, mesh, 0)
        add_surface(s, quad(0, 1, 0, 1), 1)
        s.set_emitter(0, sun, 2)  # zero irradiance: the sun only shapes the sky
        s.set_hw_sky(3, *sun)
        s.set_repetitive(1000, 1.0, 1.0)
        s.set_measurement_plane(1.0)
        s.build()
        return s
    black = slab(0.0)
    n = 400_000
    leaf = backend.forward(black, layer_heights=[0, 2], num_photons=n, per_leaf=True, prob_sun=0.0)["leaf"]
    for face, x, look in ((0, 0.9, [-1, 0, 0]), (1, 0.1, [1, 0, 0])):
        white = slab(1.0)
        white.set_sensor(0, 32, 32, 1.0, 1.0, look_along(look, (x, 0.5, 0.5)))  # a host-only setting
        img = math.pi * backend.render(white, spp=32, max_depth=2)[..., 0].astype(np.float64)
        absorbed = leaf[2 * face:2 * face + 2, 0].sum()  # the face is 1 m^2
        # Photon counts on a face are binomial (a share of about 1/5, weights
        # varying by 2): 1.5 % relative at 400,000 photons bounds the forward side.
        sigma = math.hypot(img.std(ddof=1) / math.sqrt(img.size), 0.015 * absorbed)
        assert absorbed == pytest.approx(img.mean(), abs=5 * sigma), face

