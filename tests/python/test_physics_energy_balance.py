"""Energy balance, on every backend: closed forms of an isolated plate under
sun and skies (per face, per emissivity source, any n_samples), a plate
shading another, the second short-wave bounce off a ground, long-wave
exchange between parallel plates made infinite by the periodic tile,
multiband against single-band calls, and the checks of the arguments."""
import math

import numpy as np
import pytest

import vorn_gpu
from scenes import BLACK, NO_NORMALS, add_surface, new_scene, quad, random_leaves, sun_at
from test_api_index import SIMULATOR_METHODS, check

SIGMA = 5.670374419e-8  # W m^-2 K^-4, CODATA 2018
E, L_SKY, L_LW = 800.0, 40.0, 30.0


@pytest.fixture
def eb(backend):
    return backend


def sun_kw(zenith, azimuth=0.0, scale=1.0):
    s = sun_at(zenith, azimuth).astype(np.float64) * scale
    return dict(sun_dir_x=s[0], sun_dir_y=s[1], sun_dir_z=s[2])


def flipped(mesh):
    return mesh[0], mesh[1][:, ::-1].copy()


def test_cpu_calls_take_the_simulator_parameters_and_the_overrides():
    extra = ", temperatures=None, emissivities=None, *, progress=None, seed=0, num_threads=0"
    check(vorn_gpu, {f"{name}_cpu": SIMULATOR_METHODS[name] + extra
                     for name in ("run_energy_balance", "run_energy_balance_multiband")})


# Leaf (front 0.3, back 0.2, transmittance 0.1) and Lambertian (0.25) plates.
# A face turned up absorbs a (E cos + pi L) + eps pi L_lw; a face turned down
# sees neither sun nor sky (downward escapes bring nothing). A sun below the
# horizon gives no direct light. eps: override, else params[5], else 1. The
# sun direction is normalised whatever its length.
@pytest.mark.parametrize("leaf,up,zenith,scale,n,eps_param,eps_override", [
    (True, True, 40.0, 1e-30, 1, None, None), (True, False, 40.0, 1e30, 7, 0.9, None),
    (False, True, 100.0, 3.0, 16, 0.9, [0.6, 0.6]), (False, False, 0.0, 1.0, 3, None, [0.5, 0.8])])
def test_isolated_plate_absorbs_sun_and_skies_on_its_upper_face(eb, leaf, up, zenith, scale, n,
                                                                 eps_param, eps_override):
    params = [0.5, 0.5, 0.0, 0.0, 0.0] + ([eps_param] if eps_param else [])
    s = new_scene(eb, 1, [0.3, 0.2, 0.1, 0.25], [(13 if leaf else 0, 0 if leaf else 3, params)])
    plate = quad(0, 1, 0, 2, 1.0)
    add_surface(s, plate if up else flipped(plate), 0)
    s.build()
    kw = dict(n_samples=n, sun_irradiance=E, sky_diffuse_radiance=L_SKY, sky_lw_radiance=L_LW,
              emissivities=eps_override, **sun_kw(zenith, 30.0, scale))
    top, bot = eb.energy_balance(s, **kw)
    eps = np.asarray(eps_override or [eps_param or 1.0] * 2)
    a_up, a_down = ((0.6, 0.7) if up else (0.7, 0.6)) if leaf else (0.75, 0.75)
    lit = a_up * (E * max(0.0, math.cos(math.radians(zenith))) + math.pi * L_SKY) + eps * math.pi * L_LW
    np.testing.assert_allclose(top if up else bot, lit, rtol=1e-5)
    np.testing.assert_allclose(bot if up else top, 0.0, atol=1e-6)
    one_sided = eb.energy_balance(s, two_sided=False, **kw)
    assert one_sided[1].shape == (0,) and np.array_equal(one_sided[0], top)


def test_upper_plate_takes_exactly_its_shadow_from_the_lower_one(eb):
    # Black plates, sun at 30 degrees: the upper plate's 1 m^2 shadow falls
    # inside the lower plate's second triangle (y > x), area 18 m^2, which
    # loses that share of the direct sun; the first triangle keeps all of it.
    s = new_scene(eb, 1, [0.0], [(BLACK, 0)])
    add_surface(s, quad(-3, 3, -3, 3), 0)
    add_surface(s, quad(0, 1, 0, 1, 2.0), 0)
    s.build()
    direct, p = E * math.cos(math.radians(30.0)), 1.0 / 18.0
    for n in (256, 4096):  # the expectation does not depend on n_samples
        top, bot = eb.energy_balance(s, n_samples=n, sun_irradiance=E, **sun_kw(30.0))
        np.testing.assert_allclose(top[[0, 2, 3]], direct, rtol=1e-5)
        sigma = direct * math.sqrt(p * (1 - p) / n)  # binomial share of shaded points
        assert top[1] == pytest.approx(direct * (1 - p), abs=5 * sigma)
        np.testing.assert_allclose(bot, 0.0, atol=1e-6)


