"""CPU backward renderer: closed-form radiances of simple scenes."""
import math

import numpy as np
import pytest

import vorn_gpu
from backward_scenes import (BLACK, add_surface, camera_matrix, disc, lambertian_plane_scene,
                             look_along, new_scene, ortho_down, quad, radial_range, sun_at, unit)

# Physical constants (CODATA 2018), independent of the engine's radiation constants.
H_PLANCK, C_LIGHT, K_BOLTZMANN = 6.62607015e-34, 299792458.0, 1.380649e-23


def planck(wavelength_nm, temperature):
    """Black-body spectral radiance in W m^-2 sr^-1 nm^-1."""
    lam = wavelength_nm * 1e-9
    c1, c2 = 2 * H_PLANCK * C_LIGHT**2, H_PLANCK * C_LIGHT / K_BOLTZMANN
    return c1 / (lam**5 * math.expm1(c2 / (lam * temperature))) * 1e-9


@pytest.mark.parametrize("zenith,azimuth", [(0.0, 0.0), (30.0, 40.0), (60.0, 250.0)])
@pytest.mark.parametrize("max_depth", [1, 4])
def test_sunlit_lambertian_plane_gives_rho_e_cos_over_pi(zenith, azimuth, max_depth):
    rho, sun_e = [0.3, 0.55, 0.8], [1.0, 2.0, 0.5]
    scene = lambertian_plane_scene(3, rho + sun_e)
    scene.set_emitter(0, sun_at(zenith, azimuth), 3)
    scene.set_sensor(0, 6, 4, 20.0, 10.0, ortho_down(3.0, -2.0, 10.0))
    scene.build()
    img = vorn_gpu.simulate_cpu(scene, spp=2, max_depth=max_depth)
    # Every camera ray hits the plane; the continuation escapes into an empty sky.
    expected = np.array(rho) * sun_e * math.cos(math.radians(zenith)) / math.pi
    assert img.shape == (4, 6, 3) and img.dtype == np.float32
    np.testing.assert_allclose(img, np.broadcast_to(expected, img.shape), rtol=2e-6)


@pytest.mark.parametrize("sky", ["uniform", "parametric_flat"])
@pytest.mark.parametrize("max_depth,seen", [(1, 0.0), (2, 1.0), (16, 1.0)])
def test_plane_under_uniform_sky_gives_rho_l(sky, max_depth, seen):
    rho, sky_l = [0.2, 0.7], [3.0, 0.5]
    # Parametric sky with all gradation coefficients 0 is uniform at Lz.
    flat = [0.0] * 9
    tail = sky_l if sky == "uniform" else flat + [sky_l[0]] + flat + [sky_l[1]]
    scene = lambertian_plane_scene(2, rho + tail)
    if sky == "uniform":
        scene.set_sky(2)
    else:
        scene.set_hw_sky(2, 0.0, 0.0, 1.0)
    scene.set_sensor(0, 5, 5, 4.0, 4.0, ortho_down(0.0, 0.0, 5.0))
    scene.build()
    img = vorn_gpu.simulate_cpu(scene, spp=3, max_depth=max_depth)
    # Cosine sampling of a Lambertian surface carries exactly rho per bounce.
    expected = seen * np.array(rho) * sky_l
    np.testing.assert_allclose(img, np.broadcast_to(expected, img.shape), rtol=2e-6)


def gradation(coef, cos_t, gamma):
    a, b, c, d, e, f, g, h, i = coef
    cos_g = np.cos(gamma)
    return (1 + a * np.exp(b / cos_t)) * (1 + c * np.exp(d * gamma) + e * cos_g**2
                                          + f * np.exp(g * gamma**2) + h * np.sqrt(cos_t) + i)


