"""Mesh generators: exact vertex and face orders, counts and bad input."""
import numpy as np
import pytest

import vorn_gpu

PHI = np.float32(1.618034)
ICO = np.array([(-1, PHI, 0), (1, PHI, 0), (-1, -PHI, 0), (1, -PHI, 0), (0, -1, PHI), (0, 1, PHI),
                (0, -1, -PHI), (0, 1, -PHI), (PHI, 0, -1), (PHI, 0, 1), (-PHI, 0, -1),
                (-PHI, 0, 1)], dtype=np.float32) / np.sqrt(np.float32(3.6180341), dtype=np.float32)
ICO_FACES = [(0, 11, 5), (0, 5, 1), (0, 1, 7), (0, 7, 10), (0, 10, 11), (1, 5, 9), (5, 11, 4),
             (11, 10, 2), (10, 7, 6), (7, 1, 8), (3, 9, 4), (3, 4, 2), (3, 2, 6), (3, 6, 8),
             (3, 8, 9), (4, 9, 5), (2, 4, 11), (6, 2, 10), (8, 6, 7), (9, 8, 1)]


def check_layout(mesh, n_vertices, n_triangles):
    assert list(mesh.keys()) == ["vertices", "normals", "indices"]
    for key, dtype, rows in (("vertices", np.float32, n_vertices), ("normals", np.float32, n_vertices),
                             ("indices", np.int32, n_triangles)):
        a = mesh[key]
        assert a.dtype == dtype and a.shape == (rows, 3) and a.flags.c_contiguous and a.flags.owndata, key


def test_ground_plane_defaults_and_material_has_no_effect():
    g = vorn_gpu.make_ground_plane()
    check_layout(g, 4, 2)
    np.testing.assert_array_equal(g["vertices"], [[-50, -50, 0], [50, -50, 0], [50, 50, 0], [-50, 50, 0]])
    np.testing.assert_array_equal(g["normals"], [[0, 0, 1]] * 4)
    np.testing.assert_array_equal(g["indices"], [[0, 1, 2], [0, 2, 3]])
    a, b = vorn_gpu.make_ground_plane(1, 2, 7), vorn_gpu.make_ground_plane(1, 2, 0)
    np.testing.assert_array_equal(a["vertices"], [[-1, -2, 0], [1, -2, 0], [1, 2, 0], [-1, 2, 0]])
    assert all(np.array_equal(a[k], b[k]) for k in a)


def test_cylinder_order_seam_normals_and_counts():
    r, h = 1.5, 2.0
    c = vorn_gpu.make_cylinder(r, h)
    check_layout(c, 18, 16)
    v, n, idx = c["vertices"], c["normals"], c["indices"]
    np.testing.assert_array_equal(idx[:2], [[0, 2, 1], [1, 2, 3]])
    np.testing.assert_allclose(v[-2:], v[:2], atol=1e-5)  # seam column duplicates column 0
    np.testing.assert_array_equal(v[:, 2], [0, h] * 9)
    np.testing.assert_allclose(np.hypot(v[:, 0], v[:, 1]), r, rtol=1e-6)
    theta = np.arange(9, dtype=np.float32) * np.float32(6.2831855) / np.float32(8)
    np.testing.assert_allclose(n[0::2], np.stack([np.cos(theta), np.sin(theta), 0 * theta], 1), atol=1e-6)
    np.testing.assert_array_equal(n[1::2], n[0::2])
    check_layout(vorn_gpu.make_cylinder(1.0, 2.0, 3), 8, 6)
    check_layout(vorn_gpu.make_cylinder(1.0, 2.0, -1), 0, 0)
    for segments, message in ((0, "segments must be at least 1"), (2**30, "segments must be at most")):
        with pytest.raises(RuntimeError, match=message):
            vorn_gpu.make_cylinder(1.0, 1.0, segments)


def test_icosahedron_is_exact_and_its_first_subdivision_uses_unshared_midpoints_in_order():
    s = vorn_gpu.make_sphere(1.0, [0, 0, 0], 0)
    check_layout(s, 12, 20)
    for key, want in (("vertices", ICO), ("normals", ICO), ("indices", ICO_FACES)):
        np.testing.assert_array_equal(s[key], want)
    s = vorn_gpu.make_sphere(1.0, [0, 0, 0], 1)
    check_layout(s, 12 + 60, 80)

    def mid(p, q):
        m = np.float32(0.5) * (ICO[p] + ICO[q])
        return m / np.sqrt(np.sum(m * m, dtype=np.float32))

    np.testing.assert_allclose(s["vertices"][12:15], [mid(0, 11), mid(11, 5), mid(5, 0)], rtol=1e-6)
    np.testing.assert_array_equal(s["indices"][:4], [[0, 12, 14], [11, 13, 12], [5, 14, 13], [12, 13, 14]])


@pytest.mark.parametrize("subdivisions, expected", [(-3, 0), (1, 1), (None, 2), (3, 3)])
def test_sphere_counts_radius_and_outward_normals(subdivisions, expected):
    center = np.array([1.0, 2.0, 3.0])  # float64 is cast
    s = vorn_gpu.make_sphere(2.0, center, *(() if subdivisions is None else (subdivisions,)))
    check_layout(s, 12 + 20 * (4**expected - 1), 20 * 4**expected)
    d = s["vertices"] - center
    np.testing.assert_allclose(np.linalg.norm(d, axis=1), 2.0, rtol=1e-5)
    assert np.all(np.einsum("ij,ij->i", s["normals"], d) > 0)


def test_sphere_rejects_bad_center_and_huge_subdivision():
    with pytest.raises(ValueError, match=r"^array has incorrect number of dimensions: 2; expected 1$"):
        vorn_gpu.make_sphere(1.0, np.zeros((1, 3)))
    for args, message in ((([0.0, 0.0],), "center must hold at least 3 values, got 2"),
                          (([0, 0, 0], 11), "subdivisions must be at most 10, got 11")):
        with pytest.raises(RuntimeError, match=message):
            vorn_gpu.make_sphere(1.0, *args)
