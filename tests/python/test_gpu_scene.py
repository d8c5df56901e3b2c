"""SceneManager from Python on the host emulation of the GPU platform: the
scene's own checks with their messages, the shared methods behaving exactly
as on EmbreeSceneManager, the per-primitive buffers and the context's
lifetime. The records and the device side are tested in C++
(gpu/tests/test_gpu_scene.cpp). Run through ctest (gpu_emulation_pytest)."""
import gc
import os
import re

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
        (built3, lambda s: s.set_primitive_emissivities(np.ones(7)),
         "set_primitive_emissivities: array length 7 does not match n_primitives() = 6"),
        (lambda c: squares(c, 50), lambda s: s.set_primitive_sif_spectra(np.ones(299), 3),
         "set_primitive_sif_spectra: array length 299 != n_sif_bands * n_primitives = "
         "3 * 100 = 300"),
        (built3, lambda s: s.set_primitive_sif_spectra(np.ones(0), -1),
         "set_primitive_sif_spectra: n_sif_bands must not be negative, got -1"),
        (built3, lambda s: s.set_primitive_temperatures(np.ones((2, 3))),
         "temperatures must be 1D"),
        (built3, lambda s: s.set_primitive_emissivities(np.ones((6, 1))),
         "emissivities must be 1D"),
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


SHARED_CALLS = [  # the same arguments into both scene classes, outcomes compared
    lambda s: s.add_instance_xform(0, np.ones((3, 4))),
    lambda s: s.add_mesh(np.zeros(9), SQUARE["normals"], SQUARE["indices"]),
    lambda s: s.add_mesh(SQUARE["vertices"][:, :2], SQUARE["normals"], SQUARE["indices"]),
    lambda s: s.add_material(0, 0, (1.0, 2.0)),
    lambda s: s.add_material(0, 0, [1.0, "x"]),
    lambda s: s.set_num_bands(n=4),
    lambda s: s.update_emitter_direction([0.0, 1.0]),
    lambda s: s.set_thermal_mode(True, [500, None]),
    lambda s: s.add_instance(0, 1, 2, 3),
    lambda s: s.add_instance_xform(7, np.arange(12.0)),  # mesh 7 does not exist: fails at build
    lambda s: (s.add_instance(-1), s.build()),
]


def outcome(call, scene):
    try:
        return "ok", call(scene)
    except Exception as e:  # noqa: BLE001 - the outcome itself is compared
        text = re.sub(r" object at 0x[0-9a-f]+", "", str(e))
        return type(e).__name__, text.replace("EmbreeSceneManager", "SceneManager")


@pytest.mark.parametrize("call", SHARED_CALLS)
def test_shared_methods_behave_as_on_the_cpu_scene(ctx, call):
    cpu, gpu = vorn_gpu.EmbreeSceneManager(), vorn_gpu.SceneManager(ctx)
    for s in (cpu, gpu):
        s.add_mesh(**SQUARE)
    got_cpu, got_gpu = outcome(call, cpu), outcome(call, gpu)
    assert got_cpu == got_gpu
    assert got_cpu[0] in ("ok", "ValueError", "TypeError", "RuntimeError")


def test_primitives_instances_and_refit(ctx):
    s = vorn_gpu.SceneManager(ctx)
    s.add_mesh(**SQUARE, material_id=2)
    s.add_mesh(**vorn_gpu.make_cylinder(1.0, 2.0, 4), material_id=5)  # 8 triangles, z in [0, 2]
    assert (s.n_primitives(), s.has_gpu_meshes(), s.num_instances()) == (0, False, 0)
    s.build()  # no instances: one identity instance per mesh, which stay
    assert (s.num_instances(), s.n_primitives(), s.total_triangles()) == (2, 10, 10)
    assert s.has_gpu_meshes()
    assert s.get_primitive_mat_ids().tolist() == [2, 2] + [5] * 8
    assert s.get_primitive_mat_ids().dtype == np.int32 and s.max_height() == 2.0
    np.testing.assert_allclose(s.get_primitive_areas()[:2], [0.5, 0.5])
    # Scale 3, moved up 4: areas grow by 9 once refitted; max_height stays the build's.
    s.update_instance_transform(0, np.array([3, 0, 0, 0, 0, 3, 0, 0, 0, 0, 3, 4.0]))
    np.testing.assert_allclose(s.get_primitive_areas()[:2], [0.5, 0.5])
    s.refit_ias()
    areas = s.get_primitive_areas()
    np.testing.assert_allclose(areas[:2], [4.5, 4.5])
    assert s.max_height() == 2.0 and s.is_built()
    s.build()
    assert s.max_height() == 4.0 and s.num_instances() == 2


def test_overrides_follow_the_primitive_numbering(ctx):
    s = squares(ctx, 2)
    temps = np.array([[290.0, 300.0], [310.0, 320.0]])[:, ::-1].ravel()  # read in index order
    s.set_primitive_temperatures(temps)
    s.set_primitive_emissivities([0.9, 0.95, 0.97, 0.99])
    s.set_primitive_sif_spectra(np.ones((2, 4), np.float64), 2)
    assert s.get_primitive_temperatures().tolist() == [300.0, 290.0, 320.0, 310.0]
    s.build()  # the same numbering: the overrides stay
    assert s.get_primitive_temperatures().tolist() == [300.0, 290.0, 320.0, 310.0]
    s.clear_for_reuse()
    s.build_reuse_gas()
    assert len(s.get_primitive_temperatures()) == 4
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
