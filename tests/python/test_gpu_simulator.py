"""The GPU simulator where the CPU engines have nothing alike: device-program
files, the timing line and progress of the sample launches, the checks of a
simulate call, and the backward image against the CPU renderer's for every
feature group (on the emulation, bit for bit)."""
import gc
import math
import os
import re
import shutil

import numpy as np
import pytest

import vorn_gpu
from conftest import CpuBackend
from scenes import add_surface, new_scene, ortho_down, quad, random_leaves, sun_at

STEMS = ["raygen_backward", "closesthit", "miss", "raygen_forward"]


def plate(gpu, nb=2, width=5, height=3):
    """A Lambertian plate lit from the zenith, seen from above: radiance
    rho E / pi in every pixel."""
    scene = new_scene(gpu, nb, [0.5] * nb + [math.pi] * nb, [(0, 0)])
    add_surface(scene, quad(-10, 10, -10, 10), 0)
    scene.set_emitter(0, sun_at(0.0), nb)
    scene.set_sensor(0, width, height, 2.0, 2.0, ortho_down(0, 0, 1))
    scene.build()
    return scene


def ptx_copy(tmp_path, leave_out=(), broken=()):
    for stem in STEMS:
        if stem in broken:
            (tmp_path / f"{stem}.ptx").write_text(".version 9.0\nthis is no PTX\n")
        elif stem not in leave_out:
            shutil.copy(os.path.join(vorn_gpu.PTX_DIR, f"{stem}.ptx"), tmp_path)
    return str(tmp_path)


def test_missing_ptx_fails_until_the_file_exists_and_broken_ptx_prints_its_log(gpu, tmp_path,
                                                                                capfd):
    sim = vorn_gpu.Simulator(gpu.ctx, ptx_copy(tmp_path, leave_out=["miss"]))
    scene = plate(gpu)
    for call in (sim.init, lambda: sim.simulate(scene, spp=1)):
        with pytest.raises(RuntimeError) as err:
            call()
        assert str(err.value) == f"Cannot open PTX: {tmp_path}/miss.ptx"
    ptx_copy(tmp_path)
    np.testing.assert_allclose(sim.simulate(scene, spp=1, max_depth=1), 0.5, rtol=1e-6)

    broken = tmp_path / "broken"
    broken.mkdir()
    capfd.readouterr()
    with pytest.raises(RuntimeError, match="^Module create failed: closesthit$"):
        vorn_gpu.Simulator(gpu.ctx, ptx_copy(broken, broken=["closesthit"])).init()
    err = capfd.readouterr().err
    assert re.fullmatch(r"\[Module closesthit\] \S.*\n", err, re.S), err


def test_samples_report_progress_and_time_and_spp_zero_returns_zeros(gpu, capfd):
    scene, calls = plate(gpu), []
    capfd.readouterr()
    img = gpu.sim.simulate(scene, spp=0, progress=lambda *a: calls.append(a))
    assert img.shape == (3, 5, 2) and img.dtype == np.float32 and not img.any() and not calls
    line = r"Simulate: 5x3 x 2 bands x {} spp = (\S+) ms \((\S+) ms/spp\)\n"
    total, per = re.fullmatch(line.format(0), capfd.readouterr().err).groups()
    assert float(total) >= 0 and math.isinf(float(per)) or math.isnan(float(per))
    img = gpu.sim.simulate(scene, spp=4, max_depth=1, progress=lambda *a: calls.append(a))
    np.testing.assert_allclose(img, 0.5, rtol=1e-6)
    assert [c[:2] for c in calls] == [(i, 4) for i in range(1, 5)]
    assert all(type(c[2]) is float for c in calls)
    assert [c[2] for c in calls] == sorted(c[2] for c in calls)
    total, per = map(float, re.fullmatch(line.format(4), capfd.readouterr().err).groups())
    assert total >= calls[-1][2] and per == pytest.approx(total / 4, rel=1e-4)

    def stop(done, total, ms):  # the scene's device buffers stay as the launches saw them
        for change in (lambda: scene.set_primitive_sif_spectra([], 0), scene.build):
            with pytest.raises(RuntimeError, match="scene is in use by a running simulation"):
                change()
        raise ZeroDivisionError(done)
    with pytest.raises(ZeroDivisionError, match="^1$"):  # after the first launch
        gpu.sim.simulate(scene, spp=4, progress=stop)