def test_plane_under_parametric_sky_matches_quadrature_within_mc_error():
    coef = [-1.0, -0.32, 10.0, -3.0, 0.45, 0.0, 0.0, 0.0, 0.0]
    lz, rho = [1.0, 0.5], [0.4, 0.9]
    sun = np.array(sun_at(30.0, 60.0), np.float64)
    scene = lambertian_plane_scene(2, rho + coef + [lz[0]] + coef + [lz[1]])
    scene.set_hw_sky(2, *sun)
    width, height, spp = 32, 32, 8
    scene.set_sensor(0, width, height, 4.0, 4.0, ortho_down(0.0, 0.0, 5.0))
    scene.build()
    img = vorn_gpu.simulate_cpu(scene, spp=spp, max_depth=2)

    # Midpoint quadrature of the cosine-weighted sky: mean and second moment.
    n = 1000
    theta = (np.arange(n) + 0.5) * (math.pi / 2 / n)
    phi = (np.arange(2 * n) + 0.5) * (math.pi / n)
    t, p = np.meshgrid(theta, phi, indexing="ij")
    d = np.stack([np.sin(t) * np.cos(p), np.sin(t) * np.sin(p), np.cos(t)], axis=-1)
    gamma = np.arccos(np.clip(d @ sun, -1, 1))
    shape = gradation(coef, np.maximum(0.001, d[..., 2]), gamma)
    shape0 = max(gradation(coef, 1.0, math.acos(sun[2])), 0.001)
    radiance = np.maximum(0.0, shape / shape0)  # per unit Lz
    weight = np.cos(t) * np.sin(t) * (math.pi / 2 / n) * (math.pi / n) / math.pi
    mean, second = np.sum(radiance * weight), np.sum(radiance**2 * weight)
    samples = width * height * spp
    for b in range(2):
        scale = rho[b] * lz[b]
        sigma = scale * math.sqrt(second - mean**2) / math.sqrt(samples)
        assert abs(img[..., b].mean() - scale * mean) < 5 * sigma, (b, img[..., b].mean())


@pytest.mark.parametrize("thermal", [False, True])
def test_perspective_view_of_the_sun_sees_the_disc_inside_its_cone(thermal):
    sun_e, sky_l = np.array([1.0, 2.0]), np.array([0.25, 0.125])
    scene = new_scene(2, list(sun_e) + list(sky_l))
    s = sun_at(35.0, 120.0)
    scene.set_emitter(0, s, 0)
    scene.set_sky(2)
    if thermal:
        scene.set_thermal_mode(True, [8000.0, 9000.0])
    width = height = 15
    fov = 1.2
    scene.set_sensor(1, width, height, 0.0, 0.0, look_along(s), fov=fov)
    scene.build()
    img = vorn_gpu.simulate_cpu(scene, spp=1, max_depth=4)
    disc_l = sun_e / np.float32(6.794e-5)
    # A sample at (u, v) leaves at angle atan(2 tan(fov/2) |(u, v)|) from the axis.
    tan_cone = math.tan(math.acos(np.float32(0.999989)))
    scale = 2 * math.tan(math.radians(fov) / 2)
    inside = outside = 0
    for y in range(height):
        for x in range(width):
            lo, hi = radial_range(width, height, x, y, scale, scale)
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


THERMAL_WL = [8000.0, 10000.0, 12000.0]
EMISSIVITY = [0.95, 0.9, 0.8]