def test_second_bounce_brings_the_ground_albedo_times_its_irradiance(eb):
    # A 2 cm black plate 1 m above a wide Lambertian ground (rho 0.4,
    # sw_albedo 0.4): its bottom absorbs 0.4 (E cos + pi L) but for samples
    # whose ray passes the ground, lands in its shadow or sees it hide the
    # sky, about 3e-4 of them: the 8 it takes to lose 2e-3 of 4000 samples
    # have a Poisson chance of 2e-5. Its albedo 0.5 brings the ground
    # nothing: its lower face sees no sun and its sky rays head down.
    s = new_scene(eb, 1, [0.4, 0.0], [(0, 0), (BLACK, 1)])
    add_surface(s, quad(-100, 100, -100, 100), 0)
    add_surface(s, quad(0, 0.02, 0, 0.02, 1.0), 1)
    s.build()
    irr = E * math.cos(math.radians(30.0)) + math.pi * L_SKY
    top, bot = eb.energy_balance(s, n_samples=4000, sun_irradiance=E, sky_diffuse_radiance=L_SKY,
                                 sw_albedos=[0.4, 0.4, 0.5, 0.5], **sun_kw(30.0, 45.0))
    np.testing.assert_allclose(bot[2:], 0.4 * irr, rtol=2e-3)
    np.testing.assert_allclose(top, [0.6 * irr] * 2 + [irr] * 2, rtol=1e-3)


# Plates covering the tile [0, 10]^2 at z = 0 and 1: through the periodic
# tile every ray between them meets the other plate (view factor 1), so the
# lower top absorbs eps_l eps_u sigma T_u^4 and the upper bottom
# eps_u eps_l sigma T_l^4; the upper top sees the long-wave sky. Temperatures
# from overrides, from params[2], or from the sunlit (upper) / shaded (lower) pair.
@pytest.mark.parametrize("source", ["override", "uniform", "pair"])
def test_parallel_plates_exchange_eps_sigma_t4(eb, source):
    t_l, t_u, e_l, e_u = 290.0, 310.0, 0.9, 0.7
    if source == "pair":
        mats = [(0, 0, [0, 0, 0, 400.0, t_l, e_l]), (0, 0, [0, 0, 0, t_u, 250.0, e_u])]
    elif source == "uniform":
        mats = [(0, 0, [0, 0, t_l, 0, 0, e_l]), (0, 0, [0, 0, t_u, 0, 0, e_u])]
    else:  # the overrides win over the materials' temperatures and emissivities
        mats = [(0, 0, [0, 0, 500.0, 0, 0, 0.3])] * 2
    s = new_scene(eb, 1, [0.5], mats)
    add_surface(s, quad(0, 10, 0, 10), 0)
    add_surface(s, quad(0, 10, 0, 10, 1.0), 1)
    s.set_repetitive(1000, 10.0, 10.0)
    s.build()
    kw = dict(temperatures=[t_l, t_l, t_u, t_u], emissivities=[e_l, e_l, e_u, e_u]) \
        if source == "override" else {}
    top, bot = eb.energy_balance(s, n_samples=8, sky_lw_radiance=L_LW, **kw)
    np.testing.assert_allclose(top, [e_l * e_u * SIGMA * t_u**4] * 2 + [e_u * math.pi * L_LW] * 2,
                               rtol=1e-5)
    np.testing.assert_allclose(bot, [0.0] * 2 + [e_u * e_l * SIGMA * t_l**4] * 2, rtol=1e-5,
                               atol=1e-6)


