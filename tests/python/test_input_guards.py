"""Bad input never ends the interpreter and never passes silently: values are
checked where they enter (the message names the function and the argument),
rays Embree cannot take are misses, geometry added after a build asks for a
new one, and a scene refuses every change while a simulation runs on it.
Cases that could kill the process run in a child."""
import json
import math
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import api_fuzz
import vorn_gpu

HERE = os.path.dirname(os.path.abspath(__file__))
NAN, INF = math.nan, math.inf
CAM = [1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 10, 0, 0, 0, 1]  # orthographic, 10 m up, looking down
EYE = [1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0]
SPECTRAL = [0.3] * 8 + [1000.0] * 4  # reflectance at 0.., sun at 8.., sky at 10..
SIDEWAYS = [0, 0, 1, 0, 1, 0, 0, 0, 0, 1, 0, 5, 0, 0, 0, 1]  # looking along -x from 5 m up


def scene(build=True, nb=1, cam=CAM, scale=1.0, index_dtype=np.int32):
    """A sunlit 20 m x 20 m Lambertian plane under a 4 x 4 orthographic camera
    (none for cam=None)."""
    s = vorn_gpu.EmbreeSceneManager()
    s.set_num_bands(nb)
    s.upload_spectral_params(np.array(SPECTRAL, np.float32))
    s.add_material(vorn_gpu.MaterialType.LAMBERTIAN, 0)
    plane = vorn_gpu.make_ground_plane(10, 10)
    plane["indices"] = plane["indices"].astype(index_dtype)
    s.add_instance(s.add_mesh(**plane), 0, 0, 0, scale)
    s.set_emitter(vorn_gpu.EmitterType.SUN, [0, 0, 1.0], 8)
    if cam is not None:
        s.set_sensor(vorn_gpu.SensorType.ORTHOGRAPHIC, 4, 4, 10, 10, np.array(cam, np.float32))
    if build:
        s.build()
    return s


def run_child(code):
    """Runs code in a fresh interpreter that imports this module as `g`."""
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([HERE, os.environ.get("PYTHONPATH", "")])}
    prelude = "import json, math, sys, threading, time\nimport numpy as np\nimport vorn_gpu as v\n" \
              "import test_input_guards as g\nfrom test_input_guards import *\n"
    return subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(code)], env=env,
                          capture_output=True, text=True, timeout=300)


def cam(i, value):
    return [value if k == i else c for k, c in enumerate(CAM)]


FORWARD = "v.simulate_forward_cpu(s, layer_heights=[0, 1], num_photons=100)"
# (code run on the built scene s; the message it must raise). Without the
# checks each of these aborted the process in Embree (a ray with NaN, an
# infinity or a coordinate beyond 1.8e18, or a singular instance transform).
ABORTED = [
    ("s.set_sensor(0, 4, 4, 10, 10, g.cam(3, NAN)); v.simulate_cpu(s, 1)",
     "set_sensor: cam_xform[3] must be finite and within [-1e+09, 1e+09], got nan"),
    ("s.set_sensor(0, 4, 4, 10, 10, g.cam(11, 1e19)); v.simulate_cpu(s, 1)",
     "set_sensor: cam_xform[11] must be finite and within [-1e+09, 1e+09], got 1e+19"),
    ("s.set_sensor(0, 4, 4, INF, 10, CAM); v.simulate_cpu(s, 1)",
     "set_sensor: ortho_w must be finite and within [-1e+09, 1e+09], got inf"),
    ("s.set_sensor(1, 4, 4, 1, 1, CAM, fov=NAN); v.simulate_cpu(s, 1)",
     "set_sensor: fov must be finite, got nan"),
    ("s.set_repetitive(2, INF, 5); v.simulate_cpu(s, 1)",
     "set_repetitive: scene_x_size must be finite and within [-1e+09, 1e+09], got inf"),
    (f"s.set_emitter(0, [NAN, 0, 1], 8); {FORWARD}",
     "set_emitter: direction must be finite, got (nan, 0, 1)"),
    (f"s.update_emitter_direction([INF, 0, 1]); {FORWARD}",
     "update_emitter_direction: direction must be finite, got (inf, 0, 1)"),
    (f"s.set_measurement_plane(1e19); {FORWARD}",
     "set_measurement_plane: height must be finite and within [-1e+09, 1e+09], got 1e+19"),
    ("v.simulate_forward_cpu(s, layer_heights=[0, 1], num_photons=100, num_brf_dirs=1, "
     "brf_directions=[NAN, 0, 1])",
     "simulate_forward_cpu: brf_directions 0 must be finite, got (nan, 0, 1)"),
    ("v.simulate_lidar_cpu(s, [1e19, 0, 5], [0, 0, -1], 1)",
     "simulate_lidar_cpu: pulse_origins[0] must be finite and within [-1e+09, 1e+09], got 1e+19"),
    ("v.simulate_lidar_cpu(s, [0, 0, 5], [0, 0, 0], 1)",
     "simulate_lidar_cpu: pulse_directions 0 must not be the zero vector"),
    ("s = g.scene(build=False, scale=0.0); s.build(); v.simulate_cpu(s, 1)",
     "build: the transform of instance 0 is singular (the determinant of its 3 x 3 part is 0)"),
    ("s.add_instance_xform(0, [1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0]); s.build(); v.simulate_cpu(s, 1)",
     "build: the transform of instance 1 is singular (the determinant of its 3 x 3 part is 0)"),
    ("s.update_instance_transform(0, [0] * 12); s.refit_ias(); v.simulate_cpu(s, 1)",
     "update_instance_transform: the transform is singular (the determinant of its 3 x 3 part "
     "is 0)"),
    # Scaled by 1e-10, Embree's inverse turns a world coordinate of 1e9 into 1e19.
    ("s.add_instance(0, 0, 0, 0, 1e-10); s.build(); "
     "v.simulate_lidar_cpu(s, [0, 0, 1e9], [0, 0, -1], 1, direct_mode=True)",
     "build: the transform of instance 1 is nearly singular (its inverse stretches coordinates "
     "by up to 1e+10, more than the 9e+07 rays can be traced through)"),
]


