"""CPU scene bindings: argument conversion, dimension and length errors, and
the scene's counts, heights and lifecycle seen from Python.

Python cannot trace rays against the scene directly, so reading order is
checked through what the scene derives from its input: max_height (highest
transformed vertex) and the triangle named by a build-time index error.
"""
import numpy as np
import pytest

import vorn_gpu

DIM_ERROR = "array has incorrect number of dimensions: {}; expected {}"

CUBE_V = np.array([[x, y, z] for z in (0, 1) for y in (0, 1) for x in (0, 1)], dtype=np.float32)
CUBE_I = np.array([[0, 2, 1], [1, 2, 3], [4, 5, 6], [5, 7, 6], [0, 1, 4], [1, 5, 4],
                   [2, 6, 3], [3, 6, 7], [0, 4, 2], [2, 4, 6], [1, 3, 5], [3, 7, 5]],
                  dtype=np.int32)
NO_NORMALS = np.zeros((0, 3), dtype=np.float32)


def xform(tx=0.0, ty=0.0, tz=0.0, s=1.0):
    return np.array([s, 0, 0, tx, 0, s, 0, ty, 0, 0, s, tz], dtype=np.float32)


def cube_scene():
    s = vorn_gpu.EmbreeSceneManager()
    assert s.add_mesh(CUBE_V, NO_NORMALS, CUBE_I) == 0
    return s


def built_height(s):
    s.build()
    return s.max_height()


# ---- add_mesh -----------------------------------------------------------------

# Vertices whose largest z is 3; every x, y is larger than 3, and the decoy rows
# and columns hold 50, so reading a column or row out of place changes the answer.
TETRA = np.array([[10, 20, 0], [11, 20, 1], [10, 21, 3], [11, 21, 2]], dtype=np.float64)
TETRA_I = np.array([[0, 1, 2], [0, 2, 3], [0, 3, 1], [1, 3, 2]])


def layout(a, kind):
    """The same logical 2-D array in another memory layout."""
    if kind == "C":
        return np.ascontiguousarray(a)
    if kind == "F":
        return np.asfortranarray(a)
    if kind == "rows_strided":  # every other row of a larger array
        big = np.full((2 * a.shape[0], a.shape[1]), 50, dtype=a.dtype)
        big[::2] = a
        return big[::2]
    if kind == "cols_sliced":  # columns 1..3 of a wider array
        big = np.full((a.shape[0], a.shape[1] + 2), 50, dtype=a.dtype)
        big[:, 1:-1] = a
        return big[:, 1:-1]
    if kind == "extra_column":  # only columns 0..2 are read
        return np.hstack([a, np.full((a.shape[0], 1), 50, dtype=a.dtype)])
    raise AssertionError(kind)


LAYOUTS = ["C", "F", "rows_strided", "cols_sliced", "extra_column"]
DTYPES = [np.float32, np.float64, np.int32, np.int64]


@pytest.mark.parametrize("kind", LAYOUTS)
@pytest.mark.parametrize("dtype", DTYPES)
def test_vertices_read_in_index_order(dtype, kind):
    s = vorn_gpu.EmbreeSceneManager()
    s.add_mesh(layout(TETRA.astype(dtype), kind), NO_NORMALS, TETRA_I)
    s.add_instance(0)
    assert built_height(s) == 3.0
    assert s.total_triangles() == 4


@pytest.mark.parametrize("kind", LAYOUTS)
@pytest.mark.parametrize("dtype", DTYPES)
def test_indices_read_in_index_order(dtype, kind):
    # One bad index (9 of 4 vertices) in row 0; a transposed read moves it to row 1.
    bad = np.array([[0, 1, 9], [0, 2, 3]], dtype=dtype)
    s = vorn_gpu.EmbreeSceneManager()
    s.add_mesh(TETRA, NO_NORMALS, layout(bad, kind))
    s.add_instance(0)
    with pytest.raises(RuntimeError) as e:
        s.build()
    assert str(e.value) == "build: mesh 0 triangle 0 indexes a vertex outside [0, 4)"
    assert not s.is_built()


@pytest.mark.parametrize("which", ["vertices", "normals", "indices"])
@pytest.mark.parametrize("ndim", [1, 3])
def test_add_mesh_rejects_other_dimension_counts(which, ndim):
    args = {"vertices": TETRA, "normals": TETRA, "indices": TETRA_I}
    a = args[which]
    args[which] = a.ravel() if ndim == 1 else a[None]
    with pytest.raises(ValueError) as e:
        vorn_gpu.EmbreeSceneManager().add_mesh(args["vertices"], args["normals"], args["indices"])
    assert str(e.value) == DIM_ERROR.format(ndim, 2)


