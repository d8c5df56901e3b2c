"""The GPU forward, LiDAR and energy-balance engines where the CPU engines have
nothing alike: their results against the CPU engines' on the same scenes (on
the emulation the same arithmetic, summed in another order), forward batches
and their progress, the scene's meshes as they are at each LiDAR call, and
the checks and recoveries of the GPU calls."""
import contextlib
import io
import os
import re
import shutil

import numpy as np
import pytest

import vorn_gpu
from conftest import CpuBackend
from scenes import add_surface, new_scene, quad, sun_at
from test_gpu_simulator import canopy, ptx_copy, plate as lit_plate


def close(got, want, emulated, rtol=1e-6):
    """The same values summed in another order; on a device, the same
    physics within Monte Carlo noise (another compiler's float arithmetic
    sends the photons along slightly other paths)."""
    assert got.shape == want.shape and np.any(want)
    if emulated:
        np.testing.assert_allclose(got, want, rtol=rtol, atol=rtol * np.abs(want).max())
    else:
        assert got.sum() == pytest.approx(want.sum(), rel=0.05)


@pytest.mark.parametrize("num_bands", [3, 2])
def test_forward_tallies_equal_the_cpu_tracers(gpu, num_bands):
    # A tile larger than the sensor footprint: both backends spread the
    # photons over the tile. Two bands of three: the request's count rules.
    kw = dict(nx=4, ny=3, layer_heights=[0, 0.5, 1.5, 3.5], num_photons=20000,
              num_bands=num_bands, per_leaf=True, brf_directions=[0, 0, 1, *sun_at(40, 200)],
              num_brf_dirs=2, prob_sun=0.6, max_depth=5, terrain_instance_id=0)
    runs = []
    for b in (CpuBackend(), gpu):
        s = canopy(b, "uniform_sky")
        s.set_repetitive(2, 10.0, 10.0)
        runs.append(b.forward(s, **kw))
    want, got = runs
    assert list(got) == list(want) == ["grid", "leaf", "brf", "albedo", "terrain"]
    for key in want:
        close(got[key], want[key], gpu.emulated)


def black_plate(backend):
    s = new_scene(backend, 1, [0.0, 1.0], [(0, 0)])
    add_surface(s, quad(0, 4, 0, 4), 0)
    s.set_emitter(0, sun_at(20.0), 1)
    s.set_repetitive(0, 4.0, 4.0)
    s.build()
    return s


def test_photons_run_in_batches_numbered_as_on_the_cpu(gpu, capfd):
    s, calls = black_plate(gpu), []
    r = gpu.forward(s, layer_heights=[0, 1], num_photons=5_000_000, max_depth=0,
                    progress=lambda *a: calls.append(a))
    assert [c[:2] for c in calls] == [(2097152, 5000000), (4194304, 5000000), (5000000, 5000000)]
    assert not r["grid"].any()  # max_depth 0: no photon is traced
    out, err = capfd.readouterr()
    assert re.search(r"^Forward: 5000000 photons \(3 batches\), 1x1x1 grid, 1 bands = \S+ ms$",
                     out, re.M), out
    assert "[fwd] scene=4x4 dx=4 dy=4 batch=2097152 total=5000000 photon_e=3.2e-06\n" in err
    with contextlib.redirect_stdout(io.StringIO()) as out:  # Python's streams get the lines
        gpu.forward(s, layer_heights=[0, 1], num_photons=1000)
    assert out.getvalue().startswith("Forward: 1000 photons (1 batches)")
    assert "batch=1024 total=1000 " in capfd.readouterr().err
    vorn_gpu.set_verbose(False)
    try:
        gpu.forward(s, layer_heights=[0, 1], num_photons=1000)
        assert capfd.readouterr() == ("", "")
    finally:
        vorn_gpu.set_verbose(True)
    # A second batch of 2,848 photons: the CPU tracer's photons 2,097,152 on.
    kw = dict(nx=8, ny=8, layer_heights=[0, 1], num_photons=2_100_000, max_depth=1)
    want = CpuBackend.forward(black_plate(CpuBackend()), **kw)["grid"]
    close(gpu.forward(s, **kw)["grid"], want, True, 1e-6 if gpu.emulated else 1e-3)


def test_lidar_equals_the_cpu_engine(gpu):
    rng = np.random.default_rng(3)
    n = 40
    origins = np.column_stack([rng.uniform(0, 8, (n, 2)), np.full(n, 12.0)]).astype(np.float32)
    dirs = np.column_stack([rng.normal(0, 0.1, (n, 2)), -np.ones(n)]).astype(np.float32)
    dirs[0] = [0, 0, 1]  # one pulse sees nothing
    kw = dict(beam_samples_per_dim=6, num_wavelengths=2, range_resolution=0.1,
              max_range=30.0, beam_half_angle_rad=0.01)
    for direct in (False, True):
        want, got = (b.lidar(canopy(b, "sun"), origins.ravel(), dirs.ravel(), n,
                             direct_mode=direct, **kw) for b in (CpuBackend(), gpu))
        assert got["num_bins"] == want["num_bins"] == 301
        assert got["num_returns"] == want["num_returns"] > n // 2
        if direct or not gpu.emulated:
            assert got["waveform"].shape == want["waveform"].shape
        else:
            close(got["waveform"], want["waveform"], True, 1e-5)
        if gpu.emulated:  # records in pulse order, as the CPU engine gives them
            np.testing.assert_allclose(got["points"], want["points"], rtol=1e-5, atol=1e-5)
        else:
            np.testing.assert_allclose(got["points"][:, 7], want["points"][:, 7])