@pytest.fixture(scope="module")
def aborted_cases():
    """Runs every case in one child; a case the child did not finish reads None."""
    child = run_child(f"""
        for i, (code, _) in enumerate(g.ABORTED):
            s = g.scene()
            try:
                exec(code)
                print(json.dumps([i, "returned"]), flush=True)
            except RuntimeError as e:
                print(json.dumps([i, str(e)]), flush=True)
    """)
    done = dict(json.loads(line) for line in child.stdout.splitlines() if line.startswith("["))
    return done, child


@pytest.mark.parametrize("case", range(len(ABORTED)), ids=[c[1].split(":")[0] for c in ABORTED])
def test_values_that_aborted_the_process_are_rejected_where_they_enter(aborted_cases, case):
    done, child = aborted_cases
    assert case in done, f"the child died (exit {child.returncode}): {child.stderr[-600:]}"
    assert done[case] == ABORTED[case][1]


def test_sideways_terrain_following_camera_renders():
    # Sideways orthographic rays with terrain following meet z = 0 at infinity:
    # they aborted the process; now they keep their start and trace as they are.
    child = run_child("""
        s = g.scene(build=False)
        s.set_sensor(0, 4, 4, 10, 10, np.array(SIDEWAYS, np.float32), terrain_following=True)
        s.build()
        print(v.simulate_cpu(s, 1).shape)
    """)
    assert child.returncode == 0, child.stderr[-600:]
    assert child.stdout.strip().endswith("(4, 4, 1)")
    assert "could not be traced" not in child.stderr


def test_directions_are_stored_and_used_as_unit_vectors():
    # A sun direction of length 5 scaled the light by 5; a pulse direction of
    # length 2 put its points at twice the range, and one of 1e-30 aborted.
    child = run_child("""
        unit, far = g.scene(), g.scene(build=False)
        far.set_emitter(0, [0, 0, 5.0], 8)
        far.build()
        same = [bool(np.array_equal(v.simulate_cpu(far, 2), v.simulate_cpu(unit, 2)))]
        pulse = lambda d: v.simulate_lidar_cpu(unit, [0, 0, 5], d, 1, beam_samples_per_dim=3,
                                               max_range=20)
        want = pulse([0, 0, -1])
        for d in ([0, 0, -2], [0, 0, -1e-30]):
            got = pulse(d)
            same += [bool(np.array_equal(got[k], want[k])) for k in ("points", "waveform")]
        print(json.dumps([same, float(want["points"][0, 2])]))
    """)
    assert child.returncode == 0, child.stderr[-600:]
    same, z = json.loads(child.stdout.splitlines()[-1])
    assert same == [True] * 5 and abs(z) < 0.08  # the return lies on the plane


