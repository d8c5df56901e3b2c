"""simulate_cpu: progress reports, interruption and VORN_MAX_DEPTH."""
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
LIT = 0.4 * 2.0 * math.cos(math.radians(30.0)) / math.pi  # rho E cos(theta) / pi


def sunlit_plane():
    scene = lambertian_plane_scene(1, [0.4, 2.0])
    scene.set_emitter(0, sun_at(30.0), 1)
    scene.set_sensor(0, 4, 3, 2.0, 2.0, ortho_down(0.0, 0.0, 3.0))
    scene.build()
    return scene


def run_python(code, env):
    """Runs code in a fresh interpreter that sees this directory and `env` only
    in place of the inherited VORN_MAX_DEPTH."""
    base = {k: v for k, v in os.environ.items() if k != "VORN_MAX_DEPTH"}
    path = os.pathsep.join([HERE, base.get("PYTHONPATH", "")])
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=120, env={**base, **env, "PYTHONPATH": path})


@pytest.mark.parametrize("spp", [0, 3])
def test_progress_reports_every_pass_and_spp_zero_gives_zeros(spp):
    calls = []
    img = vorn_gpu.simulate_cpu(sunlit_plane(), spp=spp, max_depth=1,
                                progress=lambda *a: calls.append(a))
    assert [c[:2] for c in calls] == [(k, spp) for k in range(1, spp + 1)]
    assert all(type(c[0]) is int and type(c[2]) is float for c in calls)
    times = [c[2] for c in calls]
    assert times == sorted(times) and all(t >= 0.0 for t in times)
    assert img.shape == (3, 4, 1)
    np.testing.assert_allclose(img, 0.0 if spp == 0 else LIT, rtol=2e-6)


@pytest.mark.parametrize("fail_on", [1, 3])
def test_raising_progress_ends_the_call_with_its_exception(fail_on):
    class Boom(Exception):
        pass

    calls = []

    def progress(done, total, ms):
        calls.append(done)
        if done == fail_on:
            raise Boom("stop at %d" % done)

    with pytest.raises(Boom, match="stop at %d" % fail_on):
        vorn_gpu.simulate_cpu(sunlit_plane(), spp=5, max_depth=1, progress=progress)
    assert calls == list(range(1, fail_on + 1))
    with pytest.raises(TypeError):  # a non-callable fails at the first report
        vorn_gpu.simulate_cpu(sunlit_plane(), spp=2, max_depth=1, progress=5)


def test_sigint_from_the_progress_callable_raises_keyboard_interrupt():
    calls = []

    def progress(done, total, ms):
        calls.append(done)
        if done == 1:
            signal.raise_signal(signal.SIGINT)

    with pytest.raises(KeyboardInterrupt):
        vorn_gpu.simulate_cpu(sunlit_plane(), spp=50, max_depth=1, progress=progress)
    assert calls and calls[0] == 1 and len(calls) <= 2


def test_sigint_without_a_callable_interrupts_between_passes():
    # The interpreter lock is held for the whole render, so the signal comes
    # from another process. The render would take minutes; Ctrl-C must stop
    # it with KeyboardInterrupt and no image.
    code = """
        import os, subprocess, vorn_gpu
        from test_backward_control import sunlit_plane
        scene = sunlit_plane()
        killer = subprocess.Popen(["sh", "-c", "sleep 0.5; kill -INT %d" % os.getpid()])
        result = None
        try:
            result = vorn_gpu.simulate_cpu(scene, spp=10**8, max_depth=1)
            print("finished")
        except KeyboardInterrupt:
            print("interrupted", result is None)
        killer.wait()
    """
    out = run_python(code, {})
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
    out = run_python(code, {} if value is None else {"VORN_MAX_DEPTH": value})
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
        vorn_gpu.simulate_cpu(vorn_gpu.EmbreeSceneManager(), spp=1)
    scene = sunlit_plane()
    scene.set_thermal_mode(True, [])
    with pytest.raises(RuntimeError, match="wavelength per band"):
        vorn_gpu.simulate_cpu(scene, spp=1)
    scene = sunlit_plane()
    scene.set_num_bands(2)  # the sun's irradiance would be read past the spectral array
    with pytest.raises(RuntimeError, match=r"^simulate_cpu: the emitter reads spectral values \[1, 3\)"):
        vorn_gpu.simulate_cpu(scene, spp=1)