@pytest.mark.parametrize("case", ["uniform", "uniform_with_sun_and_sky", "sunlit", "shaded"])
def test_thermal_lambertian_plate_emits_eps_planck(case):
    sun_e, sky_l = [50.0, 60.0, 70.0], [2.0, 3.0, 4.0]
    scene = new_scene(3, EMISSIVITY + sun_e + sky_l)
    temps = [0.0, 0.0, 300.0] if case.startswith("uniform") else [0.0, 0.0, 0.0, 310.0, 280.0]
    scene.add_material(0, 0, temps)
    add_surface(scene, quad(-1000, 1000, -1000, 1000), 0)
    scene.set_emitter(0, sun_at(20.0), 3)
    if case == "uniform_with_sun_and_sky":
        scene.set_sky(6)
    if case == "shaded":  # a black roof between the plate and the sun, above the camera
        scene.add_material(BLACK, 0)
        add_surface(scene, quad(-3000, 3000, -3000, 3000, 5.0), 1)
    scene.set_thermal_mode(True, THERMAL_WL)
    scene.set_sensor(0, 4, 4, 2.0, 2.0, ortho_down(0.0, 0.0, 1.0))
    scene.build()
    img = vorn_gpu.simulate_cpu(scene, spp=2, max_depth=2)
    temperature = {"uniform": 300.0, "uniform_with_sun_and_sky": 300.0, "sunlit": 310.0,
                   "shaded": 280.0}[case]
    eps = np.array(EMISSIVITY)
    expected = eps * [planck(w, temperature) for w in THERMAL_WL]
    if case == "uniform_with_sun_and_sky":
        # Reflects the sky with 1 - eps; the sun is neither sampled nor seen.
        expected = expected + (1 - eps) * sky_l
    np.testing.assert_allclose(img, np.broadcast_to(expected, img.shape), rtol=1e-5)


LEAF_RF, LEAF_RB, LEAF_T = [0.1, 0.4], [0.2, 0.3], [0.3, 0.05]


@pytest.mark.parametrize("camera_above", [True, False])
@pytest.mark.parametrize("sun_above", [True, False])
@pytest.mark.parametrize("material", ["leaf", "lambertian"])
def test_direct_sun_through_leaf_faces_and_transmission(camera_above, sun_above, material):
    sun_e = [1.5, 0.5]
    if material == "leaf":
        scene = new_scene(2, LEAF_RF + LEAF_RB + LEAF_T + sun_e)
        scene.add_material(13, 0, [0.5, 0.5])
        sun_offset = 6
    else:
        scene = new_scene(2, LEAF_RF + sun_e)
        scene.add_material(0, 0)
        sun_offset = 2
    add_surface(scene, quad(-1000, 1000, -1000, 1000), 0)
    zenith = 25.0 if sun_above else 155.0
    scene.set_emitter(0, sun_at(zenith, 70.0), sun_offset)
    cam = ortho_down(0, 0, 3.0) if camera_above else look_along([0, 0, 1], (0, 0, -3.0))
    scene.set_sensor(0, 3, 3, 2.0, 2.0, cam)
    scene.build()
    img = vorn_gpu.simulate_cpu(scene, spp=1, max_depth=1)
    if material == "lambertian":
        factor = LEAF_RF if camera_above == sun_above else [0.0, 0.0]
    elif camera_above == sun_above:
        # The plane's normal is +z: seen from below it shows its back face.
        factor = LEAF_RF if camera_above else LEAF_RB
    else:
        factor = LEAF_T
    expected = np.array(factor) * sun_e * abs(math.cos(math.radians(zenith))) / math.pi
    np.testing.assert_allclose(img, np.broadcast_to(expected, img.shape), rtol=2e-6, atol=1e-12)


def rpv(a, w, rho0, k, theta, rho_c):
    """The RPV-type model on local directions a (view) and w (sun), normal +z."""
    ci, cv = a[2], w[2]
    g = float(np.dot(a, w))
    q = 1 + theta**2 + 2 * theta * g
    f = (1 - theta**2) / q**1.5
    si, sv = math.sqrt(1 - ci**2), math.sqrt(1 - cv**2)
    cos_phi = (a[0] * w[0] + a[1] * w[1]) / (si * sv)
    ti, tv = si / ci, sv / cv
    big_g = math.sqrt(ti**2 + tv**2 - 2 * ti * tv * cos_phi)
    return rho0 * (ci * cv) ** (k - 1) * f * (1 + (1 - rho_c) / (1 + big_g))