MUTATIONS = {
    "add_mesh": lambda s: s.add_mesh(**vorn_gpu.make_ground_plane(1, 1)),
    "add_instance": lambda s: s.add_instance(0),
    "add_instance_xform": lambda s: s.add_instance_xform(0, EYE),
    "update_instance_transform": lambda s: s.update_instance_transform(0, EYE),
    "refit_ias": lambda s: s.refit_ias(),
    "set_num_bands": lambda s: s.set_num_bands(1),
    "add_material": lambda s: s.add_material(0, 0),
    "upload_spectral_params": lambda s: s.upload_spectral_params(np.zeros(10**6, np.float32)),
    "set_emitter": lambda s: s.set_emitter(0, [0, 0, 1.0], 0),
    "update_emitter_direction": lambda s: s.update_emitter_direction([1.0, 0, 1]),
    "set_sensor": lambda s: s.set_sensor(1, 2, 2, 1, 1, CAM),
    "set_sky": lambda s: s.set_sky(0),
    "set_hw_sky": lambda s: s.set_hw_sky(0, 0, 0, 1),
    "set_thermal_mode": lambda s: s.set_thermal_mode(True, [500.0]),
    "set_repetitive": lambda s: s.set_repetitive(1, 1, 1),
    "build": lambda s: s.build(),
    "clear_for_reuse": lambda s: s.clear_for_reuse(),
    "build_reuse_gas": lambda s: s.build_reuse_gas(),
    "set_measurement_plane": lambda s: s.set_measurement_plane(3.0),
}


def test_every_changing_method_is_refused_while_the_scene_is_simulated():
    assert set(MUTATIONS) == api_fuzz.MUTATORS
    # The engines kept pointers into the scene: a change from the progress
    # callable was a use-after-free, or silently altered the result.
    child = run_child("""
        out = {}
        for engine in ("cpu", "forward"):
            s = g.scene()
            s.set_sky(10)
            run = (lambda p=None: v.simulate_cpu(s, 3, progress=p)) if engine == "cpu" else (
                lambda p=None: v.simulate_forward_cpu(s, 2, 2, [0, 1], 1000001, progress=p)["grid"])
            base = run()
            seen = []
            def progress(*_):
                for name, change in g.MUTATIONS.items():
                    try:
                        change(s)
                        seen.append(name + ": accepted")
                    except RuntimeError as e:
                        seen.append(str(e))
                seen.append((s.is_built(), s.num_instances(), s.total_triangles(), s.max_height()))
            same = bool(np.allclose(run(progress), base, rtol=1e-6, atol=0))
            # A second thread, while the callable sleeps: only the in-use refusal.
            told, stop = [], threading.Event()
            def other():
                while not stop.is_set():
                    try:
                        s.upload_spectral_params(np.array(g.SPECTRAL, np.float32))
                    except RuntimeError as e:
                        told.append(str(e))
                    time.sleep(0.001)
            t = threading.Thread(target=other)
            t.start()
            same_threaded = bool(np.allclose(run(lambda *_: time.sleep(0.02)), base, rtol=1e-6, atol=0))
            stop.set(); t.join()
            g.MUTATIONS["set_measurement_plane"](s)  # idle again: accepted
            out[engine] = [seen[:len(g.MUTATIONS) + 1], same, same_threaded, sorted(set(told))]
        print(json.dumps(out))
    """)
    assert child.returncode == 0, child.stderr[-800:]
    result = json.loads(child.stdout.splitlines()[-1])
    for engine in ("cpu", "forward"):
        seen, same, same_threaded, told = result[engine]
        assert seen[:-1] == [f"{name}: scene is in use by a running simulation" for name in MUTATIONS]
        assert seen[-1] == [True, 1, 2, 0.0]  # reading goes on
        assert same and same_threaded, engine
        assert told == ["upload_spectral_params: scene is in use by a running simulation"]


@pytest.mark.parametrize("size", [(0, 2**31 - 1), (2**31 - 1, 0)])
def test_an_image_without_pixels_returns_at_once(size):
    s = scene(build=False)
    s.set_sensor(0, *size, 10, 10, np.array(CAM, np.float32))
    s.build()
    calls = []
    img = vorn_gpu.simulate_cpu(s, 2, progress=lambda *a: calls.append(a))
    assert img.shape == (size[1], size[0], 1) and calls == []


