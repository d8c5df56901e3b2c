"""Argument conversion shared by every binding, and what the scene bindings add:
arrays of any dtype and memory layout read in index order, dimension and length
errors, scalars and lists, mesh ids, optional normals, the scaled instance and
the counts.

Python cannot trace rays, so reading order shows in what the scene derives from
its input: max_height (highest transformed vertex) and the triangle that a
build-time index error names.
"""
import numpy as np
import pytest

import vorn_gpu

DIM_ERROR = "array has incorrect number of dimensions: {}; expected {}"
NO_NORMALS = np.zeros((0, 3), dtype=np.float32)
DTYPES = [np.float32, np.float64, np.float16, np.int32, np.int64]
# Largest z is 3 and every x, y exceeds 3; layout() fills its decoy cells with 50,
# so a value read out of place changes the height.
TETRA = np.array([[10, 20, 0], [11, 20, 1], [10, 21, 3], [11, 21, 2]], dtype=np.float64)
TETRA_I = np.array([[0, 1, 2], [0, 2, 3], [0, 3, 1], [1, 3, 2]])


def layout(a, kind):
    """The same logical array in another memory layout: every other row of a
    larger array, its middle columns, Fortran order, reversed strides, a list."""
    if kind in ("strided", "cols_sliced"):
        big = np.full((2 * a.shape[0],) + a.shape[1:] if kind == "strided" else (a.shape[0], a.shape[1] + 2),
                      50, dtype=a.dtype)
        view = big[::2] if kind == "strided" else big[:, 1:-1]
        view[...] = a
        return view
    return {"F": np.asfortranarray(a), "reversed": a[::-1].copy()[::-1], "list": a.tolist()}.get(kind, a)


def plane_scene():
    """One instance of the square |x|, |y| <= 1 in the plane z = -20."""
    s = vorn_gpu.EmbreeSceneManager()
    s.add_instance(s.add_mesh(**vorn_gpu.make_ground_plane(1, 1)), 0, 0, -20)
    return s


@pytest.mark.parametrize("kind", ["C", "F", "strided", "cols_sliced", "list"])
@pytest.mark.parametrize("dtype", DTYPES)
def test_mesh_arrays_read_in_index_order(dtype, kind):
    s = vorn_gpu.EmbreeSceneManager()
    s.add_mesh(layout(TETRA.astype(dtype), kind), NO_NORMALS, TETRA_I)
    s.add_instance(0)
    s.build()
    assert s.max_height() == 3.0
    # One bad index (9 of 4 vertices) in row 0; a transposed read moves it to row 1.
    s.add_mesh(TETRA, NO_NORMALS, layout(np.array([[0, 1, 9], [0, 2, 3]], dtype=dtype), kind))
    s.add_instance(1)
    with pytest.raises(RuntimeError) as e:
        s.build()
    assert str(e.value) == "build: mesh 1 triangle 0 indexes a vertex outside [0, 4)"


@pytest.mark.parametrize("kind", ["C", "strided", "reversed", "list"])
@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("method", ["add_instance_xform", "update_instance_transform"])
def test_xform_read_in_index_order(method, dtype, kind):
    # Rotation by 90 degrees about x (z' = 2y) with scale 2, lifted by 3: top at 5.
    x = np.array([2, 0, 0, 7, 0, 0, -2, 8, 0, 2, 0, 3, 50, 50], dtype=dtype)  # past 12: ignored
    s = plane_scene()
    getattr(s, method)(0, layout(x, kind))
    s.build()
    assert s.max_height() == 5.0


CALLS = {
    "vertices": lambda s, a: s.add_mesh(a, NO_NORMALS, TETRA_I),
    "indices": lambda s, a: s.add_mesh(TETRA, NO_NORMALS, a),
    "add_instance_xform": lambda s, a: s.add_instance_xform(0, a),
    "set_emitter": lambda s, a: s.set_emitter(0, a, 0),
}