def test_rpv_plane_seen_obliquely_follows_the_model():
    params = [(0.12, 0.35), (0.75, 0.9), (-0.25, 0.1), (0.3, 0.6)]  # rho0, k, Theta, rho_c
    sun_e = [1.0, 2.0]
    scene = new_scene(2, [v for pair in params for v in pair] + sun_e)
    scene.add_material(1, 0)
    add_surface(scene, quad(-1000, 1000, -1000, 1000), 0)
    s = sun_at(40.0, 30.0)
    view = unit([-0.5, 0.3, 0.8])  # towards the camera
    scene.set_emitter(0, s, 8)
    scene.set_sensor(0, 3, 3, 1.0, 1.0, look_along(-view, 5.0 * view))
    scene.build()
    img = vorn_gpu.simulate_cpu(scene, spp=1, max_depth=1)
    # The frame of a +z normal maps world x, y, z to local x, y, z.
    expected = [sun_e[b] * rpv(view, s, *[p[b] for p in params]) * s[2] for b in range(2)]
    np.testing.assert_allclose(img, np.broadcast_to(expected, img.shape), rtol=1e-4)


def fisheye_radius(projection, theta, fov):
    """Normalised image radius at which a fisheye maps zenith angle theta."""
    if projection == 0:
        return math.sin(theta / 2) / (2 * math.sin(fov / 4))
    if projection == 1:
        return theta / fov
    if projection == 2:
        return math.sin(theta) / (2 * math.sin(fov / 2))
    return math.tan(theta / 2) / (2 * math.tan(fov / 4))


@pytest.mark.parametrize("projection", [0, 1, 2, 3])
def test_fisheye_maps_zenith_angles_and_leaves_outside_the_circle_unwritten(projection):
    # Looking up from the origin: a black disc of radius 1 at height 1 hides
    # the sky within 45 degrees of the zenith.
    sky_l = [2.0]
    scene = new_scene(1, sky_l)
    scene.add_material(BLACK, 0)
    add_surface(scene, disc(1.0, 1.0), 0)
    scene.set_sky(0)
    n = 41
    cam = np.array([1, 0, 0, 0, 0, -1, 0, 0, 0, 0, -1, 0, 0, 0, 0, 1], np.float32)
    scene.set_sensor(4, n, n, 0.0, 0.0, cam, fov=180.0, projection_type=projection)
    scene.build()
    img = vorn_gpu.simulate_cpu(scene, spp=2, max_depth=3)[..., 0]
    r_edge = fisheye_radius(projection, math.pi / 4, math.pi)
    counts = [0, 0, 0]
    for y in range(n):
        for x in range(n):
            lo, hi = radial_range(n, n, x, y)
            if lo > 0.5 or hi < 0.98 * r_edge:  # outside the circle, or on the disc
                assert img[y, x] == 0.0, (x, y)
                counts[0 if lo > 0.5 else 1] += 1
            elif lo > 1.02 * r_edge and hi < 0.5:
                assert img[y, x] == pytest.approx(sky_l[0], rel=1e-6), (x, y)
                counts[2] += 1
    assert min(counts) > 50, counts


@pytest.mark.parametrize("centre_x,repeat", [(7.5, 1), (37.5, 1), (-22.5, 2), (7.5, 0)])
def test_periodic_tile_wraps_camera_rays_and_sun_shadows(centre_x, repeat):
    # Tile 10 x 10: ground over the tile, a black roof at z = 1 over x < 5. The
    # sun at 45 degrees towards +x: ground at x > 9 is shaded by the roof of
    # the next tile, only when the tile repeats.
    rho, sun_e = [0.5], [2.0]
    scene = new_scene(1, rho + sun_e)
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
    lit = rho[0] * sun_e[0] * math.cos(math.radians(45.0)) / math.pi
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