def test_prob_sun_whose_photon_weight_overflows_a_float_is_rejected():
    s = scene(build=False)
    s.set_sky(10)
    s.build()
    # photon_e = 10 m x 10 m footprint / 1000 photons; a sun photon weighs photon_e / prob_sun.
    lo = 0.1 / float(np.finfo(np.float32).max)
    with pytest.raises(RuntimeError) as e:
        vorn_gpu.simulate_forward_cpu(s, layer_heights=[0, 1], num_photons=1000, prob_sun=1.4e-45)
    assert str(e.value).startswith(f"simulate_forward_cpu: prob_sun must lie in [{lo:.7g}, 1] "
                                   "(or be 0: sky photons only)")
    assert str(e.value).endswith("got 1.401298e-45")
    for p in (0.0, 2 * lo, 1.0):
        grid = vorn_gpu.simulate_forward_cpu(s, layer_heights=[0, 1], num_photons=1000, prob_sun=p)
        assert np.isfinite(grid["grid"]).all()


SIMULATIONS = {
    "simulate_cpu": lambda s: vorn_gpu.simulate_cpu(s, 1),
    "simulate_forward_cpu": lambda s: vorn_gpu.simulate_forward_cpu(s, layer_heights=[0, 1],
                                                                     num_photons=10),
    "simulate_lidar_cpu": lambda s: vorn_gpu.simulate_lidar_cpu(s, [0, 0, 5], [0, 0, -1], 1),
}


def test_band_counts_below_one_and_instances_of_missing_meshes_are_rejected():
    s = scene()
    with pytest.raises(RuntimeError, match=r"^set_num_bands: the band count must not be negative, got -1$"):
        s.set_num_bands(-1)
    s.set_num_bands(0)
    for name in ("simulate_cpu", "simulate_lidar_cpu"):
        with pytest.raises(RuntimeError) as e:
            SIMULATIONS[name](s)
        assert str(e.value) == f"{name}: the scene has 0 bands; set_num_bands must be at least 1"
    with pytest.raises(RuntimeError, match=r"^simulate_forward_cpu: num_bands must be at least 1, got 0$"):
        vorn_gpu.simulate_forward_cpu(s, layer_heights=[0, 1], num_bands=0)


@pytest.mark.parametrize("add", ["add_mesh", "add_instance", "add_instance_xform"])
def test_geometry_added_after_a_build_asks_for_a_new_build(add):
    # The scene stayed built and the engines traced the old geometry.
    s = scene()
    {"add_mesh": lambda: s.add_mesh(**vorn_gpu.make_ground_plane(1, 1)),
     "add_instance": lambda: s.add_instance(0, 0, 0, 5),
     "add_instance_xform": lambda: s.add_instance_xform(0, EYE)}[add]()
    assert not s.is_built()
    for name, run in SIMULATIONS.items():
        with pytest.raises(RuntimeError, match=f"^{name}: scene not built. Call build"):
            run(s)
    with pytest.raises(RuntimeError) as e:
        s.build_reuse_gas()
    assert str(e.value) == ("build_reuse_gas: meshes or instances were added since the last "
                            "build. Call build() first.")
    s.build()
    assert s.is_built() and s.max_height() == (5.0 if add == "add_instance" else 0.0)