@pytest.mark.parametrize("call, arg, error, message", [
    ("vertices", TETRA.ravel(), ValueError, DIM_ERROR.format(1, 2)),
    ("vertices", TETRA[None], ValueError, DIM_ERROR.format(3, 2)),
    ("indices", TETRA_I[None], ValueError, DIM_ERROR.format(3, 2)),
    ("add_instance_xform", np.zeros((3, 4)), ValueError, DIM_ERROR.format(2, 1)),
    ("add_instance_xform", np.zeros(11), RuntimeError, "add_instance_xform: xform must hold at least 12 values, got 11"),
    ("set_emitter", np.zeros(2), RuntimeError, "set_emitter: direction must hold at least 3 values, got 2")])
def test_wrong_dimension_count_or_short_array(call, arg, error, message):
    s = plane_scene()
    with pytest.raises(error) as e:
        CALLS[call](s, arg)
    assert str(e.value) == message
    assert s.num_instances() == 1


def test_scalar_and_list_conversions():
    as_float = type("AsFloat", (), {"__float__": lambda self: 2.5})()
    as_index = type("AsIndex", (), {"__index__": lambda self: 0})()
    s = plane_scene()
    s.add_instance(0, 0, 1, 2, 3)                 # ints for float parameters
    s.add_instance(0, z=as_float)                 # any object convertible to float
    s.add_instance(as_index, z=np.float64(1.0))   # __index__ for an int parameter
    assert s.num_instances() == 4
    for bad in (0.0, 2**31):                      # a float is not an int, nor is 2**31 an int32
        with pytest.raises(TypeError):
            s.add_instance(bad)
    with pytest.raises(TypeError):
        s.set_num_bands(n=4)                      # positional only
    s.set_thermal_mode(None, [])                  # None is False for a bool
    s.set_thermal_mode(np.bool_(True), [500])
    for call in (lambda p: s.add_material(13, 0, p), lambda p: s.set_thermal_mode(True, p)):
        for not_a_list in ((0.5, 0.4), np.array([0.5, 0.4])):
            with pytest.raises(TypeError):
                call(not_a_list)
    assert s.add_material(13, 0, [1, 0.5, np.float32(0.25), np.int64(3), True]) == 0
    # Items after the eighth are never converted, so non-numbers there pass.
    assert s.add_material(0, 5, [1, 2, 3, 4, 5, 6, 7, 8, "nine", None]) == 1
    for item in ("0.5", b"1", object()):
        with pytest.raises(RuntimeError, match=r"^add_material: scalar_params item 1 is not a number: "):
            s.add_material(13, 0, [0.5, item])
    with pytest.raises(RuntimeError) as e:
        s.add_material(0, 5, [1, 2, 3, 4, 5, 6, 7, "eight"])
    assert str(e.value) == "add_material: scalar_params item 7 is not a number: 'eight'"
    with pytest.raises(RuntimeError, match="^set_thermal_mode: wavelengths item 0 is not a number"):
        s.set_thermal_mode(True, ["500"])
    assert s.add_material(13, 0) == 6  # every failing call had already added its material


def test_meshes_instances_and_counts():
    s = vorn_gpu.EmbreeSceneManager()
    assert (s.is_built(), s.has_gpu_meshes(), s.num_instances()) == (False, False, 0)
    tube = vorn_gpu.make_cylinder(1.0, 2.0, 4)  # z in [0, 2], 8 triangles, one normal per vertex
    assert (s.add_mesh(**tube), s.add_mesh(tube["vertices"], np.zeros((0, 3)), tube["indices"], 1)) == (0, 1)
    assert s.has_gpu_meshes() and s.total_triangles() == 0  # meshes alone count nothing
    assert (s.add_instance(0, 1, 2, -9), s.add_instance(1, 1, 2, 3, 0.5)) == (0, 1)  # scaled, then moved
    s.build()
    assert (s.is_built(), s.max_height(), s.num_instances(), s.total_triangles()) == (True, 4.0, 2, 16)