def test_multiband_equals_single_band_calls(eb):
    rng = np.random.default_rng(7)
    nb, size = 3, 2.0
    s = new_scene(eb, nb, [0.1, 0.4, 0.5, 0.05, 0.3, 0.45, 0.05, 0.4, 0.35, 0.1, 0.2, 0.3],
                  [(13, 0, [0.5, 0.5]), (0, 9)])
    add_surface(s, quad(0, size, 0, size), 1)
    leaves = random_leaves(30, 0.4, size, 0.3, 1.2, rng)
    add_surface(s, leaves, 0)
    s.set_repetitive(50, size, size)
    s.build()
    n_prims = 2 + len(leaves[1])
    sun, sky = np.array([500.0, 300.0, 0.0]), np.array([20.0, 40.0, 10.0])
    albedos = rng.uniform(0, 1, nb * n_prims).astype(np.float32)
    kw = dict(n_samples=6, **sun_kw(35.0, 10.0))
    top, bot = eb.energy_balance_multiband(s, nb, sun_irradiance=sun, sky_diffuse_radiance=sky,
                                           sw_albedos=albedos, **kw)
    assert top.shape == bot.shape == (nb, n_prims) and np.ptp(top[0]) > 10.0
    for b in range(nb):
        single = eb.energy_balance(s, band_type=b, sun_irradiance=sun[b], sky_diffuse_radiance=sky[b],
                                   sw_albedos=albedos[b * n_prims:(b + 1) * n_prims], **kw)
        np.testing.assert_allclose(top[b], single[0], rtol=1e-5, atol=1e-4)
        np.testing.assert_allclose(bot[b], single[1], rtol=1e-5, atol=1e-4)
    one_sided = eb.energy_balance_multiband(s, nb, two_sided=False, **kw)
    assert one_sided[0].shape == (nb, n_prims) and one_sided[1].shape == (0, 0)


def test_calls_refuse_what_they_cannot_compute(eb):
    s = new_scene(eb, 1, [0.5], [(0, 0)])
    add_surface(s, quad(0, 1, 0, 1), 0)
    with pytest.raises(RuntimeError, match=r"^Scene not built. Call scene.build\(\) first.$"):
        eb.energy_balance(s)
    s.build()
    one, many = eb.energy_balance, eb.energy_balance_multiband
    cases = [
        (one, dict(n_samples=0), r"^run_energy_balance: n_samples must be > 0$"),
        (many, dict(n_bands=0), r"^run_energy_balance_multiband: n_bands must be > 0$"),
        (many, dict(n_bands=1, n_samples=-1), r"^run_energy_balance_multiband: n_samples must be > 0$"),
        (one, dict(sw_albedos=np.ones((2, 1))), r"^sw_albedos must be 1D$"),
        (many, dict(n_bands=1, sw_albedos=np.ones((1, 2))),
         r"^sw_albedos must be 1D \(flattened \[n_bands \* n_prims\]\)$"),
        (one, dict(sw_albedos=[0.5]), r"sw_albedos must hold n_primitives\(\) = 2 values, got 1"),
        (many, dict(n_bands=1, sw_albedos=[0.5] * 3), r"must hold n_bands \* n_primitives\(\) = 2 values"),
        (one, dict(sw_albedos=[0.5, 1.5]), r"sw_albedos\[1\] must lie in \[0, 1\], got 1.5"),
        (many, dict(n_bands=2, sun_irradiance=[1.0]), r"^sun_irradiance must be 1D with length n_bands$"),
        (many, dict(n_bands=1, sky_diffuse_radiance=[[1.0]]),
         r"^sky_diffuse_radiance must be 1D with length n_bands$"),
        (many, dict(n_bands=2), r"n_bands must not exceed the scene's 1 bands, got 2"),
        (one, dict(band_type=1), r"band_type must lie in \[0, 1\)"),
        (one, dict(sun_irradiance=-1.0), r"sun_irradiance must be finite and >= 0, got -1"),
        (one, dict(sky_lw_radiance=math.nan), r"sky_lw_radiance must be finite and >= 0, got nan"),
        (many, dict(n_bands=1, sky_diffuse_radiance=[math.inf]), r"sky_diffuse_radiance\[0\] must be finite"),
        (one, dict(sun_dir_z=0.0), r"the sun direction must be finite and non-zero, got \(0, 0, 0\)"),
        (one, dict(temperatures=np.ones((2, 1))), r"^temperatures must be 1D$"),
        (one, dict(temperatures=[300.0]), r"temperatures:? array length 1 does not match n_primitives\(\) = 2"),
        (one, dict(temperatures=[300.0, -1.0]), r"temperatures\[1\] must lie in \[0, 1e\+06\], got -1"),
        (many, dict(n_bands=1, emissivities=[0.5, 1.5]), r"emissivities\[1\] must lie in \[0, 1\], got 1.5"),
    ]
    for call, kw, message in cases:
        with pytest.raises(RuntimeError, match=message):
            call(s, **kw)
    empty = new_scene(eb, 1, [0.5], [(0, 0)])
    empty.add_instance(empty.add_mesh(np.zeros((3, 3), np.float32), NO_NORMALS, np.zeros((0, 3), np.int32), 0))
    empty.build()
    for call, kw, who in [(one, {}, "run_energy_balance"), (many, dict(n_bands=0), "run_energy_balance_multiband")]:
        with pytest.raises(RuntimeError, match=rf"^{who}: scene has 0 primitives$"):
            call(empty, n_samples=0, **kw)
