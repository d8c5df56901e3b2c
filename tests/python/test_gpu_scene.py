"""SceneManager from Python on the host emulation of the GPU platform: the
scene's own checks with their messages, the per-primitive buffers and the
context's lifetime. The records and the device side are tested in C++
(gpu/tests/test_gpu_scene.cpp). Run through ctest (gpu_emulation_pytest)."""
import gc
import os

import numpy as np
import pytest

import vorn_gpu

pytestmark = pytest.mark.skipif("VORN_OPTIX_EMU_PROGRAMS" not in os.environ,
                                reason="needs the emulated GPU platform (run through ctest)")

SQUARE = dict(vertices=np.array([[0, 0, 0], [1, 0, 0], [1, 1, 0], [0, 1, 0]], np.float32),
              normals=np.zeros((0, 3), np.float32),
              indices=np.array([[0, 1, 2], [0, 2, 3]], np.int32))  # two triangles of area 0.5
IDENTITY = np.array([1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0], np.float32)


@pytest.fixture(scope="module")
def ctx():
    return vorn_gpu.OptiXContext()


def squares(ctx, count, built=True):
    s = vorn_gpu.SceneManager(ctx)
    s.add_mesh(**SQUARE, material_id=2)
    for k in range(count):
        s.add_instance(0, 2.0 * k, 0, 0, 1.0)
    if built:
        s.build()
    return s


def messages():
    """(scene factory, call, message) for every check of the scene itself."""
    fresh, built3 = (lambda c: vorn_gpu.SceneManager(c)), (lambda c: squares(c, 3))

    def added(c):  # built, then one more instance
        s = squares(c, 3)
        s.add_instance(0)
        return s

    def uploaded(c):
        s = vorn_gpu.SceneManager(c)
        s.upload_spectral_params([1, 2, 3, 4])
        return s

    refit = "refit_ias: scene not built or update buffer not allocated. Call build() first."
    return [
        (fresh, lambda s: s.build(), "Scene is empty, nothing to build"),
        (fresh, lambda s: s.build_reuse_gas(), "No GPU meshes to reuse. Call build() first."),
        (fresh, lambda s: s.refit_ias(), refit),
        (added, lambda s: s.refit_ias(), refit),
        (fresh, lambda s: s.set_num_bands(129),
         "num_bands=129 exceeds GPU limit of 128. Use spectral batching to simulate more bands."),
        (fresh, lambda s: s.update_spectral_params(0, [1.0]), "Spectral params not uploaded yet"),
        (uploaded, lambda s: s.update_spectral_params(3, [5, 6]),
         "update_spectral_params: range [3, 5) lies outside the spectral array of 4 values"),
        (built3, lambda s: s.update_instance_transform(5, IDENTITY),
         "update_instance_transform: id 5 out of range [0, 3)"),
        (built3, lambda s: s.update_instance_transform(-1, IDENTITY),
         "update_instance_transform: id -1 out of range [0, 3)"),
        (built3, lambda s: s.set_primitive_temperatures(np.ones(5)),
         "set_primitive_temperatures: array length 5 does not match n_primitives() = 6"),
        (lambda c: squares(c, 50), lambda s: s.set_primitive_sif_spectra(np.ones(299), 3),
         "set_primitive_sif_spectra: array length 299 != n_sif_bands * n_primitives = "
         "3 * 100 = 300"),
        (built3, lambda s: s.set_primitive_sif_spectra(np.ones(0), -1),
         "set_primitive_sif_spectra: n_sif_bands must not be negative, got -1"),
        (built3, lambda s: s.set_primitive_temperatures(np.ones((2, 3))),
         "temperatures must be 1D"),
        (lambda c: (s := squares(c, 1, False), s.add_instance(7))[0], lambda s: s.build(),
         "build: instance 1 refers to mesh 7 but the scene has 1 meshes"),  # as on the CPU
        (added, lambda s: s.build_reuse_gas(),
         "build_reuse_gas: meshes or instances were added since the last build. "
         "Call build() first."),
    ]


@pytest.mark.parametrize("make, call, message", messages())
def test_scene_checks_raise_their_messages_and_change_nothing(ctx, make, call, message):
    s = make(ctx)
    state = lambda: (s.is_built(), s.n_primitives(), s.num_instances(),  # noqa: E731
                     s.get_primitive_temperatures().tolist())
    before = state()
    with pytest.raises(RuntimeError) as err:
        call(s)
    assert str(err.value) == message
    assert state() == before


def test_primitive_buffers_follow_builds_and_refits(ctx):
    s = vorn_gpu.SceneManager(ctx)
    s.add_mesh(**SQUARE, material_id=2)
    s.add_mesh(**SQUARE, material_id=5)
    s.add_mesh(np.zeros((0, 3)), np.zeros((0, 3)), np.zeros((0, 3)))  # empty: an empty GAS
    assert (s.n_primitives(), s.has_gpu_meshes()) == (0, False)
    s.build()  # no instances: one identity instance per mesh
    assert (s.num_instances(), s.has_gpu_meshes(), s.max_height()) == (3, True, 0.0)
    ids = s.get_primitive_mat_ids()
    assert ids.dtype == np.int32 and ids.tolist() == [2, 2, 5, 5]
    temps = np.array([[290.0, 300.0], [310.0, 320.0]])[:, ::-1].ravel()  # read in index order
    s.set_primitive_temperatures(temps)
    s.set_primitive_emissivities([0.9, 0.95, 0.97, 0.99])
    s.set_primitive_sif_spectra(np.ones((2, 4), np.float64), 2)
    # Scaled by 3 and raised by 4: areas grow ninefold at the refit; the
    # measured max_height is the build's, as on the CPU scene.
    s.update_instance_transform(0, [3, 0, 0, 0, 0, 3, 0, 0, 0, 0, 3, 4])
    s.refit_ias()
    assert s.get_primitive_areas().tolist() == [4.5, 4.5, 0.5, 0.5] and s.max_height() == 0.0
    s.build()  # the same numbering: the overrides stay
    assert s.max_height() == 4.0
    s.clear_for_reuse()
    s.build_reuse_gas()
    assert s.get_primitive_temperatures().tolist() == [300.0, 290.0, 320.0, 310.0]
    s.add_instance(0, 9, 0, 0)
    s.build()  # six primitives now: overrides of four would be read past their end
    assert (s.n_primitives(), s.get_primitive_temperatures().size) == (6, 0)
    with pytest.raises(RuntimeError, match="array length 4 does not match n_primitives"):
        s.set_primitive_emissivities(np.ones(4))
    s.set_primitive_temperatures(np.full(6, 280.0))
    s.clear_primitive_temperatures()
    cleared = s.get_primitive_temperatures()
    assert cleared.dtype == np.float32 and cleared.size == 0


def test_scene_keeps_its_context_alive():
    ctx = vorn_gpu.OptiXContext()
    s = vorn_gpu.SceneManager(ctx)
    del ctx
    gc.collect()
    s.add_mesh(**SQUARE)
    s.build()  # through the context's device context and stream
    assert s.is_built() and s.n_primitives() == 2
