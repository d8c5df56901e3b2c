"""simulate_cpu: progress reports, interruption, VORN_MAX_DEPTH and argument checks."""
import math
import os
import signal
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import vorn_gpu
from backward_scenes import lambertian_plane_scene, ortho_down, sun_at

HERE = os.path.dirname(os.path.abspath(__file__))
RHO, SUN_E = 0.4, 2.0
LIT = RHO * SUN_E * math.cos(math.radians(30.0)) / math.pi


def sunlit_plane(width=4, height=3, built=True):
    scene = lambertian_plane_scene(1, [RHO, SUN_E])
    scene.set_emitter(0, sun_at(30.0), 1)
    scene.set_sensor(0, width, height, 2.0, 2.0, ortho_down(0.0, 0.0, 3.0))
    if built:
        scene.build()
    return scene


class Recorder:
    def __init__(self):
        self.calls = []

    def __call__(self, done, total, ms):
        self.calls.append((done, total, ms))


@pytest.mark.parametrize("spp", [0, 1, 5])
def test_progress_reports_every_pass_and_spp_zero_gives_zeros(spp):
    rec = Recorder()
    img = vorn_gpu.simulate_cpu(sunlit_plane(), spp=spp, max_depth=1, progress=rec)
    assert [c[:2] for c in rec.calls] == [(k, spp) for k in range(1, spp + 1)]
    assert all(isinstance(c[0], int) and isinstance(c[2], float) for c in rec.calls)
    times = [c[2] for c in rec.calls]
    assert times == sorted(times) and all(t >= 0.0 for t in times)
    assert img.shape == (3, 4, 1)
    np.testing.assert_allclose(img, 0.0 if spp == 0 else LIT, rtol=2e-6)


def test_defaults_are_sixteen_passes_and_depth_sixteen():
    rec = Recorder()
    vorn_gpu.simulate_cpu(sunlit_plane(), progress=rec)
    assert len(rec.calls) == 16 and rec.calls[-1][:2] == (16, 16)


class Boom(Exception):
    pass


@pytest.mark.parametrize("fail_on", [1, 3])
def test_raising_progress_ends_the_call_with_its_exception(fail_on):
    calls = []

    def progress(done, total, ms):
        calls.append(done)
        if done == fail_on:
            raise Boom("stop at %d" % done)

    with pytest.raises(Boom, match="stop at %d" % fail_on):
        vorn_gpu.simulate_cpu(sunlit_plane(), spp=5, max_depth=1, progress=progress)
    assert calls == list(range(1, fail_on + 1))


def test_non_callable_progress_fails_at_the_first_report():
    scene = sunlit_plane()
    with pytest.raises(TypeError):
        vorn_gpu.simulate_cpu(scene, spp=2, max_depth=1, progress=5)
    # Accepted when no report is due.
    assert not vorn_gpu.simulate_cpu(scene, spp=0, progress=5).any()


def test_sigint_from_the_progress_callable_raises_keyboard_interrupt():
    calls = []

    def progress(done, total, ms):
        calls.append(done)
        if done == 1:
            signal.raise_signal(signal.SIGINT)

    with pytest.raises(KeyboardInterrupt):
        vorn_gpu.simulate_cpu(sunlit_plane(), spp=50, max_depth=1, progress=progress)
    assert calls and calls[0] == 1 and len(calls) <= 2


def run_python(code, env=None, timeout=120):
    full_env = {**os.environ, **(env or {})}
    full_env["PYTHONPATH"] = os.pathsep.join([HERE, full_env.get("PYTHONPATH", "")])
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=timeout, env=full_env)


def test_sigint_without_a_callable_interrupts_between_passes():
    # The interpreter lock is held for the whole render, so the signal comes
    # from another process. The render would take minutes; Ctrl-C must stop
    # it with KeyboardInterrupt and no image.
    code = f"""
        import os, subprocess, time, vorn_gpu
        from backward_scenes import lambertian_plane_scene, ortho_down, sun_at
        scene = lambertian_plane_scene(1, [0.4, 2.0])
        scene.set_emitter(0, sun_at(30.0), 1)
        scene.set_sensor(0, 8, 8, 2.0, 2.0, ortho_down(0.0, 0.0, 3.0))
        scene.build()
        killer = subprocess.Popen(["sh", "-c", "sleep 0.5; kill -INT %d" % os.getpid()])
        result = None
        try:
            result = vorn_gpu.simulate_cpu(scene, spp=10**8, max_depth=1)
            print("finished")
        except KeyboardInterrupt:
            print("interrupted", result is None)
        killer.wait()
    """
    out = run_python(code)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "interrupted True"


@pytest.mark.parametrize("value,depth", [("5", 5), (" 3 ", 3), ("0", None), ("abc", None),
                                         ("-2", None), ("4x", None), (None, None)])
def test_vorn_max_depth_overrides_max_depth_when_positive(value, depth):
    # max_depth 0 renders black; an override above 0 lets the sun in.
    code = """
        import vorn_gpu
        from test_backward_control import sunlit_plane
        img = vorn_gpu.simulate_cpu(sunlit_plane(), spp=1, max_depth=0)
        print("RESULT", float(img.max()))
    """
    env = {} if value is None else {"VORN_MAX_DEPTH": value}
    base = {k: v for k, v in os.environ.items() if k != "VORN_MAX_DEPTH"}
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                         text=True, timeout=120,
                         env={**base, **env,
                              "PYTHONPATH": os.pathsep.join([HERE, base.get("PYTHONPATH", "")])})
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    value_seen = float(lines[-1].split()[1])
    if depth is None:
        assert lines == [lines[-1]] and value_seen == 0.0
    else:
        assert lines[0] == "[CPU bwd] VORN_MAX_DEPTH=%d" % depth
        assert value_seen == pytest.approx(LIT, rel=2e-6)


def test_scene_checks_before_rendering():
    with pytest.raises(RuntimeError, match="^simulate_cpu: scene not built"):
        vorn_gpu.simulate_cpu(sunlit_plane(built=False), spp=1)
    scene = sunlit_plane()
    scene.set_thermal_mode(True, [])
    with pytest.raises(RuntimeError, match="wavelength per band"):
        vorn_gpu.simulate_cpu(scene, spp=1)
    scene = sunlit_plane()
    scene.set_num_bands(2)  # the sun's irradiance would be read past the spectral array
    msg = r"^simulate_cpu: the emitter reads spectral values \[1, 3\)"
    with pytest.raises(RuntimeError, match=msg):
        vorn_gpu.simulate_cpu(scene, spp=1)
    scene = sunlit_plane()
    scene.set_sensor(0, -4, 3, 2.0, 2.0, ortho_down(0, 0, 3))
    with pytest.raises(RuntimeError, match="must not be negative, got -4 x 3"):
        vorn_gpu.simulate_cpu(scene, spp=1)


@pytest.mark.parametrize("width,height,nb", [(0, 3, 1), (4, 0, 1), (4, 3, 0)])
def test_empty_images_still_run_every_pass(width, height, nb):
    scene = sunlit_plane(width, height)
    scene.set_num_bands(nb)
    rec = Recorder()
    img = vorn_gpu.simulate_cpu(scene, spp=3, max_depth=2, progress=rec)
    assert img.shape == (height, width, nb) and img.size == 0
    assert [c[0] for c in rec.calls] == [1, 2, 3]
