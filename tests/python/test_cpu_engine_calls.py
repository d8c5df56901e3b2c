"""The CPU simulation calls as Python sees them: signatures, result forms,
argument and scene checks, progress reports (callables and bars),
interruption, seeds, thread counts and VORN_MAX_DEPTH."""
import functools
import io
import math
import os
import re
import signal
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import vorn_gpu
from conftest import CpuBackend
from scenes import NO_NORMALS, add_surface, new_scene, ortho_down, quad, sun_at

HERE = os.path.dirname(os.path.abspath(__file__))
LIT = 0.4 * 2.0 * math.cos(math.radians(30.0)) / math.pi  # rho E cos(theta) / pi
DIM_MSG = r"^array has incorrect number of dimensions: {}; expected {}$"


def sunlit_plane(reps=0):
    """A Lambertian plane (rho 0.4) under the sun (E 2) at 30 degrees, a 4 x 3
    orthographic camera, the periodic tile [0, 2]^2 repeated `reps` times."""
    s = new_scene(CpuBackend(), 1, [0.4, 2.0], [(0, 0)])
    add_surface(s, quad(-1000, 1000, -1000, 1000), 0)
    s.set_emitter(0, sun_at(30.0), 1)
    s.set_sensor(0, 4, 3, 2.0, 2.0, ortho_down(0.0, 0.0, 3.0))
    s.set_repetitive(reps, 2.0, 2.0)
    s.build()
    return s


def run_python(code, env):
    """Runs code in a fresh interpreter that sees this directory, with `env`."""
    base = {k: v for k, v in os.environ.items() if k != "VORN_MAX_DEPTH"}
    path = os.pathsep.join([HERE, base.get("PYTHONPATH", "")])
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=120, env={**base, **env, "PYTHONPATH": path})


