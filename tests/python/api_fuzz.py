"""Random call sequences against the vorn_gpu API, each run in a child forked
from a clean fork server: a crash or a hang is reported with the sequence that
caused it instead of killing the test runner.

A program is a list of steps (name, args, kwargs): a module function ("m.make_sphere";
simulations get the current scene as first argument), a scene method, or
"new_scene". Values are drawn to be odd (NaN, infinities, huge and tiny numbers,
wrong shapes, degenerate transforms, out-of-range ids), and work arguments
(passes, photons, pulses, image sizes, range windows) are kept small, so every
call must return or raise promptly. Progress callables may raise, be no
callable at all, be a progress bar (an object with update and total), or
change the scene while it is simulated, from the callback itself or from a
second Python thread. Seeds and thread counts are drawn odd too.
"""
import math
import multiprocessing
import os
import resource
import tempfile
import threading
import time

import numpy as np
from hypothesis import strategies as st

import vorn_gpu

IN_USE = "scene is in use by a running simulation"
ALLOWED = (RuntimeError, ValueError, TypeError, MemoryError, OverflowError)
CHILD_MEMORY = 6 << 30  # address-space limit of a child: large requests fail, not swap


class Progress:
    """A progress argument: None, 5 (not callable), a recorder, a raiser, a
    progress bar, or a callable running `ops` on the scene from itself
    ("mutate") or from a second thread while it sleeps ("thread")."""
    def __init__(self, kind, ops=()):
        self.kind, self.ops = kind, list(ops)

    def __repr__(self):
        return f"Progress({self.kind!r}, {self.ops!r})"


class Huge:
    """A 1-D float32 array of n values that costs no memory (a broadcast view)."""
    def __init__(self, n):
        self.n = n

    def __repr__(self):
        return f"Huge({self.n})"


class StopRun(Exception):
    pass


# ---- value strategies ------------------------------------------------------------

ODD_FLOATS = [math.nan, math.inf, -math.inf, -0.0, 1.4e-45, 1e-30, 1e-8, 1e9, -4e9, 1e19,
              -1e19, 3.4e38, 1e300]
ODD_INTS = [-2**31, -1, 0, 2**31 - 1]


def fl(lo=-30.0, hi=30.0):
    lo, hi = float(np.float32(lo)), float(np.float32(hi))
    return st.one_of(st.floats(lo, hi, width=32), st.sampled_from(ODD_FLOATS))


def it(lo=-2, hi=4):
    return st.one_of(st.integers(lo, hi), st.sampled_from(ODD_INTS))


def array(values, dtype):
    with np.errstate(over="ignore"):  # 1e300 becomes inf in float32, as intended
        return np.array(values, dtype=dtype)


def flat(lengths, elem=None):
    """1-D arrays (float32, float64 or a list) of the given lengths, now and
    then one of another shape."""
    elem = fl() if elem is None else elem
    body = st.sampled_from(lengths).flatmap(lambda n: st.lists(elem, min_size=n, max_size=n))
    one_d = st.tuples(body, st.sampled_from(["f4", "f8", "list"])).map(
        lambda t: t[0] if t[1] == "list" else array(t[0], t[1]))
    return st.one_of(one_d, one_d, one_d, st.sampled_from([np.zeros((2, 3)), np.float32(1.0), "x"]))


def xform(base):
    """`base` with a few entries replaced by odd values (singular, huge, NaN)."""
    def make(edits):
        x = list(base)
        for i, v in edits:
            x[i % len(x)] = v
        return array(x, "f4")
    return st.lists(st.tuples(st.integers(0, 15), fl(-3, 3)), max_size=3).map(make)


IDENTITY = [1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0]
# Image sizes: small, empty with the other side huge, negative, beyond 2^31 - 1 pixels.
SENSOR_SIZES = [(4, 3), (1, 1), (0, 0), (0, 2**31 - 1), (2**31 - 1, 0), (-1, 4), (46341, 46341)]
CAMERA = [1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 20, 0, 0, 0, 1]
DIRECTION = flat([3], st.one_of(st.sampled_from([0.0, 1.0, -1.0, 0.5]), fl(-2, 2)))


