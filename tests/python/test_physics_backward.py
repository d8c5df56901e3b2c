"""Backward renderer, on every backend: closed-form radiances, the sun's disc,
thermal emission, fisheyes, the periodic tile, pass statistics and refits."""
import math

import numpy as np
import pytest

from scenes import BLACK, add_surface, disc, look_along, new_scene, ortho_down, planck, quad, sun_at


def plane_scene(backend, nb, spectral, materials=((0, 0),), z=0.0, half=1000.0):
    scene = new_scene(backend, nb, spectral, materials)
    add_surface(scene, quad(-half, half, -half, half, z), 0)
    return scene


@pytest.mark.parametrize("zenith,azimuth", [(0.0, 0.0), (30.0, 40.0), (60.0, 250.0)])
@pytest.mark.parametrize("max_depth,sky_seen", [(0, 0), (1, 0), (2, 1), (16, 1)])
@pytest.mark.parametrize("terrain_z,sky", [(None, "uniform"), (2.5, "parametric_flat")])
def test_plane_under_sun_and_sky_gives_rho_e_cos_over_pi_plus_rho_l(backend, zenith, azimuth,
                                                                     max_depth, sky_seen, terrain_z, sky):
    rho, sun_e, sky_l = [0.3, 0.55, 0.8], [1.0, 2.0, 0.5], [3.0, 0.5, 1.5]
    # A parametric sky with all gradation coefficients 0 is uniform at Lz.
    tail = sky_l if sky == "uniform" else [v for lz in sky_l for v in [0.0] * 9 + [lz]]
    scene = plane_scene(backend, 3, rho + sun_e + tail, z=terrain_z or 0.0)
    scene.set_emitter(0, sun_at(zenith, azimuth), 3)
    if sky == "uniform":
        scene.set_sky(6)
    else:
        scene.set_hw_sky(6, 0.0, 0.0, 1.0)
    # With terrain following the back-off above the terrain must not cost so
    # much precision that hit points fall under it, into shadow.
    scene.set_sensor(0, 6, 4, 20.0, 10.0, ortho_down(3.0, -2.0, 50.0),
                     terrain_following=terrain_z is not None)
    scene.build()
    img = backend.render(scene, spp=2, max_depth=max_depth)
    # Every camera ray hits the plane and sees the sun; cosine sampling of the
    # continuation carries exactly rho to the sky, from the second bounce on
    # (max_depth counts scattering events; the sky comes after one of them).
    expected = (max_depth > 0) * np.array(rho) * sun_e * math.cos(math.radians(zenith)) / math.pi
    expected = expected + sky_seen * np.array(rho) * sky_l
    assert img.shape == (4, 6, 3) and img.dtype == np.float32
    np.testing.assert_allclose(img, np.broadcast_to(expected, img.shape), rtol=2e-6)


@pytest.mark.parametrize("thermal", [False, True])
def test_sun_disc_integrates_to_the_sun_irradiance_and_is_not_seen_in_thermal_mode(backend, thermal):
    e, sky_l = 1000.0, 0.25
    scene = new_scene(backend, 1, [e, sky_l], [(BLACK, 0)])
    add_surface(scene, quad(-1, 1, -1, 1, -100.0), 0)  # out of sight: a GPU scene is never empty
    s = sun_at(35.0, 120.0)
    scene.set_emitter(0, s, 0)
    scene.set_sky(1)
    if thermal:
        scene.set_thermal_mode(True, [9000.0])
    n, fov = 64, 0.02  # the disc (radius 0.27 degrees) spans about 30 pixels
    scene.set_sensor(1, n, n, 0.0, 0.0, look_along(s), fov=math.degrees(fov))
    scene.build()
    img = backend.render(scene, spp=32, max_depth=1)[..., 0].astype(np.float64) - sky_l
    if thermal:
        np.testing.assert_allclose(img, 0.0, atol=1e-6)
        return
    # Pixel solid angles of the pinhole: dA cos^3 on the image plane at distance 1.
    tau = math.tan(fov / 2)
    c = 2 * tau * ((np.arange(n) + 0.5) / n - 0.5)
    a, b = np.meshgrid(c, c)
    integral = (img * (2 * tau / n) ** 2 / (1 + a * a + b * b) ** 1.5).sum()
    # 0.12 % standard error from the edge pixels' random sub-pixel offsets.
    assert integral == pytest.approx(e, rel=0.006)


