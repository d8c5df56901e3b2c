"""CPU backward renderer: closed-form radiances of simple scenes."""
import math

import numpy as np
import pytest

import vorn_gpu
from backward_scenes import (BLACK, add_surface, disc, lambertian_plane_scene,
                             look_along, new_scene, ortho_down, quad, radial_range, sun_at)

# Physical constants (CODATA 2018), independent of the engine's radiation constants.
H_PLANCK, C_LIGHT, K_BOLTZMANN = 6.62607015e-34, 299792458.0, 1.380649e-23


def planck(wavelength_nm, temperature):
    """Black-body spectral radiance in W m^-2 sr^-1 nm^-1."""
    lam = wavelength_nm * 1e-9
    c1, c2 = 2 * H_PLANCK * C_LIGHT**2, H_PLANCK * C_LIGHT / K_BOLTZMANN
    return c1 / (lam**5 * math.expm1(c2 / (lam * temperature))) * 1e-9


@pytest.mark.parametrize("zenith,azimuth", [(0.0, 0.0), (30.0, 40.0), (60.0, 250.0)])
@pytest.mark.parametrize("max_depth,sky_seen", [(0, 0), (1, 0), (2, 1), (16, 1)])
@pytest.mark.parametrize("terrain_z", [None, 0.0, 2.5])
@pytest.mark.parametrize("sky", ["uniform", "parametric_flat"])
def test_plane_under_sun_and_sky_gives_rho_e_cos_over_pi_plus_rho_l(zenith, azimuth, max_depth,
                                                                     sky_seen, terrain_z, sky):
    rho, sun_e, sky_l = [0.3, 0.55, 0.8], [1.0, 2.0, 0.5], [3.0, 0.5, 1.5]
    # A parametric sky with all gradation coefficients 0 is uniform at Lz.
    tail = sky_l if sky == "uniform" else [v for lz in sky_l for v in [0.0] * 9 + [lz]]
    scene = lambertian_plane_scene(3, rho + sun_e + tail, z=terrain_z or 0.0)
    scene.set_emitter(0, sun_at(zenith, azimuth), 3)
    if sky == "uniform":
        scene.set_sky(6)
    else:
        scene.set_hw_sky(6, 0.0, 0.0, 1.0)
    # With terrain following (terrain_z set) the back-off above the terrain must
    # not cost so much precision that hit points fall under it, into shadow.
    scene.set_sensor(0, 6, 4, 20.0, 10.0, ortho_down(3.0, -2.0, 50.0),
                     terrain_following=terrain_z is not None)
    scene.build()
    img = vorn_gpu.simulate_cpu(scene, spp=2, max_depth=max_depth)
    # Every camera ray hits the plane and sees the sun; cosine sampling of the
    # continuation carries exactly rho to the sky, from the second bounce on.
    cos_s = math.cos(math.radians(zenith))
    expected = (max_depth > 0) * np.array(rho) * sun_e * cos_s / math.pi
    expected = expected + sky_seen * np.array(rho) * sky_l
    assert img.shape == (4, 6, 3) and img.dtype == np.float32
    np.testing.assert_allclose(img, np.broadcast_to(expected, img.shape), rtol=2e-6)


@pytest.mark.parametrize("thermal", [False, True])
def test_perspective_view_of_the_sun_sees_the_disc_inside_its_cone(thermal):
    sun_e, sky_l = np.array([1.0, 2.0]), np.array([0.25, 0.125])
    scene = new_scene(2, list(sun_e) + list(sky_l))
    s = sun_at(35.0, 120.0)
    scene.set_emitter(0, s, 0)
    scene.set_sky(2)
    if thermal:
        scene.set_thermal_mode(True, [8000.0, 9000.0])
    n, fov = 15, 1.2
    scene.set_sensor(1, n, n, 0.0, 0.0, look_along(s), fov=fov)
    scene.build()
    img = vorn_gpu.simulate_cpu(scene, spp=1, max_depth=4)
    disc_l = sun_e / np.float32(6.794e-5)
    # A sample at (u, v) leaves at angle atan(2 tan(fov/2) |(u, v)|) from the axis.
    tan_cone = math.tan(math.acos(np.float32(0.999989)))
    scale = 2 * math.tan(math.radians(fov) / 2)
    inside = outside = 0
    for y in range(n):
        for x in range(n):
            lo, hi = radial_range(n, n, x, y, scale, scale)
            if not thermal and hi < 0.98 * tan_cone:
                np.testing.assert_allclose(img[y, x], disc_l, rtol=1e-5)
                inside += 1
            elif thermal or lo > 1.02 * tan_cone:
                np.testing.assert_allclose(img[y, x], sky_l, rtol=1e-6)
                outside += 1
            else:  # straddles the cone: one sample is either one or the other
                assert (np.allclose(img[y, x], disc_l, rtol=1e-5)
                        or np.allclose(img[y, x], sky_l, rtol=1e-6)), img[y, x]
    assert outside > 100 and (thermal or inside >= 9)