@st.composite
def mesh(draw):
    n = draw(st.integers(0, 6))
    v = draw(st.lists(st.tuples(fl(-5, 5), fl(-5, 5), fl(-5, 5)), min_size=n, max_size=n))
    normals = draw(st.sampled_from([0, n, n + 1]))
    m = draw(st.integers(0, 6))
    idx = draw(st.lists(st.tuples(*[st.integers(-1, n)] * 3), min_size=m, max_size=m))
    return (array(v, "f4").reshape(-1, 3), np.ones((normals, 3), np.float32),
            np.array(idx, np.int32).reshape(-1, 3)), {"material_id": draw(it(-1, 3))}


def progress(nested):
    plain = st.sampled_from([Progress("none"), Progress("record"), Progress("raise"),
                             Progress("five"), Progress("bar")])
    if nested is None:
        return plain
    ops = st.lists(nested, min_size=1, max_size=4)
    return st.one_of(plain, ops.map(lambda o: Progress("mutate", o)),
                     ops.map(lambda o: Progress("thread", o)))


def no_args():
    return st.just(((), {}))


def args(*parts, **named):
    return st.tuples(st.tuples(*parts), st.fixed_dictionaries(named))


# Every scene method: (changes the scene, strategy of its (args, kwargs)).
SCENE_METHODS = {
    "add_mesh": (True, mesh()),
    "add_instance": (True, args(it(-1, 3), fl(), fl(), fl(), st.one_of(st.just(1.0), fl(-2, 2)))),
    "add_instance_xform": (True, args(it(-1, 3), st.one_of(xform(IDENTITY), flat([11, 12])))),
    "update_instance_transform": (True, args(it(-1, 3), xform(IDENTITY))),
    "refit_ias": (True, no_args()),
    "set_num_bands": (True, args(st.one_of(st.integers(-1, 3), st.sampled_from([2**20, 2**31 - 1])))),
    "add_material": (True, args(st.sampled_from([0, 1, 13, 5, -1]), it(-2, 40),
                                st.lists(st.one_of(fl(), st.just("x")), max_size=10))),
    "upload_spectral_params": (True, args(st.one_of(
        flat([0, 8, 64, 64, 64], st.one_of(fl(0, 1), fl(0, 2000))),
        st.sampled_from([Huge(2**31), Huge(2**40)])))),
    "set_emitter": (True, args(it(), DIRECTION, it(-1, 60))),
    "update_emitter_direction": (True, args(DIRECTION)),
    "set_sensor": (True, st.tuples(
        st.sampled_from([0, 1, 4, 7]), st.sampled_from(SENSOR_SIZES), fl(0, 40), fl(0, 40),
        st.one_of(xform(CAMERA), flat([12, 16])),
        st.fixed_dictionaries({"fov": st.one_of(fl(0, 200), st.just(60.0)),
                               "projection_type": it(-1, 4), "terrain_following": st.booleans()}))
        .map(lambda t: ((t[0], *t[1], *t[2:5]), t[5]))),
    "set_sky": (True, args(it(-1, 60))),
    "set_hw_sky": (True, args(it(-1, 60), fl(-1, 1), fl(-1, 1), fl(-1, 1))),
    "set_thermal_mode": (True, args(st.booleans(), st.lists(fl(300, 12000), max_size=5))),
    "set_repetitive": (True, args(st.one_of(st.integers(-1, 4), st.just(100)), fl(0, 40), fl(0, 40))),
    "build": (True, no_args()),
    "is_built": (False, no_args()),
    "has_gpu_meshes": (False, no_args()),
    "clear_for_reuse": (True, no_args()),
    "build_reuse_gas": (True, no_args()),
    "total_triangles": (False, no_args()),
    "num_instances": (False, no_args()),
    "max_height": (False, no_args()),
    "set_measurement_plane": (True, args(fl())),
}

MUTATORS = {name for name, (mutates, _) in SCENE_METHODS.items() if mutates}


