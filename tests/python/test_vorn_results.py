"""vorn.render / vorn.absorb: coordinates, units and the normalised values on a
Lambertian plane, whose closed forms are BRF = albedo = rho and fabs = 1 - rho
under any sun and sky; netCDF round trip."""
import json
import math

import numpy as np
import pytest

import vorn
import vorn_gpu

xr = pytest.importorskip("xarray")
RHO, E, L = 0.3, 2.0, 0.1


def plane(sun=vorn.Sun(E, zenith=60.0, azimuth=90.0), sky=None, sensor=None):
    g = vorn_gpu.make_ground_plane(2, 2)  # exactly the 4 m tile, two triangles of 8 m²
    return vorn.Scene([550.0], {"soil": vorn.Lambertian(RHO)}, {"g": vorn.Mesh(**g, material="soil")},
                      [vorn.Instance("g", [[1, 0, 0, 2], [0, 1, 0, 2], [0, 0, 1, 0]], terrain=True)],
                      sun=sun, sky=sky, tile=vorn.Tile(4.0, 4.0, 3),
                      sensor=sensor or vorn.Orthographic(4, 2, extent=(2.0, 1.0), position=(2.5, 2.0, 10.0)))


def test_render_labels_and_normalises(tmp_path):
    img = vorn.render(plane(), spp=2, max_depth=1, backend=vorn.CpuBackend(num_threads=1))
    # one bounce: L = rho * E cos(60) / pi, so brf = pi L / E_down = rho
    np.testing.assert_allclose(img.radiance, RHO * E * 0.5 / math.pi, rtol=1e-6)
    np.testing.assert_allclose(img.brf, RHO, rtol=1e-6)
    np.testing.assert_allclose(img.x, [1.75, 2.25, 2.75, 3.25])
    np.testing.assert_allclose(img.y, [1.75, 2.25])
    assert img.radiance.attrs["units"] == "W m-2 sr-1 nm-1" and img.attrs["spp"] == 2
    img.to_netcdf(tmp_path / "img.nc")
    back = xr.open_dataset(tmp_path / "img.nc")
    xr.testing.assert_identical(back.load(), img)
    assert json.loads(back.attrs["scene"])["version"] == vorn.FORMAT_VERSION


def test_thermal_scene_emits_planck_radiance():
    h, c, k, lam = 6.62607015e-34, 299792458.0, 1.380649e-23, np.array([8000e-9, 11000e-9])
    planck = 2 * h * c * c / lam ** 5 / np.expm1(h * c / (lam * k * 300.0)) * 1e-9  # per nm
    scene = plane().copy(bands=lam * 1e9, thermal=True, sun=None,
                         materials={"soil": vorn.Lambertian(0.9, temperature=300.0)})
    img = vorn.render(scene, spp=1, max_depth=1)
    np.testing.assert_allclose(img.radiance.mean(["x", "y"]), 0.9 * planck, rtol=1e-5)
    assert "brf" not in img and img.attrs["thermal"] == 1


def test_image_coordinates_of_angular_sensors():
    persp = vorn.render(plane(sensor=vorn.Perspective(4, 2, fov=90.0, position=(0, 0, 5))), spp=1)
    np.testing.assert_allclose(persp.y, [-26.565051, 26.565051])  # atan(0.5 * tan 45°)
    np.testing.assert_allclose(persp.x, np.degrees(np.arctan([-1.5, -0.5, 0.5, 1.5])))
    fish = vorn.render(plane(sensor=vorn.Fisheye(5, 5, fov=180.0, projection="equidistant",
                                                 position=(0, 0, 5))), spp=1)
    vz = fish.view_zenith.values
    assert vz[2, 2] == 0 and np.isnan(vz[0, 0]) and vz[2, 4] == pytest.approx(72.0)  # r = 0.4 of 0.5


@pytest.mark.parametrize("sun, sky, terrain, prob_sun", [
    (vorn.Sun(E, zenith=30.0, azimuth=45.0), None, None, 0.3),  # no sky: prob_sun is not used
    (vorn.Sun(E, zenith=50.0, azimuth=200.0), vorn.UniformSky(L), False, None),
    (None, vorn.ParametricSky(np.zeros((1, 9)), [L]), None, None),  # coefficients 0: a uniform sky
])
def test_absorb_closed_forms_on_a_lambertian_plane(sun, sky, terrain, prob_sun):
    r = vorn.absorb(plane(sun, sky), nx=2, ny=2, photons=200_000, views=[(0, 0), (40, 120)],
                    per_triangle=True, terrain=terrain, prob_sun=prob_sun)
    e_down = (E * math.cos(math.radians(sun.zenith)) if sun else 0.0) + (math.pi * L if sky else 0.0)
    np.testing.assert_allclose(r.incident, e_down, rtol=1e-4)
    np.testing.assert_allclose(r.brf, RHO, rtol=0.03)
    np.testing.assert_allclose(r.albedo, RHO, rtol=0.03)
    np.testing.assert_allclose(r.fabs.sum("z"), 1 - RHO, rtol=0.03)
    if terrain is None:  # the terrain instance's absorption is tallied apart from triangles
        np.testing.assert_allclose(r.terrain_fabs, 1 - RHO, rtol=0.03)
        assert float(r.triangle_absorbed.sum()) == 0
    else:
        np.testing.assert_allclose(r.triangle_area, 8.0)
        np.testing.assert_allclose(r.triangle_flux, (1 - RHO) * e_down, rtol=0.03)
    assert r.x.values.tolist() == [1.0, 3.0] and r.absorbed.attrs["units"] == "W nm-1"