def test_add_mesh_flat_vertex_list_is_a_dimension_error():
    with pytest.raises(ValueError) as e:
        vorn_gpu.EmbreeSceneManager().add_mesh([0, 0, 0, 1, 0, 0, 0, 1, 0], NO_NORMALS, [[0, 1, 2]])
    assert str(e.value) == DIM_ERROR.format(1, 2)


def test_add_mesh_rejects_rows_shorter_than_three():
    with pytest.raises(RuntimeError, match="^vertices must have 3 columns, got 2$"):
        vorn_gpu.EmbreeSceneManager().add_mesh(TETRA[:, :2], NO_NORMALS, TETRA_I)


def test_normals_empty_or_one_per_vertex():
    s = vorn_gpu.EmbreeSceneManager()
    s.add_mesh(TETRA, NO_NORMALS, TETRA_I)  # shape (0, 3): no normals
    s.add_mesh(TETRA, np.tile([0.0, 0.0, 1.0], (4, 1)), TETRA_I, material_id=1)
    s.add_instance(0)
    s.add_instance(1)
    s.build()
    assert s.is_built()
    s.add_mesh(TETRA, np.zeros((2, 3)), TETRA_I)
    s.add_instance(2)
    with pytest.raises(RuntimeError) as e:
        s.build()
    assert str(e.value) == "build: mesh 2 has 2 normals for 4 vertices (expected none or one per vertex)"


def test_empty_mesh_adds_nothing_to_height():
    s = cube_scene()
    s.add_mesh(np.zeros((0, 3)), NO_NORMALS, np.zeros((0, 3), dtype=np.int32))
    s.add_instance(1, 0, 0, 100)
    s.add_instance(0, 0, 0, -5)
    assert built_height(s) == 0.0
    assert s.total_triangles() == 12


# ---- instances and transforms -------------------------------------------------

def test_add_instance_accepts_ints_and_builds_the_scaled_transform():
    s = cube_scene()
    assert s.add_instance(0, 1, 2, 3) == 0
    assert built_height(s) == 4.0
    assert s.add_instance(0, 1, 2, 3, 0.5) == 1
    s.update_instance_transform(0, xform(tz=-9))
    assert built_height(s) == 3.5  # 3 + 0.5 * 1


def test_add_instance_rejects_a_float_id():
    with pytest.raises(TypeError):
        cube_scene().add_instance(0.0)


def xform_layout(x, kind):
    if kind == "contiguous":
        return x
    if kind == "strided":
        big = np.full(2 * x.size, 50, dtype=x.dtype)
        big[::2] = x
        return big[::2]
    if kind == "reversed":
        return x[::-1].copy()[::-1]
    if kind == "list":
        return x.tolist()
    if kind == "longer":  # values after the twelfth are ignored
        return np.concatenate([x, np.full(4, 50, dtype=x.dtype)])
    raise AssertionError(kind)


@pytest.mark.parametrize("kind", ["contiguous", "strided", "reversed", "list", "longer"])
@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("method", ["add_instance_xform", "update_instance_transform"])
def test_xform_matrix(method, dtype, kind):
    # Rotation by 90 degrees about x (z' = y) with scale 2, lifted by 3: top at 5.
    x = np.array([2, 0, 0, 7, 0, 0, -2, 8, 0, 2, 0, 3], dtype=dtype)
    s = cube_scene()
    if method == "add_instance_xform":
        assert s.add_instance_xform(0, xform_layout(x, kind)) == 0
    else:
        s.add_instance(0, 0, 0, -20)
        s.update_instance_transform(0, xform_layout(x, kind))
    assert built_height(s) == 5.0


@pytest.mark.parametrize("method", ["add_instance_xform", "update_instance_transform"])
def test_xform_dimension_and_length_errors(method):
    s = cube_scene()
    s.add_instance(0)
    call = getattr(s, method)
    with pytest.raises(ValueError) as e:
        call(0, xform().reshape(3, 4))
    assert str(e.value) == DIM_ERROR.format(2, 1)
    for n in (0, 11):
        with pytest.raises(RuntimeError) as e:
            call(0, np.zeros(n, dtype=np.float32))
        assert str(e.value) == f"xform must hold at least 12 values, got {n}"
    assert s.num_instances() == 1


def test_update_instance_transform_id_errors():
    s = cube_scene()
    with pytest.raises(RuntimeError, match="^update_instance_transform: id out of range$"):
        s.update_instance_transform(0, xform())
    s.add_instance(0)
    s.add_instance(0)
    for bad in (-1, 2):
        with pytest.raises(RuntimeError) as e:
            s.update_instance_transform(bad, xform())
        assert str(e.value) == "update_instance_transform: id out of range"