def simulations(nested):
    """The CPU engines with bounded work and odd arguments."""
    work = st.sampled_from
    # Keyword-only extras of the CPU engines: the set of random streams and the threads.
    seed = work([0, 0, 1, 2**63 - 1, -1, 2**64])
    threads = work([0, 0, 1, 2, 3, -1, 4096, 4097])
    cpu = args(spp=work([-1, 0, 1, 2, 3, 1, 2]), max_depth=work([-1, 0, 1, 3, 8, 8, 2**31 - 1]),
               progress=progress(nested), seed=seed, num_threads=threads)
    forward = args(
        nx=work([1, 2, 3, 1, 2, 0, -1, 100000, 2**31 - 1]), ny=work([1, 2, 1, 0, 2**31 - 1]),
        layer_heights=st.one_of(st.just([0.0, 1.0, 3.0, 8.0]), flat([0, 1, 2, 3, 4], fl(-5, 30))),
        num_photons=st.one_of(st.integers(-1, 2000), st.just(0)),
        num_bands=work([1, 2, 3, 0, -1, 1000]), per_leaf=st.booleans(),
        brf_directions=flat([0, 3, 6], st.one_of(st.sampled_from([0.0, 1.0, 0.3]), fl(-2, 2))),
        num_brf_dirs=st.integers(-1, 3), prob_sun=st.one_of(st.floats(0, 1, width=32), fl(0, 1), st.just(1.0)),
        max_depth=work([-1, 0, 2, 16, 2**31 - 1]), terrain_instance_id=st.integers(-2, 3),
        progress=progress(nested), seed=seed, num_threads=threads)
    def pulses(n, value, elem):
        ok = np.tile(np.float32(value), max(n, 0))
        m = 3 * max(n, 0)
        return st.one_of(st.just(ok), flat([m, m, m + 3, 2], elem))
    lidar = st.integers(-1, 4).flatmap(lambda n: args(
        pulses(n, [1.0, 2.0, 20.0], fl(-5, 40)), pulses(n, [0.1, 0.0, -1.0], fl(-2, 2)), st.just(n),
        beam_half_angle_rad=st.one_of(st.just(0.0005), fl(-0.1, 1.6)),
        beam_samples_per_dim=work([-1, 0, 1, 2, 5, 12, 1025, 2**31 - 1]),
        pulse_energy=fl(0, 5), sensor_area=fl(0, 1),
        range_resolution=st.one_of(st.just(0.15), fl(0.01, 5), st.sampled_from([0.0, -1.0])),
        min_range=st.one_of(st.just(0.0), fl(-10, 50)),
        max_range=st.one_of(st.just(100.0), fl(-10, 200), st.just(1e6)),
        num_wavelengths=st.integers(-1, 3), pulse_fwhm_ns=st.one_of(st.just(4.0), fl(0, 50)),
        peak_threshold=st.one_of(st.just(1e-8), fl(-1, 1)), max_returns_per_pulse=it(-1, 6),
        direct_mode=st.booleans(), progress=progress(nested), num_threads=threads))
    samples = work([-1, 0, 1, 3, 8])
    sun = dict(sun_dir_x=fl(-2, 2), sun_dir_y=fl(-2, 2), sun_dir_z=fl(-2, 2),
               two_sided=st.booleans(), sw_albedos=st.one_of(st.none(), flat([0, 1, 2, 4, 8], fl(-1, 2))),
               temperatures=st.one_of(st.none(), flat([0, 2, 4], fl(-10, 400))),
               emissivities=st.one_of(st.none(), flat([0, 2, 4], fl(-1, 2))),
               progress=progress(nested), seed=seed, num_threads=threads)
    balance = args(band_type=work([0, 1, -1, 5]), n_samples=samples, sun_irradiance=fl(-1, 1000),
                   sky_diffuse_radiance=fl(-1, 100), sky_lw_radiance=fl(-1, 400), **sun)
    multiband = args(work([-1, 0, 1, 2, 3]), n_samples=samples,
                     sun_irradiance=flat([0, 1, 2, 3], fl(-1, 1000)),
                     sky_diffuse_radiance=flat([0, 1, 2, 3], fl(-1, 100)), **sun)
    return st.one_of(cpu.map(lambda a: ("m.simulate_cpu",) + a),
                     forward.map(lambda a: ("m.simulate_forward_cpu",) + a),
                     lidar.map(lambda a: ("m.simulate_lidar_cpu",) + a),
                     balance.map(lambda a: ("m.run_energy_balance_cpu",) + a),
                     multiband.map(lambda a: ("m.run_energy_balance_multiband_cpu",) + a))


SIMULATIONS = {"m.simulate_cpu", "m.simulate_forward_cpu", "m.simulate_lidar_cpu",
               "m.run_energy_balance_cpu", "m.run_energy_balance_multiband_cpu"}