V3 = np.array([[0, 0, 0], [1, 0, 0], [0, 1, 0]], np.float32)
# (call on the scene s, message of its RuntimeError): each was accepted and
# gave an empty, black or garbled result.
NONSENSE = [
    (lambda s: vorn_gpu.simulate_cpu(scene(cam=None), 1),
     "simulate_cpu: the scene has no sensor. Call set_sensor() first."),
    (lambda s: s.set_sensor(0, 4, 4, 10, 10, CAM[:9]),
     "set_sensor: cam_xform must hold 12 to 16 values (a 3 x 4 or 4 x 4 row-major matrix), got 9"),
    (lambda s: s.set_sensor(0, 4, 4, 10, 10, CAM + [1]),
     "set_sensor: cam_xform must hold 12 to 16 values (a 3 x 4 or 4 x 4 row-major matrix), got 17"),
    (lambda s: s.set_sensor(0, 4, 4, 10, 10, np.eye(3)),
     "set_sensor: cam_xform must be a 3 x 4 or 4 x 4 matrix or hold 12 to 16 values, got shape (3, 3)"),
    (lambda s: s.set_sensor(2, 4, 4, 10, 10, CAM),
     "set_sensor: type must be one of 0, 1, 4 (SensorType), got 2"),
    (lambda s: s.set_sensor(4, 4, 4, 10, 10, CAM, projection_type=4),
     "set_sensor: projection_type must be one of 0, 1, 2, 3 (ProjectionType), got 4"),
    (lambda s: vorn_gpu.simulate_cpu(s, -1), "simulate_cpu: spp must be >= 0, got -1"),
    (lambda s: vorn_gpu.simulate_forward_cpu(s, layer_heights=[0, 1], num_photons=-1),
     "simulate_forward_cpu: num_photons must be >= 0, got -1"),
    (lambda s: s.add_mesh(np.zeros((3, 4)), NO_NORMALS_F, [[0, 1, 2]]),
     "add_mesh: vertices must have 3 columns, got 4"),
    (lambda s: s.add_mesh(V3, np.ones((3, 4)), [[0, 1, 2]]), "add_mesh: normals must have 3 columns, got 4"),
    (lambda s: s.add_mesh(V3, NO_NORMALS_F, [[0, 1, 2.5]]),
     "add_mesh: indices[0, 2] must be a whole number within int32, got 2.5"),
    (lambda s: s.add_mesh(V3, NO_NORMALS_F, np.array([[0, 1, 2**32]], np.uint64)),
     "add_mesh: indices[0, 2] must be a whole number within int32, got 4294967296"),
    (lambda s: vorn_gpu.simulate_cpu(s, 1, seed=-1), "simulate_cpu: seed must be >= 0, got -1"),
    (lambda s: vorn_gpu.simulate_lidar_cpu(s, [0, 0, 5], [0, 0, -1], 1, num_threads=-1),
     "simulate_lidar_cpu: num_threads must lie in [0, 4096] (0: every core), got -1"),
]
NO_NORMALS_F = np.zeros((0, 3), np.float32)


@pytest.mark.parametrize("case", range(len(NONSENSE)), ids=[c[1][:40] for c in NONSENSE])
def test_nonsense_arguments_are_refused_with_a_clear_error(case):
    call, message = NONSENSE[case]
    s = scene()
    with pytest.raises(RuntimeError) as e:
        call(s)
    assert str(e.value) == message
    assert s.is_built() and s.num_instances() == 1  # nothing was added or changed


def test_matrix_cameras_wide_indices_and_named_codes_give_the_same_image():
    # A 4 x 4 (or 3 x 4) matrix is the camera flattened row-major; whole float
    # and 64-bit indices are the int32 ones. (scene() uses the named codes.)
    want = vorn_gpu.simulate_cpu(scene(), 2)
    for kw in (dict(cam=np.reshape(CAM, (4, 4))), dict(cam=np.reshape(CAM, (4, 4))[:3]),
               dict(index_dtype=np.float64), dict(index_dtype=np.uint64)):
        np.testing.assert_array_equal(vorn_gpu.simulate_cpu(scene(**kw), 2), want, str(kw))


def test_failed_allocations_are_memory_errors_naming_what_was_allocated():
    s = scene()
    with pytest.raises(MemoryError, match=r"^upload_spectral_params: a copy of values needs "
                                          r"4096\.0 GiB, more than the [0-9.]+ GiB of memory$"):
        s.upload_spectral_params(np.broadcast_to(np.float32(1.0), (2**40,)))
    s = vorn_gpu.EmbreeSceneManager()
    s.set_num_bands(2**20)
    s.set_sensor(0, 46340, 46340, 10, 10, np.array(CAM, np.float32))
    s.build()
    with pytest.raises(MemoryError, match=r"^simulate_cpu: the image needs 8[0-9]{6}\.[0-9] GiB"):
        vorn_gpu.simulate_cpu(s, 1)
    # Counts print as integers, never as 4611686014132420608.000000.
    with pytest.raises(RuntimeError) as e:
        vorn_gpu.simulate_forward_cpu(scene(), 2**31 - 1, 2**31 - 1, [0, 1], 10)
    assert str(e.value) == ("simulate_forward_cpu: the grid of 2147483647 x 2147483647 x 1 x 1 "
                            "values is more than can be allocated")
