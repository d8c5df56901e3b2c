"""The engines' diagnostic lines reach Python's sys.stdout, so redirections,
pytest and notebooks see them, and vorn_gpu.set_verbose(False) silences them."""
import contextlib
import io
import re
import sys

import numpy as np
import pytest

import vorn_gpu
from scenes import add_surface, ortho_down, quad


def plane():
    s = vorn_gpu.EmbreeSceneManager()
    s.set_num_bands(1)
    s.add_material(0, 0)
    s.upload_spectral_params(np.array([0.5, 1.0], np.float32))
    add_surface(s, quad(-1, 1, -1, 1), 0)
    s.set_emitter(0, np.array([0.0, 0.0, 1.0]), 1)
    s.set_sensor(0, 2, 2, 2.0, 2.0, ortho_down(0, 0, 5))
    s.build()
    return s


LAYERS = np.array([0.0, 1.0], np.float32)
RUNS = {  # each engine with VORN_MAX_DEPTH=2 set: its call and the lines it prints
    "backward": (lambda s: vorn_gpu.simulate_cpu(s, spp=1, max_depth=1),
                 r"\[CPU bwd\] VORN_MAX_DEPTH=2\n"),
    "forward": (lambda s: vorn_gpu.simulate_forward_cpu(s, layer_heights=LAYERS, num_photons=100),
                r"\[CPU fwd\] VORN_MAX_DEPTH=2\n"
                r"Forward fPAR \(CPU\): 100 photons, grid 1x1x1, 1 bands, \d+ threads\n"),
    "lidar": (lambda s: vorn_gpu.simulate_lidar_cpu(s, [0, 0, 5], [0, 0, -1], 1),
              r"LiDAR \(CPU\): 1 pulses, 81 beam samples, waveform mode, \d+ threads\n"),
}


@pytest.mark.parametrize("engine", RUNS)
def test_lines_go_through_sys_stdout_and_set_verbose_silences_them(engine, monkeypatch, capfd):
    run, expected = RUNS[engine]
    monkeypatch.setenv("VORN_MAX_DEPTH", "2")
    scene = plane()
    capfd.readouterr()
    assert vorn_gpu.get_verbose() is True  # the default
    with contextlib.redirect_stdout(io.StringIO()) as out:
        run(scene)
    assert re.fullmatch(expected, out.getvalue()), out.getvalue()
    assert capfd.readouterr() == ("", "")  # nothing went around sys.stdout
    vorn_gpu.set_verbose(False)
    try:
        with contextlib.redirect_stdout(io.StringIO()) as out:
            run(scene)
        assert vorn_gpu.get_verbose() is False
    finally:
        vorn_gpu.set_verbose(True)
    assert out.getvalue() == "" and capfd.readouterr() == ("", "")


def test_a_failing_stream_does_not_break_the_simulation(monkeypatch):
    class Closed:
        def write(self, text):
            raise OSError("stream closed")

    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    scene = plane()
    with contextlib.redirect_stdout(Closed()):
        r = vorn_gpu.simulate_lidar_cpu(scene, [0, 0, 5], [0, 0, -1], 1)
    assert r["num_returns"] == 1
    assert [type(u.exc_value) for u in seen] == [OSError]