THERMAL_WL, EMISSIVITY = [8000.0, 10000.0, 12000.0], [0.95, 0.9, 0.8]


@pytest.mark.parametrize("case,temperature", [("uniform_with_sky", 300.0), ("sunlit", 310.0),
                                              ("shaded", 280.0)])
def test_thermal_lambertian_plate_emits_eps_planck(backend, case, temperature):
    sun_e, sky_l = [50.0, 60.0, 70.0], [2.0, 3.0, 4.0]
    # A sunlit/shaded pair wins over the uniform temperature when both are set.
    temps = [0.0, 0.0, 300.0] + ([] if case.startswith("uniform") else [310.0, 280.0])
    scene = plane_scene(backend, 3, EMISSIVITY + sun_e + sky_l, [(0, 0, temps), (BLACK, 0)])
    scene.set_emitter(0, sun_at(20.0), 3)
    if case == "uniform_with_sky":
        scene.set_sky(6)
    if case == "shaded":  # a black roof between the plate and the sun, above the camera
        add_surface(scene, quad(-3000, 3000, -3000, 3000, 5.0), 1)
    scene.set_thermal_mode(True, THERMAL_WL)
    scene.set_sensor(0, 4, 4, 2.0, 2.0, ortho_down(0.0, 0.0, 1.0))
    scene.build()
    img = backend.render(scene, spp=2, max_depth=2)
    eps = np.array(EMISSIVITY)
    expected = eps * [planck(w, temperature) for w in THERMAL_WL]
    if case == "uniform_with_sky":  # reflects the sky with 1 - eps; the sun is not sampled
        expected = expected + (1 - eps) * sky_l
    np.testing.assert_allclose(img, np.broadcast_to(expected, img.shape), rtol=1e-5)


@pytest.mark.parametrize("emissivities", [None, [0.6, 0.95]])
def test_primitive_temperatures_and_emissivities_replace_the_materials(backend, emissivities):
    # The unit square's triangles (x > y, then x < y), material at 300 K with
    # emissivities EMISSIVITY, overridden per primitive; a sky reflected by 1 - eps.
    temps, sky = [280.0, 330.0], np.array([2.0, 3.0, 4.0])
    scene = new_scene(backend, 3, EMISSIVITY + list(sky), [(0, 0, [0.0, 0.0, 300.0])])
    add_surface(scene, quad(0, 1, 0, 1), 0)
    scene.set_sky(3)
    scene.set_thermal_mode(True, THERMAL_WL)
    n = 8
    scene.set_sensor(0, n, n, 1.0, 1.0, ortho_down(0.5, 0.5, 1.0))
    scene.build()
    prims = {"primitive_temperatures": np.array(temps, np.float32)}
    if emissivities:
        prims["primitive_emissivities"] = np.array(emissivities, np.float32)
    img = backend.render_prims(scene, prims, spp=2, max_depth=2)
    for y in range(n):
        for x in range(n):
            p = 0 if y + 1 <= x else 1 if x + 1 <= y else None  # pixels off the diagonal
            if p is None:
                continue
            eps = np.full(3, emissivities[p]) if emissivities else np.array(EMISSIVITY)
            want = eps * [planck(w, temps[p]) for w in THERMAL_WL] + (1 - eps) * sky
            np.testing.assert_allclose(img[y, x], want, rtol=1e-5, err_msg=str((x, y)))


SIF_BANDS = [0.05, 0.125, 0.3, 0.7]  # SIF radiance per band, the same on both triangles


@pytest.mark.parametrize("case", ["only_above", "only_below", "only_leaf_below", "extra_bands",
                                  "with_sun"])