MODULE_CALLS = {
    "m.make_ground_plane": args(fl(-60, 60), fl(-60, 60), it()),
    "m.make_sphere": args(fl(-3, 3), DIRECTION, st.integers(-2, 4)),
    "m.make_cylinder": args(fl(-3, 3), fl(-3, 3), st.one_of(st.integers(-2, 16), st.just(0))),
    "m.device_info": args(it()),
    "m.OptiXContext": args(it()),
    "m.set_verbose": args(st.booleans()),
    "m.get_verbose": no_args(),
}
# Names the module has only when its GPU backend was built; without a GPU their
# construction fails, which is what is exercised here.
for _name in ("SceneManager", "Simulator"):
    if hasattr(vorn_gpu, _name):
        MODULE_CALLS["m." + _name] = st.tuples(st.lists(st.sampled_from([0, "ptx", None]), max_size=2)
                                               .map(tuple), st.just({}))


# The settings that shape rays: drawn more often than the rest.
RAY_SETTINGS = ["set_sensor", "set_emitter", "update_emitter_direction", "add_instance",
                "add_instance_xform", "update_instance_transform", "set_repetitive",
                "set_measurement_plane", "set_hw_sky", "build", "refit_ias"]


def scene_step(names=None):
    calls = [st.tuples(st.just(name), strategy) for name, (_, strategy) in SCENE_METHODS.items()
             if names is None or name in names]
    return st.one_of(*calls).map(lambda t: (t[0],) + t[1])


def module_step():
    calls = [st.tuples(st.just(name), strategy) for name, strategy in MODULE_CALLS.items()]
    return st.one_of(st.one_of(*calls).map(lambda t: (t[0],) + t[1]),
                     st.just(("new_scene", (), {})))


def valid_scene():
    """The steps of a scene that builds and simulates, for odd calls to go deep."""
    ground = vorn_gpu.make_ground_plane(30, 30)
    sphere = vorn_gpu.make_sphere(2.0, [0, 0, 3], 1)
    return [("set_num_bands", (2,), {}),
            ("upload_spectral_params", (np.linspace(0.05, 0.9, 64).astype(np.float32),), {}),
            ("add_material", (0, 0, []), {}), ("add_material", (13, 2, [0.5, 0.4, 300, 305, 290]), {}),
            ("add_mesh", (ground["vertices"], ground["normals"], ground["indices"]), {"material_id": 0}),
            ("add_mesh", (sphere["vertices"], sphere["normals"], sphere["indices"]), {"material_id": 1}),
            ("add_instance", (0,), {}), ("add_instance", (1, 1.0, 1.0, 0.0, 0.8), {}),
            ("set_emitter", (0, np.array([0.3, 0.2, 0.9]), 10), {}),
            ("set_sensor", (0, 4, 3, 20.0, 20.0, np.array(CAMERA, np.float32)), {}),
            ("set_sky", (20,), {}), ("set_repetitive", (2, 30.0, 30.0), {}),
            ("set_thermal_mode", (False, [500.0, 600.0]), {}), ("build", (), {})]


def programs(max_steps=8):
    """Half of the sequences start from a valid scene; every one ends with a
    simulation or two, so odd values set on the way reach the engines."""
    nested = st.one_of(scene_step(), simulations(None))
    step = st.one_of(scene_step(), scene_step(RAY_SETTINGS), simulations(nested), module_step())
    return st.tuples(st.sampled_from([True, True, True, False]), st.lists(step, max_size=max_steps),
                     st.lists(simulations(nested), min_size=1, max_size=2)).map(
        lambda t: (valid_scene() if t[0] else []) + t[1] + t[2])


# ---- the child ----------------------------------------------------------------------