@pytest.mark.parametrize("follow", [False, True])
def test_terrain_following_starts_rays_above_the_terrain_below_their_ground_crossing(follow):
    # Terrain at z = 3, emissive (thermal mode, uniform temperature) with
    # emissivity 0.9 for x < 0 and 0.2 for x > 0, seen by an orthographic
    # camera tilted 30 degrees. Emission needs no secondary ray, so the value
    # tells only where the camera ray landed.
    eps = [0.9, 0.2]
    scene = new_scene(1, eps)
    scene.add_material(0, 0, [0.0, 0.0, 300.0])
    scene.add_material(0, 1, [0.0, 0.0, 300.0])
    add_surface(scene, quad(-100, 0, -100, 100), 0, (0.0, 0.0, 3.0))
    add_surface(scene, quad(0, 100, -100, 100), 1, (0.0, 0.0, 3.0))
    scene.set_thermal_mode(True, [10000.0])
    a = math.radians(30.0)
    c0, c2 = [math.cos(a), 0, -math.sin(a)], [math.sin(a), 0, math.cos(a)]
    ortho_w, width = 8.0, 40
    cam = camera_matrix(c0, [0, 1, 0], c2, [0, 0, 10.0])
    scene.set_sensor(0, width, 2, ortho_w, 1.0, cam, terrain_following=follow)
    scene.build()
    img = vorn_gpu.simulate_cpu(scene, spp=2, max_depth=1)[..., 0]
    plane_z = 0.0 if follow else 3.0  # the height whose crossing the ray lands at, in x
    checked = 0
    for x in range(width):
        us = np.array([x, x + 1]) / width - 0.5
        ox, oz = us * ortho_w * c0[0], 10.0 + us * ortho_w * c0[2]
        land = ox - (oz - plane_z) * math.tan(a)
        if land.max() < -0.05:
            want = eps[0] * planck(10000.0, 300.0)
        elif land.min() > 0.05:
            want = eps[1] * planck(10000.0, 300.0)
        else:
            continue
        np.testing.assert_allclose(img[:, x], want, rtol=1e-5, err_msg=str(x))
        checked += 1
    assert checked >= width - 2



@pytest.mark.parametrize("terrain_z", [0.0, 2.5])
@pytest.mark.parametrize("zenith", [0.0, 40.0])
def test_terrain_following_camera_sees_sunlit_terrain(terrain_z, zenith):
    # The back-off above the terrain must not cost so much float precision
    # that hit points fall under the surface and the sun looks occluded.
    rho, sun_e = [0.4], [2.0]
    scene = lambertian_plane_scene(1, rho + sun_e, z=terrain_z)
    scene.set_emitter(0, sun_at(zenith, 30.0), 1)
    scene.set_sensor(0, 8, 8, 20.0, 20.0, ortho_down(7.0, 3.0, 50.0), terrain_following=True)
    scene.build()
    img = vorn_gpu.simulate_cpu(scene, spp=1, max_depth=1)
    expected = rho[0] * sun_e[0] * math.cos(math.radians(zenith)) / math.pi
    np.testing.assert_allclose(img, expected, rtol=2e-6)

def test_max_depth_zero_writes_zero_and_shape_is_height_width_bands():
    scene = lambertian_plane_scene(3, [0.5] * 3 + [1.0] * 3 + [2.0] * 3)
    scene.set_emitter(0, sun_at(10.0), 3)
    scene.set_sky(6)
    scene.set_sensor(0, 64, 32, 4.0, 2.0, ortho_down(0, 0, 2.0))
    scene.build()
    assert vorn_gpu.simulate_cpu(scene, spp=1, max_depth=3).min() > 0.0
    img = vorn_gpu.simulate_cpu(scene, spp=2, max_depth=0)
    assert img.shape == (32, 64, 3)
    assert not img.any()


def test_isothermal_cavity_radiance_is_the_black_body_whatever_the_emissivity():
    # Between two parallel isothermal plates the radiance is B(lambda, T) for
    # any emissivity (Kirchhoff): eps B summed over (1 - eps)^k reflections.
    # Paths run deep, so Russian roulette must stay unbiased.
    eps = [0.3, 0.6, 0.95]
    wavelengths = [9000.0, 10000.0, 11000.0]
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