def test_sif_is_the_emitting_faces_radiance_added_to_what_the_path_sees(backend, case):
    rho, sun_e, sky = [0.3, 0.5, 0.7], [1.0, 2.0, 3.0], [5.0, 5.0, 5.0]
    leaf = case == "only_leaf_below"
    scene = new_scene(backend, 3, rho * (3 if leaf else 1) + sun_e + sky,
                      [(13, 0, [0.5, 0.5]) if leaf else (0, 0)])
    add_surface(scene, quad(0, 1, 0, 1), 0)
    base = 9 if leaf else 3
    scene.set_emitter(0, sun_at(30.0), base)
    scene.set_sky(base + 3)
    below = case.endswith("below")
    cam = look_along([0, 0, 1], (0.5, 0.5, -1.0)) if below else ortho_down(0.5, 0.5, 1.0)
    scene.set_sensor(0, 4, 4, 0.9, 0.9, cam)
    scene.build()
    n_sif = 4 if case == "extra_bands" else 2
    sif = np.repeat(np.array(SIF_BANDS[:n_sif], np.float32), 2)  # [b * 2 + p]
    prims = dict(sif_spectra=sif, n_sif_bands=n_sif, sif_only=case != "with_sun")
    img = backend.render_prims(scene, prims, spp=2, max_depth=1 if case == "with_sun" else 3)
    s = np.array((SIF_BANDS[:n_sif] + [0.0] * 3)[:3])  # bands past the image's are ignored
    if case == "only_below":  # an opaque surface emits from its front face alone
        s = np.zeros(3)
    if case == "with_sun":  # rho E cos(theta) / pi + S; the sky only comes after a bounce
        s = s + np.array(rho) * sun_e * math.cos(math.radians(30.0)) / math.pi
    np.testing.assert_allclose(img, np.broadcast_to(s, img.shape), rtol=2e-6, atol=1e-12)


RF, RB, TR = np.array([0.1, 0.4]), np.array([0.2, 0.3]), np.array([0.3, 0.05])
RPV = [(0.12, 0.35), (0.75, 0.9), (-0.25, 0.1), (0.3, 0.6)]  # rho0, k, Theta, rho_c per band


@pytest.mark.parametrize("material,camera_above,sun_above", [
    ("leaf", True, True), ("leaf", False, False), ("leaf", True, False), ("leaf", False, True),
    ("lambertian", False, False), ("lambertian", False, True), ("rpv", True, True)])
def test_direct_sun_on_leaf_lambertian_and_rpv_planes(backend, material, camera_above, sun_above):
    spectral, model = {"leaf": ([*RF, *RB, *TR], (13, 0, [0.5, 0.5])), "lambertian": (list(RF), (0, 0)),
                       "rpv": ([v for pair in RPV for v in pair], (1, 0))}[material]
    scene = plane_scene(backend, 2, spectral + [1.5, 0.5], [model])
    zenith = 40.0 if sun_above else 140.0
    scene.set_emitter(0, sun_at(zenith, 70.0), len(spectral))
    cam = ortho_down(0, 0, 3.0) if camera_above else look_along([0, 0, 1], (0, 0, -3.0))
    scene.set_sensor(0, 3, 3, 2.0, 2.0, cam)
    scene.build()
    img = backend.render(scene, spp=1, max_depth=1)
    cos_s = abs(math.cos(math.radians(zenith)))
    if material == "rpv":  # seen along the normal: G = tan(sun zenith), and no 1/pi
        rho0, k, theta, rho_c = (np.array(p) for p in RPV)
        hg = (1 - theta**2) / (1 + theta**2 + 2 * theta * cos_s) ** 1.5
        brdf = rho0 * cos_s ** (k - 1) * hg * (1 + (1 - rho_c) / (1 + math.tan(math.radians(zenith))))
    elif camera_above != sun_above:
        brdf = TR / math.pi if material == "leaf" else np.zeros(2)
    else:  # the plane's normal is +z: seen from below a leaf shows its back face
        brdf = (RF if camera_above or material == "lambertian" else RB) / math.pi
    np.testing.assert_allclose(img, np.broadcast_to(brdf * [1.5, 0.5] * cos_s, img.shape),
                               rtol=1e-4 if material == "rpv" else 2e-6, atol=1e-12)