class Runner:
    """Runs a program, counting calls and noting every breach of the contract:
    an exception other than the documented kinds, a change accepted while a
    simulation runs, or an idle scene reported in use."""

    def __init__(self):
        self.scene = vorn_gpu.EmbreeSceneManager()
        self.calls = 0
        self.breaches = []

    def value(self, v):
        if isinstance(v, Huge):
            return np.broadcast_to(np.float32(0.5), (v.n,))
        if isinstance(v, Progress):
            return self.progress(v)
        return v

    def progress(self, p):
        if p.kind == "none":
            return None
        if p.kind == "five":
            return 5
        if p.kind == "bar":
            return type("Bar", (), {"total": None, "update": lambda self, n: None})()
        if p.kind == "raise":
            def stop(*_):
                raise StopRun("stop")
            return stop
        if p.kind == "mutate":
            return lambda *_: [self.step(op, during=True) for op in p.ops]
        return lambda *_: time.sleep(0.001)  # "record" and "thread": lets a thread run

    def step(self, op, during=False):
        name, args, kwargs = op
        self.calls += 1
        if name == "new_scene":
            self.scene = vorn_gpu.EmbreeSceneManager()
            return
        args = [self.value(a) for a in args]
        kwargs = {k: self.value(v) for k, v in kwargs.items()}
        if name.startswith("m."):
            fn = getattr(vorn_gpu, name[2:])
            if name in SIMULATIONS:
                args = [self.scene] + args
        else:
            fn = getattr(self.scene, name)
        thread_ops = [p.ops for p in op[2].values() if isinstance(p, Progress) and p.kind == "thread"]
        worker = self.start_thread(thread_ops[0]) if thread_ops else None
        try:
            fn(*args, **kwargs)
            if during is True and name in MUTATORS:
                self.breaches.append(f"{name} changed the scene during a simulation")
        except ALLOWED as e:
            # A TypeError comes from matching the signature, before the call.
            if during is True and name in MUTATORS and IN_USE not in str(e) and \
                    not isinstance(e, TypeError):
                self.breaches.append(f"{name} during a simulation raised {e!r}, not {IN_USE!r}")
            if during is False and IN_USE in str(e):
                self.breaches.append(f"{name} on an idle scene raised {e!r}")
        except StopRun:
            pass
        except Exception as e:  # noqa: BLE001 - anything else breaks the contract
            self.breaches.append(f"{name} raised {type(e).__name__}: {e}")
        finally:
            if worker:
                worker[0].set()
                worker[1].join()

    def start_thread(self, ops):
        """Runs `ops` from a second thread, a bounded number of rounds, until the
        call that started it returns."""
        done = threading.Event()

        def loop():
            for _ in range(20):
                for sub in ops:
                    if done.is_set():
                        return
                    self.step(sub, during=None)  # timing decides: either outcome is fine
        t = threading.Thread(target=loop)
        t.start()
        return done, t


def describe(program):
    """The sequence as calls, one per line, arrays shortened to dtype and shape
    unless they are small."""
    def show(v):
        if isinstance(v, np.ndarray) and v.size > 16:
            return f"<{v.dtype}{list(v.shape)}>"
        if isinstance(v, np.ndarray):
            return f"np.array({v.tolist()!r}, {str(v.dtype)!r})"
        if isinstance(v, Progress) and v.ops:
            return f"Progress({v.kind!r}, [{'; '.join(call(o) for o in v.ops)}])"
        return repr(v)

    def call(op):
        name, args, kwargs = op
        parts = [show(a) for a in args] + [f"{k}={show(v)}" for k, v in kwargs.items()]
        return f"{name}({', '.join(parts)})"
    return "\n".join(call(op) for op in program)


def run_in_child(program, conn, log_path):
    """Child body: output to a file the parent reads on failure, memory capped,
    the program run, and (calls, breaches) sent back."""
    fd = os.open(log_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    os.dup2(fd, 1)
    os.dup2(fd, 2)
    resource.setrlimit(resource.RLIMIT_AS, (CHILD_MEMORY, CHILD_MEMORY))
    runner = Runner()
    for op in program:
        runner.step(op)
    conn.send((runner.calls, runner.breaches))
    conn.close()


_context = None


def run(program, timeout=60.0):
    """Runs `program` in a forked child. Returns (outcome, calls, detail):
    outcome "ok", "breach", "crash" (killed by a signal or a non-zero exit) or
    "hang" (no exit within `timeout` seconds)."""
    global _context
    if _context is None:
        os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")  # a single-threaded fork server
        _context = multiprocessing.get_context("forkserver")
        _context.set_forkserver_preload(["numpy", "vorn_gpu", "hypothesis", __name__])
    recv, send = _context.Pipe(duplex=False)
    with tempfile.NamedTemporaryFile(prefix="vorn_fuzz_", suffix=".log") as log:
        child = _context.Process(target=run_in_child, args=(program, send, log.name))
        child.start()
        send.close()
        child.join(timeout)
        try:
            result = recv.recv() if recv.poll() else None
        except EOFError:  # the child died before it could report
            result = None
        if child.is_alive():
            child.kill()
            child.join()
            outcome = "hang"
        elif child.exitcode != 0 or result is None:
            outcome = "crash"
        else:
            outcome = "breach" if result[1] else "ok"
        tail = open(log.name, errors="replace").read()[-3000:]
    calls, breaches = result if result else (0, [])
    detail = "\n".join(breaches) if outcome == "breach" else (
        f"exit code {child.exitcode}\n--- output tail ---\n{tail}")
    return outcome, calls, detail