def test_simulate_rejects_what_the_device_cannot_render(gpu):
    huge = plate(gpu)
    huge.set_sensor(0, 40000, 30000, 1.0, 1.0, ortho_down(0, 0, 1))  # 2.4e9 values
    with pytest.raises(RuntimeError, match="40000 x 30000 pixels x 2 bands .* too large"):
        gpu.sim.simulate(huge, spp=1)
    bad = plate(gpu)
    bad.set_sky(7)  # past the end of the spectral array
    with pytest.raises(RuntimeError, match="^simulate: the uniform sky"):
        gpu.sim.simulate(bad, spp=1)


def test_a_material_the_device_lacks_ends_the_path(gpu):
    # Material 1 is added after the build: the host knows it, the device's
    # list (uploaded at the build) does not, so its hits end the path.
    scene = new_scene(gpu, 1, [0.5, math.pi], [(0, 0)])
    add_surface(scene, quad(-10, 0, -10, 10), 0)
    add_surface(scene, quad(0, 10, -10, 10), 1)
    scene.set_emitter(0, sun_at(0.0), 1)
    scene.set_sensor(0, 4, 2, 2.0, 1.0, ortho_down(0, 0, 1))
    scene.build()
    scene.add_material(0, 0)
    img = gpu.sim.simulate(scene, spp=2, max_depth=2)[..., 0]
    np.testing.assert_allclose(img[:, :2], 0.5, rtol=1e-6)
    assert not img[:, 2:].any()


def test_simulator_keeps_its_context_alive(gpu):
    sim = vorn_gpu.Simulator(vorn_gpu.OptiXContext(), vorn_gpu.PTX_DIR)
    gc.collect()
    sim.init()  # compiles the modules on the context's device context


# ---- the GPU image against the CPU image ----------------------------------------

FEATURES = ["sun", "uniform_sky", "parametric_sky", "thermal", "fisheye", "periodic",
            "terrain", "sif", "sif_only", "thermal_prims"]