def test_update_before_build_is_used_by_the_build():
    s = cube_scene()
    s.add_instance(0, 0, 0, -5)
    s.update_instance_transform(0, xform(tz=5))
    assert not s.is_built()
    assert built_height(s) == 6.0


# ---- lifecycle and counts -----------------------------------------------------

def test_fresh_scene():
    s = vorn_gpu.EmbreeSceneManager()
    assert (s.is_built(), s.has_gpu_meshes(), s.num_instances()) == (False, False, 0)
    assert (s.total_triangles(), s.max_height()) == (0, 0.0)
    s.build()  # an empty scene builds
    assert s.is_built() and s.max_height() == 0.0


def test_counts_and_height_follow_instances():
    s = cube_scene()
    assert s.has_gpu_meshes() and s.total_triangles() == 0
    s.add_mesh(TETRA, NO_NORMALS, TETRA_I)
    for mesh, z in ((0, -5), (0, 5), (1, -100)):
        s.add_instance(mesh, 0, 0, z)
    assert s.num_instances() == 3
    assert s.total_triangles() == 12 + 12 + 4
    assert s.max_height() == 0.0  # computed by build
    assert built_height(s) == 6.0


def test_build_reuse_gas_and_refit():
    s = cube_scene()
    s.add_instance(0, 0, 0, -5)
    with pytest.raises(RuntimeError) as e:
        s.build_reuse_gas()
    assert str(e.value) == "build_reuse_gas: scene not built. Call build() first."
    with pytest.raises(RuntimeError) as e:
        s.refit_ias()
    assert str(e.value) == "refit_ias: scene not built. Call build() first."
    assert not s.is_built()
    assert built_height(s) == 0.0
    s.update_instance_transform(0, xform(tz=5))
    s.refit_ias()
    assert s.max_height() == 0.0  # refit moves geometry, build_reuse_gas measures it
    s.clear_for_reuse()
    assert s.is_built()
    s.add_material(13, 0, [0.5, 0.4])
    s.build_reuse_gas()
    assert s.is_built() and s.max_height() == 6.0


@pytest.mark.parametrize("mesh_id, message", [
    (2, "build: instance 1 refers to mesh 2 but the scene has 1 meshes"),
    (-1, "build: instance 1 refers to mesh -1 but the scene has 1 meshes"),
])
def test_build_rejects_unknown_mesh(mesh_id, message):
    s = cube_scene()
    s.add_instance(0, 0, 0, 1)
    s.add_instance(mesh_id)
    with pytest.raises(RuntimeError) as e:
        s.build()
    assert str(e.value) == message
    assert not s.is_built() and s.max_height() == 0.0


# ---- materials and bands ------------------------------------------------------

def test_add_material_keeps_only_eight_params():
    s = vorn_gpu.EmbreeSceneManager()
    # Items after the eighth are never converted, so non-numbers there pass.
    assert s.add_material(0, 5, [1, 2, 3, 4, 5, 6, 7, 8, 9, 10]) == 0
    assert s.add_material(0, 5, [1, 2, 3, 4, 5, 6, 7, 8, "nine", None]) == 1
    with pytest.raises(RuntimeError) as e:
        s.add_material(0, 5, [1, 2, 3, 4, 5, 6, 7, "eight"])
    assert str(e.value) == "scalar_params item 7 is not a number: 'eight'"
    # The failing call had already added its material.
    assert s.add_material(13, 0) == 3


@pytest.mark.parametrize("params", [(0.5, 0.4), np.array([0.5, 0.4])])
def test_add_material_wants_a_list(params):
    with pytest.raises(TypeError):
        vorn_gpu.EmbreeSceneManager().add_material(13, 0, params)


@pytest.mark.parametrize("item", ["0.5", b"1", object()])
def test_add_material_non_number_item(item):
    with pytest.raises(RuntimeError, match=r"^scalar_params item 1 is not a number: "):
        vorn_gpu.EmbreeSceneManager().add_material(13, 0, [0.5, item])


def test_add_material_accepts_any_number_type():
    s = vorn_gpu.EmbreeSceneManager()
    assert s.add_material(13, 0, [1, 0.5, np.float32(0.25), np.int64(3), True]) == 0


def test_set_num_bands_is_positional():
    s = vorn_gpu.EmbreeSceneManager()
    s.set_num_bands(4)
    with pytest.raises(TypeError):
        s.set_num_bands(n=4)
    with pytest.raises(TypeError):
        s.set_num_bands(4.0)
