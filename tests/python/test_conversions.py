"""Argument conversion conventions shared by every binding."""
import numpy as np
import pytest

import vorn_gpu

DIM_MSG = r"^array has incorrect number of dimensions: {}; expected {}$"


def built_plane(xform):
    scene = vorn_gpu.EmbreeSceneManager()
    g = vorn_gpu.make_ground_plane(1, 1)
    scene.add_material(0, 0)
    scene.add_instance_xform(scene.add_mesh(**g), xform)
    scene.build()
    return scene


IDENTITY_UP5 = [1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 5]


@pytest.mark.parametrize("dtype", [np.float32, np.float64, np.int64, np.int32, np.float16])
@pytest.mark.parametrize("layout", ["c", "strided", "list"])
def test_float_arrays_any_dtype_and_layout_read_in_index_order(dtype, layout):
    base = np.array(IDENTITY_UP5, dtype=dtype)
    if layout == "strided":
        wide = np.zeros(24, dtype=dtype)
        wide[::2] = base
        arg = wide[::2]
        assert not arg.flags.c_contiguous
    elif layout == "list":
        arg = base.tolist()
    else:
        arg = base
    assert built_plane(arg).max_height() == 5.0


@pytest.mark.parametrize("shape", [(3, 4), (1, 12), (12, 1, 1)])
def test_wrong_dimension_count_raises_value_error_with_exact_text(shape):
    arr = np.array(IDENTITY_UP5, dtype=np.float32).reshape(shape)
    scene = vorn_gpu.EmbreeSceneManager()
    m = scene.add_mesh(**vorn_gpu.make_ground_plane(1, 1))
    with pytest.raises(ValueError, match=DIM_MSG.format(len(shape), 1)):
        scene.add_instance_xform(m, arr)


def test_mesh_arrays_must_be_two_dimensional_with_three_columns():
    scene = vorn_gpu.EmbreeSceneManager()
    g = vorn_gpu.make_ground_plane(1, 1)
    with pytest.raises(ValueError, match=DIM_MSG.format(1, 2)):
        scene.add_mesh(g["vertices"].ravel(), g["normals"], g["indices"])
    with pytest.raises(RuntimeError, match="vertices must have 3 columns, got 2"):
        scene.add_mesh(g["vertices"][:, :2], g["normals"], g["indices"])
    # Fortran-ordered and float64 rows are read by index, not by memory order.
    v = np.asfortranarray(g["vertices"].astype(np.float64) + [0, 0, 2])
    scene.add_instance(scene.add_mesh(v, np.zeros((0, 3)), np.asfortranarray(g["indices"])))
    scene.add_material(0, 0)
    scene.build()
    assert scene.max_height() == 2.0


def test_short_arrays_are_rejected_not_read_past_their_end():
    scene = vorn_gpu.EmbreeSceneManager()
    m = scene.add_mesh(**vorn_gpu.make_ground_plane(1, 1))
    with pytest.raises(RuntimeError, match="xform must hold at least 12 values, got 11"):
        scene.add_instance_xform(m, np.zeros(11))
    with pytest.raises(RuntimeError, match="direction must hold at least 3 values, got 2"):
        scene.set_emitter(0, np.zeros(2), 0)


class AsFloat:
    def __float__(self):
        return 2.5


class AsIndex:
    def __index__(self):
        return 3


def test_scalar_conversions():
    scene = vorn_gpu.EmbreeSceneManager()
    m = scene.add_mesh(**vorn_gpu.make_ground_plane(1, 1))
    scene.add_instance(m, 0, 1, 2, 3)            # ints for float parameters
    scene.add_instance(m, z=AsFloat())           # any object convertible to float
    scene.add_instance(AsIndex(), z=np.float64(1.0))  # __index__ for an int parameter
    assert scene.num_instances() == 3
    with pytest.raises(TypeError):
        scene.add_instance(1.0)                  # a float is not an int
    with pytest.raises(TypeError):
        scene.add_instance(2**31)                # outside the 32-bit range
    scene.set_thermal_mode(None, [])             # None is False for a bool
    scene.set_thermal_mode(np.bool_(True), [500])


def test_positional_only_parameters_and_keywords():
    scene = vorn_gpu.EmbreeSceneManager()
    scene.set_num_bands(4)
    with pytest.raises(TypeError):
        scene.set_num_bands(n=4)
    with pytest.raises(TypeError):
        scene.add_instance(mesh=0)               # a keyword that names no parameter


def test_list_parameters_must_be_lists_of_numbers():
    scene = vorn_gpu.EmbreeSceneManager()
    with pytest.raises(TypeError):
        scene.add_material(0, 5, (0.1, 0.2))
    with pytest.raises(RuntimeError, match="scalar_params item 1 is not a number"):
        scene.add_material(0, 5, [0.1, "x"])
    with pytest.raises(RuntimeError, match="wavelengths item 0 is not a number"):
        scene.set_thermal_mode(True, ["500"])
    with pytest.raises(TypeError):
        scene.set_thermal_mode(True, (500.0,))
    assert scene.add_material(13, 5, list(range(10))) == 1  # the failed call kept its material