def speckled():
    """sunlit_plane without its tile, under 16 squares at staggered heights
    whose edges and shadows cut pixels, grid cells and one another: every
    engine's result has a random part. 34 triangles."""
    s = new_scene(CpuBackend(), 1, [0.4, 2.0], [(0, 0)])
    add_surface(s, quad(-1000, 1000, -1000, 1000), 0)
    for i in range(16):
        x, y = -0.8 + 0.4 * (i % 4), -0.8 + 0.4 * (i // 4)
        add_surface(s, quad(x, x + 0.25, y, y + 0.25, 0.5 + 0.1 * (i % 4 + i // 4)), 0)
    s.set_emitter(0, sun_at(30.0), 1)
    s.set_sensor(0, 4, 3, 2.0, 2.0, ortho_down(0.0, 0.0, 3.0))
    s.build()
    return s


LIDAR_DOWN = (np.tile(np.float32([0, 0, 10]), 2**18 + 1), np.tile(np.float32([0, 0, -1]), 2**18 + 1))
# engine: (run(scene, **keywords), units of work, progress reports); the work
# is cheap: dropped photons (sun at the horizon), one ray per direct-mode pulse.
ENGINES = {
    "simulate_cpu": (lambda s, **kw: vorn_gpu.simulate_cpu(s, 3, 1, **kw), 3, 3),
    "simulate_forward_cpu": (lambda s, n=2_000_001, **kw: vorn_gpu.simulate_forward_cpu(
        s, 4, 4, [0, 2], n, **kw)["grid"], 2_000_001, 3),
    "simulate_lidar_cpu": (lambda s, **kw: vorn_gpu.simulate_lidar_cpu(
        s, *LIDAR_DOWN, 2**18 + 1, direct_mode=True, **kw)["points"], 2**18 + 1, 2),
    "run_energy_balance_cpu": (lambda s, **kw: np.concatenate(vorn_gpu.run_energy_balance_cpu(
        s, n_samples=16, sun_irradiance=2.0, sun_dir_x=0.5, sun_dir_z=0.866,
        sw_albedos=np.full(34, 0.4), **kw)), 34, 1),
}


@pytest.mark.parametrize("spp", [0, 3])
def test_progress_reports_every_pass_and_batch_as_int_int_float(spp):
    calls = []
    img = vorn_gpu.simulate_cpu(sunlit_plane(), spp=spp, max_depth=1, progress=lambda *a: calls.append(a))
    assert [c[:2] for c in calls] == [(k, spp) for k in range(1, spp + 1)]
    assert [c[2] for c in calls] == sorted(c[2] for c in calls)
    assert img.shape == (3, 4, 1)
    np.testing.assert_allclose(img, 0.0 if spp == 0 else LIT, rtol=2e-6)  # spp 0: zeros
    s = sunlit_plane()
    s.update_emitter_direction(np.array([1.0, 0.0, 0.005]))  # every photon dropped: fast
    calls = []
    n = 1_000_000 * spp + 1
    r = vorn_gpu.simulate_forward_cpu(s, layer_heights=[0, 1], num_photons=n, progress=lambda *a: calls.append(a))
    assert [c[:2] for c in calls] == [(min(k * 1_000_000, n), n) for k in range(1, spp + 2)]
    assert all(type(c[0]) is int and type(c[1]) is int and type(c[2]) is float for c in calls)
    assert not r["grid"].any()
    calls, n = [], 2**18 * spp + 1  # LiDAR batches of 2^18 rays: one per direct-mode pulse
    o, d = (np.tile(np.float32(v), n) for v in ([0, 0, 10], [0, 0, -1]))
    r = vorn_gpu.simulate_lidar_cpu(lidar_plane(build=True), o, d, n, direct_mode=True,
                                    progress=lambda *a: calls.append(a))
    assert [c[:2] for c in calls] == [(min(k * 2**18, n), n) for k in range(1, spp + 2)]
    assert r["num_returns"] == n and np.all(r["points"][:, 7] == np.arange(n))


@pytest.mark.parametrize("engine", ENGINES)
def test_a_progress_bar_is_filled_with_the_units_of_work(engine):
    class Bar:  # what the engines use of a tqdm bar: total and update
        total = None

        def __init__(self):
            self.n, self.updates = 0, 0

        def update(self, k):
            self.n, self.updates = self.n + k, self.updates + 1
    run, units, reports = ENGINES[engine]
    s = speckled()
    s.update_emitter_direction(np.array([1.0, 0.0, 0.005]))  # forward: every photon dropped
    bar = Bar()
    run(s, progress=bar)
    assert (bar.n, bar.total, bar.updates) == (units, units, reports)
    tqdm = pytest.importorskip("tqdm").tqdm
    with tqdm(file=io.StringIO()) as bar:
        run(s, progress=bar)
        assert bar.n == bar.total == units


@pytest.mark.parametrize("engine", ["simulate_cpu", "simulate_forward_cpu", "run_energy_balance_cpu"])
def test_seeds_give_independent_replicates_and_thread_counts_change_nothing(engine):
    run = functools.partial(ENGINES[engine][0], **({"n": 40_000} if "forward" in engine else {}))
    s = speckled()
    base = run(s).astype(np.float64)
    for kw in (dict(seed=0), dict(num_threads=1), dict(num_threads=3, seed=0)):
        np.testing.assert_array_equal(run(s, **kw), base, str(kw))
    other = run(s, seed=1).astype(np.float64)
    assert not np.array_equal(other, base)
    # Two replicates of one estimate: their means differ by noise alone.
    assert abs(other.mean() - base.mean()) < 5 * (other - base).std() / math.sqrt(base.size)


@pytest.mark.parametrize("fail_on", [1, 3])
def test_raising_progress_ends_the_call_with_its_exception(fail_on):
    calls = []

    def progress(done, total, ms):
        calls.append(done)
        if done == fail_on:
            raise ZeroDivisionError("stop at %d" % done)

    with pytest.raises(ZeroDivisionError, match="stop at %d" % fail_on):
        vorn_gpu.simulate_cpu(sunlit_plane(), spp=5, max_depth=1, progress=progress)
    assert calls == list(range(1, fail_on + 1))
    with pytest.raises(TypeError):  # a non-callable fails at the first report
        vorn_gpu.simulate_cpu(sunlit_plane(), spp=2, max_depth=1, progress=5)


@pytest.mark.parametrize("engine", ["backward", "forward"])
def test_ctrl_c_between_passes_or_batches_raises_keyboard_interrupt(engine):
    # The first report arms a 10 ms timer whose signal acts like Ctrl-C; it
    # fires during a later unit of work and is noticed when that is done.
    calls = []

    def progress(done, total, ms):
        calls.append(done)
        if len(calls) == 1:
            signal.setitimer(signal.ITIMER_REAL, 0.01)

    old = signal.signal(signal.SIGALRM, signal.default_int_handler)
    try:
        with pytest.raises(KeyboardInterrupt):
            if engine == "backward":
                vorn_gpu.simulate_cpu(sunlit_plane(), spp=10**6, max_depth=1, progress=progress)
            else:
                vorn_gpu.simulate_forward_cpu(sunlit_plane(reps=2), layer_heights=[0, 1],
                                              num_photons=4_000_000, progress=progress)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
    # A batch of a million photons outlasts the timer; passes of 12 pixels do not.
    assert calls == [1_000_000] if engine == "forward" else calls[0] == 1


LONG_RUNS = {  # each would take minutes
    "backward": "vorn_gpu.simulate_cpu(sunlit_plane(), spp=10**8, max_depth=1)",
    "lidar": "vorn_gpu.simulate_lidar_cpu(lidar_plane(build=True), np.tile(np.float32([0, 0, 10]), "
             "n), np.tile(np.float32([0, 0, -1]), n), n, beam_samples_per_dim=30, min_range=9, "
             "max_range=11)",
}


@pytest.mark.parametrize("engine", LONG_RUNS)
def test_sigint_without_a_callable_interrupts_between_passes_or_batches(engine):
    # The interpreter lock is held for the whole run, so the signal comes
    # from another process.
    code = f"""
        import os, subprocess, numpy as np, vorn_gpu
        from test_cpu_engine_calls import sunlit_plane, lidar_plane
        n = 400_000
        killer = subprocess.Popen(["sh", "-c", "sleep 0.5; kill -INT %d" % os.getpid()])
        result = None
        try:
            result = {LONG_RUNS[engine]}
            print("finished")
        except KeyboardInterrupt:
            print("interrupted", result is None)
        killer.wait()
    """
    out = run_python(code, {})
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines()[-1] == "interrupted True"


@pytest.mark.parametrize("value,depth", [("5", 5), (" 3 ", 3), ("0", None), ("abc", None),
                                         ("-2", None), ("4x", None), (None, None)])
def test_vorn_max_depth_overrides_max_depth_when_positive(value, depth):
    # max_depth 0 renders black; an override above 0 lets the sun in.
    code = """
        import vorn_gpu
        from test_cpu_engine_calls import sunlit_plane
        print("RESULT", float(vorn_gpu.simulate_cpu(sunlit_plane(), spp=1, max_depth=0).max()))
    """
    out = run_python(code, {} if value is None else {"VORN_MAX_DEPTH": value})
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    if depth is None:
        assert lines == ["RESULT 0.0"]
    else:
        assert lines[0] == "[CPU bwd] VORN_MAX_DEPTH=%d" % depth
        assert float(lines[1].split()[1]) == pytest.approx(LIT, rel=2e-6)


@pytest.mark.parametrize("per_leaf,num_brf_dirs,terrain,num_bands", [
    (False, 0, -1, 1), (True, 0, -1, 3), (False, 2, 0, 3), (True, 2, 0, 1)])
def test_forward_result_keys_and_shapes_follow_the_enabled_tallies(per_leaf, num_brf_dirs, terrain,
                                                                   num_bands):
    s = new_scene(CpuBackend(), 1, np.full(6, 0.5), [(0, 0)])  # room for 3 bands from offsets 0 and 3
    add_surface(s, quad(0, 1, 0, 1), 0)
    add_surface(s, quad(0, 0.5, 0, 0.5, 0.5), 0)
    s.set_emitter(0, sun_at(10, 0), 3)
    s.set_repetitive(0, 1.0, 1.0)
    s.set_measurement_plane(1.0)
    s.build()
    r = vorn_gpu.simulate_forward_cpu(s, 4, 2, np.array([0.0, 0.25, 1.0]), 500, num_bands, per_leaf,
                                      np.array([0, 0, 1, 0.6, 0, 0.8], np.float32), num_brf_dirs,
                                      terrain_instance_id=terrain)
    want = {"grid": (2, 2, 4, num_bands), "leaf": (4, num_bands), "brf": (num_brf_dirs, num_bands),
            "albedo": (num_bands,), "terrain": (num_bands,)}  # leaf: two instances of two triangles
    on = {"grid": True, "leaf": per_leaf, "brf": num_brf_dirs, "albedo": num_brf_dirs, "terrain": terrain >= 0}
    assert list(r) == [k for k in want if on[k]]
    for key in r:
        assert r[key].shape == want[key] and r[key].dtype == np.float32 and r[key].flags.c_contiguous, key
    if per_leaf and terrain >= 0:
        assert not r["leaf"][:2].any(), "terrain triangles stay out of the per-leaf tally"
    with pytest.raises(TypeError):  # layer_heights has no default
        vorn_gpu.simulate_forward_cpu(s)


@pytest.mark.parametrize("kwargs,error,message", [
    (dict(num_bands=0), RuntimeError, "num_bands must be at least 1, got"),
    (dict(num_bands=3), RuntimeError, "spectral"),  # the sun would read past the array
    (dict(prob_sun=1.5), RuntimeError, r"prob_sun must lie in \[0, 1\]"),
    (dict(brf_directions=[0, 0, 1, 0, 0], num_brf_dirs=2), RuntimeError,
     "brf_directions must hold at least 6 values, got 5"),
    (dict(brf_directions=np.zeros((2, 3)), num_brf_dirs=2), ValueError, DIM_MSG.format(2, 1)),
    (dict(layer_heights=[[0.0, 1.0]]), ValueError, DIM_MSG.format(2, 1)),
    (dict(layer_heights=[0.0]), RuntimeError, "^layer_heights must have at least 2 entries$"),
])
def test_forward_bad_arguments_are_rejected(kwargs, error, message):
    with pytest.raises(error, match=message):
        vorn_gpu.simulate_forward_cpu(sunlit_plane(reps=1), **{"layer_heights": [0, 1], **kwargs})


def test_backward_checks_the_scene_before_rendering():
    with pytest.raises(RuntimeError, match="^simulate_cpu: scene not built"):
        vorn_gpu.simulate_cpu(vorn_gpu.EmbreeSceneManager(), spp=1)
    scene = sunlit_plane()
    scene.set_num_bands(2)  # the sun's irradiance would be read past the spectral array
    with pytest.raises(RuntimeError, match=r"^simulate_cpu: the emitter reads spectral values \[1, 3\)"):
        vorn_gpu.simulate_cpu(scene, spp=1)


def test_per_leaf_offsets_are_32_bit_and_a_larger_scene_is_refused():
    s = new_scene(CpuBackend(), 1, [0.5, 1.0], [(0, 0)])
    s.set_emitter(0, np.array([0.0, 0.0, 1.0]), 1)
    mesh = s.add_mesh(quad(0, 1, 0, 1)[0], NO_NORMALS, np.tile(np.int32([0, 1, 2]), (65536, 1)))
    for _ in range(32768):  # 2^31 triangles in all
        s.add_instance(mesh)
    s.set_repetitive(0, 1.0, 1.0)
    s.build()
    with pytest.raises(RuntimeError, match="more than 2\\^31 - 1 triangles"):
        vorn_gpu.simulate_forward_cpu(s, layer_heights=[0, 1], num_photons=1, per_leaf=True)


@pytest.mark.parametrize("kwargs,message", [  # the plane has 2 primitives
    (dict(primitive_temperatures=np.ones(3)),
     "primitive_temperatures: array length 3 does not match n_primitives() = 2"),
    (dict(primitive_emissivities=[0.9]),
     "primitive_emissivities: array length 1 does not match n_primitives() = 2"),
    (dict(primitive_temperatures=np.ones((2, 1))), "primitive_temperatures must be 1D"),
    (dict(sif_spectra=np.ones((3, 2)), n_sif_bands=2),
     "sif_spectra: array length 6 != n_sif_bands * n_primitives = 2 * 2 = 4"),
    (dict(sif_spectra=np.ones(2), n_sif_bands=-1),
     "sif_spectra: n_sif_bands must not be negative, got -1"),
])
def test_per_primitive_arrays_are_checked_against_the_primitive_count(kwargs, message):
    with pytest.raises(RuntimeError) as err:
        vorn_gpu.simulate_cpu(sunlit_plane(), spp=1, **kwargs)
    assert str(err.value) == message
    with pytest.raises(TypeError):  # keyword-only
        vorn_gpu.simulate_cpu(sunlit_plane(), 1, 1, None, np.ones(2))


def lidar_plane(num_bands=1, spectral=(0.3,), material=0, build=False):
    s = new_scene(CpuBackend(), num_bands, spectral, [(material, 0)])
    add_surface(s, quad(-50, 50, -50, 50), 0)
    if build:
        s.build()
    return s


@pytest.mark.parametrize("direct", [False, True])
def test_lidar_result_form_defaults_and_diagnostic_line(capfd, direct):
    empty = vorn_gpu.EmbreeSceneManager()
    empty.build()
    r = vorn_gpu.simulate_lidar_cpu(empty, [0, 0, 1], [0, 0, -1], 1, direct_mode=direct)
    assert list(r) == ["waveform", "points", "num_bins", "num_returns"]
    assert r["points"].shape == (0, 8) and r["points"].dtype == np.float32
    assert (r["num_returns"], r["num_bins"]) == (0, 667)
    assert r["waveform"].shape == ((0, 667, 1) if direct else (1, 667, 1)) and not r["waveform"].any()
    none = vorn_gpu.simulate_lidar_cpu(empty, np.zeros(0), np.zeros(0), 0, direct_mode=direct)
    assert none["waveform"].shape == (0, 667, 1) and none["points"].shape == (0, 8)
    scene = lidar_plane()
    scene.build()
    o, d = np.array([0, 0, 10, 1, 1, 10], np.float64), [0, 0, -1, 0, 0, -1]  # float64 and a list
    capfd.readouterr()
    implicit = vorn_gpu.simulate_lidar_cpu(scene, o, d, 2, direct_mode=direct)
    assert re.fullmatch(r"LiDAR \(CPU\): 2 pulses, %s, \d+ threads\n" % (
        "1 beam samples, direct mode" if direct else "81 beam samples, waveform mode"), capfd.readouterr().out)
    explicit = vorn_gpu.simulate_lidar_cpu(scene, o, d, 2, 0.0005, 10, 1.0, 0.1, 0.15, 0.0, 100.0, 1,
                                           4.0, 1e-8, 5, direct)
    for key in ("waveform", "points"):
        np.testing.assert_array_equal(implicit[key], explicit[key])


GOOD = np.array([0, 0, 10, 0, 0, 10], np.float32)


@pytest.mark.parametrize("args,kw,error,message", [
    ((), dict(pulse_fwhm_ns=0.0), RuntimeError, "pulse_fwhm_ns"),
    ((), dict(pulse_fwhm_ns=-2.0), RuntimeError, "pulse_fwhm_ns"),
    ((), dict(range_resolution=0.0), RuntimeError, "range_resolution"),
    ((), dict(range_resolution=math.nan), RuntimeError, "range_resolution"),
    ((), dict(min_range=50.0, max_range=10.0), RuntimeError, "max_range"),
    ((), dict(num_wavelengths=0), RuntimeError, "num_wavelengths"),
    ((), dict(num_wavelengths=2), RuntimeError, "num_wavelengths"),
    ((), dict(beam_half_angle_rad=-0.001), RuntimeError, "beam_half_angle_rad"),
    ((), dict(beam_half_angle_rad=2.0), RuntimeError, "beam_half_angle_rad"),
    ((), dict(beam_samples_per_dim=100000), RuntimeError, "beam_samples_per_dim"),
    ((), dict(max_range=1e8), RuntimeError, "exceeds the limit"),
    ((), dict(max_range=1e12), RuntimeError, "32-bit"),
    ((GOOD[:5], GOOD, 2), {}, RuntimeError, "pulse_origins must hold at least 6 values, got 5"),
    ((GOOD, GOOD[:3], 2), {}, RuntimeError, "pulse_directions must hold at least 6 values, got 3"),
    ((GOOD, GOOD, -1), {}, RuntimeError, "num_pulses must be >= 0, got -1"),
    ((GOOD.reshape(2, 3), GOOD, 2), {}, ValueError, "array has incorrect number of dimensions: 2; expected 1")])
def test_lidar_invalid_arguments_raise_clear_errors(args, kw, error, message):
    scene = lidar_plane()
    scene.build()
    with pytest.raises(error, match=("^simulate_lidar_cpu: .*" if kw else "") + re.escape(message)):
        vorn_gpu.simulate_lidar_cpu(scene, *(args or (GOOD[:3], GOOD[3:] - [0, 0, 11], 1)), **kw)


def test_lidar_checks_only_what_it_reads_of_the_scene():
    with pytest.raises(RuntimeError, match="^simulate_lidar_cpu: scene not built"):
        vorn_gpu.simulate_lidar_cpu(vorn_gpu.EmbreeSceneManager(), GOOD, GOOD, 2)
    # Emitter, sky and thermal ranges are never read: out of range, they pass.
    scene = lidar_plane()
    scene.set_emitter(0, np.array([0.0, 0.0, 1.0]), 7)
    scene.set_hw_sky(3, 0.0, 0.0, 1.0)
    scene.set_thermal_mode(True, [])
    scene.build()
    assert vorn_gpu.simulate_lidar_cpu(scene, [0, 0, 10], [0, 0, -1], 1)["waveform"].sum() > 0
    # A leaf's back face reads its second quantity, one band stride further.
    leaf = lidar_plane(4, (0.1, 0.2, 0.3, 0.4), 13)
    leaf.build()
    with pytest.raises(RuntimeError, match=r"material 0 reads back reflectances \[4, 5\)"):
        vorn_gpu.simulate_lidar_cpu(leaf, [0, 0, 1], [0, 0, -1], 1)