def canopy(backend, feature):
    """Leaves over a bumpy ground, a mirrored and non-uniformly scaled RPV box
    with vertex normals, lit and seen as the feature group needs."""
    nb, rng = 3, np.random.default_rng(7)
    ground, leaf, rpv = [0.2, 0.25, 0.3], [0.1, 0.4, 0.45, 0.12, 0.35, 0.4, 0.05, 0.3, 0.35], \
        [0.1, 0.12, 0.15, 0.8, 0.8, 0.8, -0.1, -0.1, -0.1, 0.2, 0.2, 0.2]
    sun, sky = [900.0, 1000.0, 1100.0], [20.0, 25.0, 30.0]
    hw = [v for b in range(nb) for v in [-1.0, -0.32, 10.0, -3.0, 0.45, 0, 0, 0, 0, 30.0 + b]]
    spectral = ground + leaf + rpv + sun + sky + hw
    temps = {"thermal": [0.0, 0.0, 0.0, 305.0, 295.0]}.get(feature, [])
    scene = new_scene(backend, nb, spectral, [(0, 0, temps), (13, 3, [0.4, 0.3, 300.0]),
                                              (1, 12)])
    x = np.linspace(0, 8, 9, dtype=np.float32)
    gx, gy = np.meshgrid(x, x)
    verts = np.stack([gx, gy, 0.3 * np.sin(gx) * np.cos(gy)], -1).reshape(-1, 3)
    tris = [[i * 9 + j, i * 9 + j + 1, i * 9 + j + 10] for i in range(8) for j in range(8)]
    tris += [[i * 9 + j, i * 9 + j + 10, i * 9 + j + 9] for i in range(8) for j in range(8)]
    add_surface(scene, (verts, np.array(tris, np.int32)), 0)
    add_surface(scene, random_leaves(150, 0.4, 8.0, 1.0, 3.0, rng), 1)
    box = np.array([[0, 0, 0], [1, 0, 0], [1, 1, 0], [0, 1, 0], [0.5, 0.5, 1]], np.float32)
    faces = np.array([[0, 2, 1], [0, 3, 2], [0, 1, 4], [1, 2, 4], [2, 3, 4], [3, 0, 4]], np.int32)
    m = scene.add_mesh(box, box - [0.5, 0.5, 0.2], faces, 2)
    scene.add_instance_xform(m, np.array([-1.2, 0, 0, 5, 0, 0.8, 0.3, 2, 0, 0, 1.5, 0.5],
                                         np.float32))
    scene.set_emitter(0, sun_at(35.0, 60.0), 24)
    if feature in ("uniform_sky", "thermal", "fisheye", "periodic", "terrain", "sif",
                   "thermal_prims"):
        scene.set_sky(27)
    if feature == "parametric_sky":
        scene.set_hw_sky(30, *sun_at(35.0, 60.0))
    if feature.startswith("thermal"):
        scene.set_thermal_mode(True, [8000.0, 10000.0, 12000.0])
    # Terrain following starts the rays above the canopy, not between the bumps.
    cam = ortho_down(4.0, 4.0, 0.35 if feature == "terrain" else 6.0)
    if feature == "fisheye":  # looking up from under the canopy
        cam = np.array([1, 0, 0, 4, 0, -1, 0, 4, 0, 0, -1, 0.5, 0, 0, 0, 1], np.float32)
        scene.set_sensor(4, 20, 16, 0, 0, cam, fov=170.0, projection_type=0)
    elif feature == "periodic":
        scene.set_repetitive(3, 8.0, 8.0)
        scene.set_sensor(1, 20, 16, 0, 0, np.array(
            [1, 0, 0, 4, 0, 0.5, -0.866, -6, 0, 0.866, 0.5, 5, 0, 0, 0, 1], np.float32), fov=50)
    else:
        scene.set_sensor(0, 20, 16, 8.0, 6.0, cam, terrain_following=feature == "terrain")
    scene.build()
    return scene


def primitive_data(feature, n):
    """The same per-primitive arrays for both backends (n primitives)."""
    rng = np.random.default_rng(11)
    if feature == "thermal_prims":
        return dict(primitive_temperatures=rng.uniform(280, 320, n).astype(np.float32),
                    primitive_emissivities=rng.uniform(0.9, 1.0, n).astype(np.float32))
    if feature.startswith("sif"):
        return dict(sif_spectra=rng.uniform(0, 2, 2 * n).astype(np.float32), n_sif_bands=2,
                    sif_only=feature == "sif_only")
    return {}


@pytest.mark.parametrize("feature", FEATURES)
def test_gpu_image_equals_the_cpu_image(gpu, feature):
    cpu = CpuBackend()
    cpu_scene = canopy(cpu, feature)
    prims = primitive_data(feature, cpu_scene.total_triangles())
    want = cpu.render_prims(cpu_scene, prims, spp=2, max_depth=5)
    scene = canopy(gpu, feature)
    got = gpu.render_prims(scene, prims, spp=2, max_depth=5)
    assert got.shape == want.shape == (16, 20, 3) and want.any()
    if gpu.emulated:  # the same float arithmetic as the CPU engine, in the same order
        np.testing.assert_array_equal(got, want)
    else:  # another compiler's float arithmetic: the same image within Monte Carlo noise
        assert abs(got.mean() / want.mean() - 1) < 0.05
    # A second call starts from a cleared film (fisheye pixels outside the
    # circle are never written).
    np.testing.assert_array_equal(gpu.render(scene, spp=2, max_depth=5), got)