@pytest.mark.parametrize("projection", [0, 1, 2, 3])
def test_fisheye_maps_zenith_angles_and_leaves_outside_the_circle_unwritten(backend, projection):
    # Looking up from the origin: a black disc of radius 1 at height 1 hides
    # the sky within 45 degrees of the zenith, which the projection maps to r_edge.
    scene = new_scene(backend, 1, [2.0], [(BLACK, 0)])
    add_surface(scene, disc(1.0, 1.0), 0)
    scene.set_sky(0)
    n = 41
    cam = np.array([1, 0, 0, 0, 0, -1, 0, 0, 0, 0, -1, 0, 0, 0, 0, 1], np.float32)
    scene.set_sensor(4, n, n, 0.0, 0.0, cam, fov=180.0, projection_type=projection)
    scene.build()
    img = backend.render(scene, spp=2, max_depth=3)[..., 0]
    q = math.pi / 4  # fov pi: equisolid, equidistant, orthographic, stereographic
    r_edge = [math.sin(q / 2) / (2 * math.sin(q)), 0.25, math.sin(q) / 2,
              math.tan(q / 2) / (2 * math.tan(q))][projection]
    # Smallest and largest normalised radius over each pixel (edges at k / n - 1/2).
    e = np.arange(n + 1) / n - 0.5
    near = np.where(e[:-1] * e[1:] <= 0, 0.0, np.minimum(abs(e[:-1]), abs(e[1:])))
    far = np.maximum(abs(e[:-1]), abs(e[1:]))
    lo, hi = np.hypot(near[:, None], near[None, :]), np.hypot(far[:, None], far[None, :])
    outside, on_disc, sky = lo > 0.5, hi < 0.98 * r_edge, (lo > 1.02 * r_edge) & (hi < 0.5)
    assert not img[outside | on_disc].any()
    np.testing.assert_allclose(img[sky], 2.0, rtol=1e-6)
    assert min(outside.sum(), on_disc.sum(), sky.sum()) > 50


@pytest.mark.parametrize("centre_x,repeat", [(7.5, 1), (37.5, 1), (-22.5, 2), (7.5, 0)])
def test_periodic_tile_wraps_camera_rays_and_sun_shadows(backend, centre_x, repeat):
    # Tile 10 x 10: ground over the tile, a black roof at z = 1 over x < 5. The
    # sun at 45 degrees towards +x: ground at x > 9 is shaded by the roof of
    # the next tile, only when the tile repeats.
    scene = new_scene(backend, 1, [0.5, 2.0], [(0, 0), (BLACK, 0)])
    add_surface(scene, quad(0, 10, 0, 10), 0)
    add_surface(scene, quad(0, 5, 0, 10, 1.0), 1)
    scene.set_emitter(0, sun_at(45.0), 1)
    scene.set_repetitive(repeat, 10.0, 10.0)
    width = 50  # 0.1 m pixels over x in [centre - 2.5, centre + 2.5]
    scene.set_sensor(0, width, 4, 5.0, 2.0, ortho_down(centre_x, 5.0, 0.5))
    scene.build()
    img = backend.render(scene, spp=2, max_depth=1)[..., 0]
    xg = 5.0 + 0.1 * np.arange(width)  # the pixels' left edges inside the tile
    lit, dark = (xg > 5.2) & ((xg < 8.8) | (repeat == 0)), (xg > 9.1) & (repeat > 0)
    if repeat == 0 and centre_x != 7.5:  # the camera looks beyond the single tile
        lit, dark = lit & False, xg > 0
    np.testing.assert_allclose(img[:, lit], 0.5 * 2.0 * math.cos(math.radians(45.0)) / math.pi, rtol=2e-6)
    assert not img[:, dark].any()


def test_isothermal_cavity_radiance_is_the_black_body_whatever_the_emissivity(backend):
    # Between two parallel isothermal plates the radiance is B(lambda, T) for
    # any emissivity (Kirchhoff): eps B summed over (1 - eps)^k reflections.
    # Paths run deep, so Russian roulette must stay unbiased.
    eps, wavelengths = [0.3, 0.6, 0.95], [9000.0, 10000.0, 11000.0]
    scene = plane_scene(backend, 3, eps, [(0, 0, [0.0, 0.0, 290.0])], half=1e4)
    add_surface(scene, quad(-1e4, 1e4, -1e4, 1e4, 1.0), 0)
    scene.set_thermal_mode(True, wavelengths)
    scene.set_sensor(0, 32, 32, 0.5, 0.5, ortho_down(0.0, 0.0, 0.5))
    scene.build()
    img = backend.render(scene, spp=4, max_depth=80).reshape(-1, 3).astype(np.float64)
    for b in range(3):  # pixels are independent means; their spread gives the standard error
        stderr = img[:, b].std(ddof=1) / math.sqrt(img.shape[0])
        black = planck(wavelengths[b], 290.0)
        assert abs(img[:, b].mean() - black) < 5 * stderr + 1e-6 * black, (b, img[:, b].mean())
        assert stderr < 0.05 * black  # the test resolves a biased estimator