def test_a_survey_beyond_one_launch_is_split_between_pulses(gpu):
    # 823,000 sub-rays per pulse: 5 pulses fill a launch, the sixth takes another.
    o = np.array([[0.5 * i, 0, 10.0 + i] for i in range(6)], np.float32).ravel()
    d = np.array([[0, 0.01 * i, -1.0] for i in range(6)], np.float32).ravel()
    kw = dict(beam_samples_per_dim=1024, beam_half_angle_rad=0.01, num_wavelengths=2)
    want, got = (b.lidar(lit_plate(b), o, d, 6, **kw) for b in (CpuBackend(), gpu))
    assert got["num_returns"] == want["num_returns"] == 6
    close(got["waveform"], want["waveform"], gpu.emulated, 1e-5)


def test_lidar_sees_the_meshes_of_each_call_and_survives_a_failed_extension(gpu, tmp_path):
    sim = vorn_gpu.Simulator(gpu.ctx, ptx_copy(tmp_path))  # no raygen_lidar.ptx
    s = lit_plate(gpu)
    one = dict(pulse_origins=[0, 0, 10], pulse_directions=[0, 0, -1], num_pulses=1,
               direct_mode=True)
    with pytest.raises(RuntimeError, match=f"^Cannot open PTX: {tmp_path}/raygen_lidar.ptx$"):
        sim.simulate_lidar(s, **one)
    assert sim.simulate(s, spp=1, max_depth=1).mean() == pytest.approx(0.5, rel=1e-6)
    shutil.copy(os.path.join(vorn_gpu.PTX_DIR, "raygen_lidar.ptx"), tmp_path)
    assert sim.simulate_lidar(s, **one)["points"][0, 6] == pytest.approx(10.0)
    # A second mesh, 4 m up: the table of the first call has no records for it.
    add_surface(s, quad(-1, 1, -1, 1, 4.0), 0)
    s.build()
    r = sim.simulate_lidar(s, **one)
    assert r["num_returns"] == 1 and r["points"][0, 6] == pytest.approx(6.0)
    assert sim.simulate(s, spp=1, max_depth=1).shape == (3, 5, 2)


@pytest.mark.parametrize("multiband", [False, True])
def test_energy_balance_equals_the_cpu_engine(gpu, multiband):
    runs = []
    for b in (CpuBackend(), gpu):
        s = canopy(b, "thermal")  # leaves, a ground of sunlit / shaded temperatures, an RPV box
        s.set_repetitive(2, 8.0, 8.0)
        n = s.total_triangles()
        albedos = np.random.default_rng(1).uniform(0, 0.5, 3 * n).astype(np.float32)
        kw = dict(n_samples=16, sun_dir_x=0.3, sun_dir_y=-0.2, sun_dir_z=0.8)
        if multiband:
            runs.append(b.energy_balance_multiband(s, 3, sun_irradiance=[500, 0, 300],
                                                   sky_diffuse_radiance=[20, 30, 0],
                                                   sw_albedos=albedos, **kw))
        else:
            runs.append(b.energy_balance(s, band_type=1, sun_irradiance=600.0,
                                         sky_diffuse_radiance=25.0, sky_lw_radiance=30.0,
                                         sw_albedos=albedos[n:2 * n],
                                         emissivities=np.full(n, 0.95, np.float32), **kw))
    for got, want in zip(runs[1], runs[0]):
        close(got, want, gpu.emulated)


def test_gpu_calls_check_what_the_cpu_calls_do_not(gpu):
    s = black_plate(gpu)
    fwd = dict(layer_heights=[0, 1], num_photons=10)
    cases = [
        (gpu.forward, dict(fwd, num_brf_dirs=2), r"brf_directions must hold at least 6 values, got 0"),
        (gpu.forward, dict(fwd, num_brf_dirs=2, brf_directions=[0, 0, 1]), r"at least 6 values, got 3"),
        (gpu.forward, dict(fwd, num_bands=129), r"num_bands must lie in \[1, 128\] on the GPU, got 129"),
        (gpu.forward, dict(fwd, layer_heights=[0.0]), r"^layer_heights needs at least 2 values$"),
        (gpu.lidar, dict(pulse_origins=[], pulse_directions=[], num_pulses=0), r"^No pulses to simulate\.$"),
        (gpu.lidar, dict(pulse_origins=[0, 0, 1], pulse_directions=[0, 0, -1], num_pulses=2),
         r"pulse_origins must hold at least 6 values, got 3"),
    ]
    for call, kw, message in cases:
        with pytest.raises(RuntimeError, match=message):
            call(s, **kw)
    other = black_plate(type(gpu)())  # a scene of another context
    unbuilt = new_scene(gpu, 1, [0.5], [(0, 0)])
    for call, kw in [(gpu.forward, fwd), (gpu.energy_balance, {}), (gpu.energy_balance_multiband, dict(n_bands=1)),
                     (gpu.lidar, dict(pulse_origins=[0, 0, 1], pulse_directions=[0, 0, -1], num_pulses=1))]:
        with pytest.raises(RuntimeError, match="another OptiXContext"):
            call(other, **kw)
        with pytest.raises(RuntimeError, match=r"^Scene not built\."):
            call(unbuilt, **kw)

    def change(*_):  # the scene's device buffers stay as the launches saw them
        s.set_primitive_temperatures([300.0, 300.0])
    with pytest.raises(RuntimeError, match="scene is in use by a running simulation"):
        gpu.forward(s, **fwd, progress=change)