THERMAL_WL, EMISSIVITY = [8000.0, 10000.0, 12000.0], [0.95, 0.9, 0.8]


@pytest.mark.parametrize("case,temperature", [("uniform_with_sky", 300.0), ("sunlit", 310.0),
                                              ("shaded", 280.0)])
def test_thermal_lambertian_plate_emits_eps_planck(case, temperature):
    sun_e, sky_l = [50.0, 60.0, 70.0], [2.0, 3.0, 4.0]
    scene = new_scene(3, EMISSIVITY + sun_e + sky_l)
    temps = [0.0, 0.0, 300.0] if case.startswith("uniform") else [0.0, 0.0, 0.0, 310.0, 280.0]
    scene.add_material(0, 0, temps)
    add_surface(scene, quad(-1000, 1000, -1000, 1000), 0)
    scene.set_emitter(0, sun_at(20.0), 3)
    if case == "uniform_with_sky":
        scene.set_sky(6)
    if case == "shaded":  # a black roof between the plate and the sun, above the camera
        scene.add_material(BLACK, 0)
        add_surface(scene, quad(-3000, 3000, -3000, 3000, 5.0), 1)
    scene.set_thermal_mode(True, THERMAL_WL)
    scene.set_sensor(0, 4, 4, 2.0, 2.0, ortho_down(0.0, 0.0, 1.0))
    scene.build()
    img = vorn_gpu.simulate_cpu(scene, spp=2, max_depth=2)
    eps = np.array(EMISSIVITY)
    expected = eps * [planck(w, temperature) for w in THERMAL_WL]
    if case == "uniform_with_sky":
        # Reflects the sky with 1 - eps; the sun is neither sampled nor seen.
        expected = expected + (1 - eps) * sky_l
    np.testing.assert_allclose(img, np.broadcast_to(expected, img.shape), rtol=1e-5)


RF, RB, TR = np.array([0.1, 0.4]), np.array([0.2, 0.3]), np.array([0.3, 0.05])
RPV = [(0.12, 0.35), (0.75, 0.9), (-0.25, 0.1), (0.3, 0.6)]  # rho0, k, Theta, rho_c per band


@pytest.mark.parametrize("material,camera_above,sun_above", [
    ("leaf", True, True), ("leaf", False, False), ("leaf", True, False), ("leaf", False, True),
    ("lambertian", False, False), ("lambertian", False, True), ("rpv", True, True)])
def test_direct_sun_on_leaf_lambertian_and_rpv_planes(material, camera_above, sun_above):
    sun_e = [1.5, 0.5]
    spectral, model = {"leaf": ([*RF, *RB, *TR], (13, 0, [0.5, 0.5])),
                       "lambertian": (list(RF), (0, 0)),
                       "rpv": ([v for pair in RPV for v in pair], (1, 0))}[material]
    scene = new_scene(2, spectral + sun_e)
    scene.add_material(*model)
    add_surface(scene, quad(-1000, 1000, -1000, 1000), 0)
    zenith = 40.0 if sun_above else 140.0
    scene.set_emitter(0, sun_at(zenith, 70.0), len(spectral))
    cam = ortho_down(0, 0, 3.0) if camera_above else look_along([0, 0, 1], (0, 0, -3.0))
    scene.set_sensor(0, 3, 3, 2.0, 2.0, cam)
    scene.build()
    img = vorn_gpu.simulate_cpu(scene, spp=1, max_depth=1)
    cos_s = abs(math.cos(math.radians(zenith)))
    if material == "rpv":  # seen along the normal: G = tan(sun zenith), and no 1/pi
        rho0, k, theta, rho_c = (np.array(p) for p in RPV)
        hg = (1 - theta**2) / (1 + theta**2 + 2 * theta * cos_s) ** 1.5
        g = math.tan(math.radians(zenith))
        brdf = rho0 * cos_s ** (k - 1) * hg * (1 + (1 - rho_c) / (1 + g))
    elif camera_above != sun_above:
        brdf = TR / math.pi if material == "leaf" else np.zeros(2)
    else:  # the plane's normal is +z: seen from below a leaf shows its back face
        brdf = (RF if camera_above or material == "lambertian" else RB) / math.pi
    expected = brdf * sun_e * cos_s
    np.testing.assert_allclose(img, np.broadcast_to(expected, img.shape),
                               rtol=1e-4 if material == "rpv" else 2e-6, atol=1e-12)


