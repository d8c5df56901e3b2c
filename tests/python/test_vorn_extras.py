"""Mesh import, leaf and soil optics, sun position, and the ImportError that names
the extra to install when an optional library is missing."""
import sys

import numpy as np
import pytest

import vorn

OBJ = ("g leaves\nv 0 0 100\nv 10 0 100\nv 0 10 100\nv 10 10 100\nf 1 2 3\nf 2 4 3\n"
       "g stem\nv 0 0 0\nv 2 0 0\nv 0 100 0\nf 5 6 7\n")


def test_obj_groups_import_with_names_counts_units_and_up_axis(tmp_path):
    trimesh = pytest.importorskip("trimesh")
    (tmp_path / "plant.obj").write_text(OBJ)
    meshes = vorn.io.load_mesh(tmp_path / "plant.obj", units="cm", up="y", materials={"stem": "bark"})
    assert {k: len(m.indices) for k, m in meshes.items()} == {"leaves": 2, "stem": 1}
    assert meshes["leaves"].material == "leaves" and meshes["stem"].material == "bark"
    # y up in centimetres: (0, 100, 0) is 1 m up; (0, 0, 100) is 1 m south of the origin
    np.testing.assert_allclose(meshes["stem"].vertices, [[0, 0, 0], [0.02, 0, 0], [0, 0, 1]], atol=1e-7)
    np.testing.assert_allclose(meshes["leaves"].vertices, [[0, -1, 0], [0.1, -1, 0], [0, -1, 0.1],
                                                          [0.1, -1, 0.1]], atol=1e-7)
    trimesh.load(tmp_path / "plant.obj", force="scene", split_groups=True).export(tmp_path / "plant.glb")
    nodes = vorn.io.load_mesh(tmp_path / "plant.glb", units="cm", up="y")  # glTF: one node per group
    for name, mesh in meshes.items():
        np.testing.assert_allclose(np.sort(nodes[name].vertices, 0), np.sort(mesh.vertices, 0), atol=1e-6)


def test_prospect_and_soil_match_prosail():
    prosail = pytest.importorskip("prosail")
    r, t = vorn.optics.prospect(1.8, 45.0, 9.0, 0.012, 0.006, cbrown=0.1, ant=1.0)
    wl, r0, t0 = prosail.run_prospect(1.8, 45.0, 9.0, 0.1, 0.012, 0.006, ant=1.0)
    np.testing.assert_array_equal(r.wavelength, wl)
    np.testing.assert_array_equal(r.values, r0)
    np.testing.assert_array_equal(t.values, t0)
    np.testing.assert_allclose(vorn.optics.soil(0.5, dry=1.0).values, 0.5 * prosail.spectral_lib.soil.rsoil1)


def test_band_averaging():
    wl = np.arange(400.0, 1001.0, 5.0)
    const, line = (wl, np.full(wl.size, 0.37)), (wl, 2e-3 * wl)
    rw = np.arange(500.0, 561.0)
    response = np.exp(-0.5 * ((rw - 530.0) / 8.0) ** 2)  # symmetric about 530 nm
    for spectrum, expect in ((const, [0.37, 0.37]), (line, [2e-3 * 452.5, 2e-3 * 801.0])):
        for shape in ("box", "gaussian"):
            got = vorn.optics.band_average(spectrum, [452.5, 801.0], widths=[13.0, 40.0], shape=shape)
            np.testing.assert_allclose(got, expect, rtol=1e-12 if shape == "box" else 1e-4)
    np.testing.assert_allclose(vorn.optics.band_average(line, responses=response, response_wavelength=rw),
                               2e-3 * 530.0, rtol=1e-12)
    with pytest.raises(ValueError, match="outside the spectrum"):
        vorn.optics.band_average(const, [995.0], widths=20.0)


def test_sun_position_of_the_solar_position_algorithm_reference():
    pytest.importorskip("pvlib")
    # the algorithm's published example: 17 Oct 2003, 12:30:30 at UTC-7, 39.742476 N,
    # 105.1786 W, 1830.14 m, 820 mbar, 11 °C, delta T 67 s: zenith 50.11162°, azimuth 194.34024°
    p = vorn.sun.position("2003-10-17 19:30:30", 39.742476, -105.1786, altitude=1830.14,
                          pressure=82000.0, temperature=11.0, delta_t=67.0)
    assert abs(p.zenith - 50.11162) < 0.01 and abs(p.azimuth - 194.34024) < 0.01
    np.testing.assert_allclose(p.direction, vorn.direction(p.zenith, p.azimuth), atol=1e-12)
    assert p.direction[1] < 0 and p.direction[0] < 0  # south-south-west
    sun = vorn.sun.at("2003-10-17 19:30:30", 39.742476, -105.1786, [1.0], altitude=1830.14)
    assert abs(sun.zenith - 50.11) < 0.05


@pytest.mark.parametrize("module, extra, call", [
    ("trimesh", "io", lambda: vorn.io.load_mesh("x.obj")),
    ("xarray", "io", lambda: vorn.render(None)),
    ("prosail", "optics", lambda: vorn.optics.prospect(1.5, 40, 8, 0.01, 0.01)),
    ("pvlib", "optics", lambda: vorn.sun.position("2020-01-01", 0, 0)),
    ("distributed", "sweep", lambda: vorn.sweep(dict, grid={"a": [1]})),
    ("laspy", "lidar", lambda: vorn.lidar.to_las("x.las", np.zeros((0, 8)))),
])
def test_a_missing_extra_is_named(monkeypatch, module, extra, call):
    monkeypatch.setitem(sys.modules, module, None)  # makes `import module` fail
    with pytest.raises(ImportError, match=rf"pip install 'vorn_gpu\[{extra}\]'"):
        call()