def test_pass_samples_are_independent_so_the_mean_has_the_variance_they_promise(backend):
    # White stripes over the right half of every pixel column, lit to radiance
    # 1: a sample sees 1 when its sub-pixel x offset is above 1/2, else 0. The
    # mean of k passes then has variance 1/(4k) if the passes' draws are
    # independent, and the means of the two halves of the passes are uncorrelated.
    n, passes = 64, 256
    scene = new_scene(backend, 1, [0.5, 2 * math.pi], [(0, 0)])
    v = np.array([[x + dx, y, 0.0] for x in range(n) for dx, y in
                  ((0.5, -1), (1, -1), (1, n + 1), (0.5, n + 1))], np.float32)
    t = np.array([[4 * x + a for a in tri] for x in range(n) for tri in ((0, 1, 2), (0, 2, 3))])
    add_surface(scene, (v, t.astype(np.int32)), 0)
    scene.set_emitter(0, np.array([0.0, 0.0, 1.0]), 1)
    scene.set_sensor(0, n, n, float(n), float(n), ortho_down(n / 2, n / 2, 10.0))
    scene.build()
    half = backend.render(scene, spp=passes // 2, max_depth=1)[..., 0].astype(np.float64).ravel()
    full = backend.render(scene, spp=passes, max_depth=1)[..., 0].astype(np.float64).ravel()
    second = 2 * full - half
    pixels = n * n
    assert full.mean() == pytest.approx(0.5, abs=5 * math.sqrt(0.25 / (passes * pixels)))
    # Sample variance of 4096 means: relative standard error sqrt(2 / 4095) = 2.2 %.
    assert full.var(ddof=1) / (0.25 / passes) == pytest.approx(1.0, abs=5 * math.sqrt(2 / pixels))
    assert abs(np.corrcoef(half, second)[0, 1]) < 4 / math.sqrt(pixels)


def test_instances_raised_by_a_refit_are_seen_like_ones_built_there(backend):
    # A plate over half of a periodic tile, built in place or 5 m lower and
    # moved up by update_instance_transform + refit_ias: it then stands above
    # the max_height of the last build. Terrain following (which backs off to
    # 1 m above the scene) and photons climbing from the ground through the
    # tile copies must still see it.
    def make(build_z):
        s = new_scene(backend, 1, [0.1, 0.9, 1.0, 1.0], [(0, 0), (0, 1)])
        add_surface(s, quad(0, 6, 0, 6), 0)
        add_surface(s, quad(0, 3, 0, 6, 2.0), 1, (0.0, 0.0, build_z))
        s.set_sky(2)
        s.set_emitter(0, sun_at(45.0), 3)
        s.set_repetitive(5, 6.0, 6.0)
        s.set_measurement_plane(3.0)
        s.set_sensor(0, 8, 8, 6.0, 6.0, ortho_down(3.0, 3.0, 10.0), terrain_following=True)
        s.build()
        s.update_instance_transform(1, np.array([1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0], np.float32))
        s.refit_ias()
        return s
    built, moved = make(0.0), make(-5.0)
    img = backend.render(moved, spp=2, max_depth=2)
    np.testing.assert_array_equal(img, backend.render(built, spp=2, max_depth=2))
    # Over the plate, columns 0 to 3: rho (E cos / pi + L), nothing above it.
    np.testing.assert_allclose(img[:, :4], 0.9 * (math.cos(math.pi / 4) / math.pi + 1.0), rtol=1e-5)
    kw = dict(nx=2, layer_heights=[0.0, 1.0, 3.0], num_photons=20000, brf_directions=[0.0, 0.0, 1.0],
              num_brf_dirs=1)
    want, got = backend.forward(built, **kw), backend.forward(moved, **kw)
    assert want["albedo"][0] > 0
    for key in want:
        np.testing.assert_array_equal(got[key], want[key], err_msg=key)