@pytest.mark.parametrize("projection", [0, 1, 2, 3])
def test_fisheye_maps_zenith_angles_and_leaves_outside_the_circle_unwritten(projection):
    # Looking up from the origin: a black disc of radius 1 at height 1 hides
    # the sky within 45 degrees of the zenith, which the projection maps to r_edge.
    sky_l = 2.0
    scene = new_scene(1, [sky_l])
    scene.add_material(BLACK, 0)
    add_surface(scene, disc(1.0, 1.0), 0)
    scene.set_sky(0)
    n = 41
    cam = np.array([1, 0, 0, 0, 0, -1, 0, 0, 0, 0, -1, 0, 0, 0, 0, 1], np.float32)
    scene.set_sensor(4, n, n, 0.0, 0.0, cam, fov=180.0, projection_type=projection)
    scene.build()
    img = vorn_gpu.simulate_cpu(scene, spp=2, max_depth=3)[..., 0]
    q = math.pi / 4  # fov pi: equisolid, equidistant, orthographic, stereographic
    r_edge = [math.sin(q / 2) / (2 * math.sin(q)), 0.25, math.sin(q) / 2,
              math.tan(q / 2) / (2 * math.tan(q))][projection]
    counts = [0, 0, 0]
    for y in range(n):
        for x in range(n):
            lo, hi = radial_range(n, n, x, y)
            if lo > 0.5 or hi < 0.98 * r_edge:  # outside the circle, or on the disc
                assert img[y, x] == 0.0, (x, y)
                counts[0 if lo > 0.5 else 1] += 1
            elif lo > 1.02 * r_edge and hi < 0.5:
                assert img[y, x] == pytest.approx(sky_l, rel=1e-6), (x, y)
                counts[2] += 1
    assert min(counts) > 50, counts


@pytest.mark.parametrize("centre_x,repeat", [(7.5, 1), (37.5, 1), (-22.5, 2), (7.5, 0)])
def test_periodic_tile_wraps_camera_rays_and_sun_shadows(centre_x, repeat):
    # Tile 10 x 10: ground over the tile, a black roof at z = 1 over x < 5. The
    # sun at 45 degrees towards +x: ground at x > 9 is shaded by the roof of
    # the next tile, only when the tile repeats.
    rho, sun_e = 0.5, 2.0
    scene = new_scene(1, [rho, sun_e])
    scene.add_material(0, 0)
    scene.add_material(BLACK, 0)
    add_surface(scene, quad(0, 10, 0, 10), 0)
    add_surface(scene, quad(0, 5, 0, 10, 1.0), 1)
    scene.set_emitter(0, sun_at(45.0), 1)
    scene.set_repetitive(repeat, 10.0, 10.0)
    width = 50  # 0.1 m pixels over x in [centre - 2.5, centre + 2.5]
    scene.set_sensor(0, width, 4, 5.0, 2.0, ortho_down(centre_x, 5.0, 0.5))
    scene.build()
    img = vorn_gpu.simulate_cpu(scene, spp=2, max_depth=1)[..., 0]
    lit = rho * sun_e * math.cos(math.radians(45.0)) / math.pi
    for x in range(width):
        xg = 5.0 + 0.1 * x  # pixel's left edge inside the tile
        if repeat == 0 and centre_x != 7.5:
            want = 0.0
        elif 5.2 < xg < 8.8 or (repeat == 0 and xg > 5.2):
            want = lit
        elif 9.1 < xg:
            want = 0.0
        else:
            continue
        np.testing.assert_allclose(img[:, x], want, rtol=2e-6, atol=1e-12, err_msg=str(x))


def test_isothermal_cavity_radiance_is_the_black_body_whatever_the_emissivity():
    # Between two parallel isothermal plates the radiance is B(lambda, T) for
    # any emissivity (Kirchhoff): eps B summed over (1 - eps)^k reflections.
    # Paths run deep, so Russian roulette must stay unbiased.
    eps, wavelengths = [0.3, 0.6, 0.95], [9000.0, 10000.0, 11000.0]
    scene = new_scene(3, eps)
    scene.add_material(0, 0, [0.0, 0.0, 290.0])
    add_surface(scene, quad(-1e4, 1e4, -1e4, 1e4, 0.0), 0)
    add_surface(scene, quad(-1e4, 1e4, -1e4, 1e4, 1.0), 0)
    scene.set_thermal_mode(True, wavelengths)
    scene.set_sensor(0, 32, 32, 0.5, 0.5, ortho_down(0.0, 0.0, 0.5))
    scene.build()
    img = vorn_gpu.simulate_cpu(scene, spp=4, max_depth=80).reshape(-1, 3).astype(np.float64)
    for b in range(3):
        # Pixels are independent means; their spread gives the standard error.
        stderr = img[:, b].std(ddof=1) / math.sqrt(img.shape[0])
        black = planck(wavelengths[b], 290.0)
        assert abs(img[:, b].mean() - black) < 5 * stderr + 1e-6 * black, (b, img[:, b].mean())
        assert stderr < 0.05 * black  # the test resolves a biased estimator
