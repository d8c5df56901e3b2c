"""Module frame: attributes, import side effects, registration."""
import os
import subprocess
import sys
import textwrap

import vorn_gpu


def test_attributes():
    assert vorn_gpu.__doc__ == "VORN - GPU-accelerated 3D Radiative Transfer Model"
    assert vorn_gpu.__version__ == "0.1.0"
    assert vorn_gpu.HAS_EMBREE is True


def test_import_starts_no_thread_and_touches_no_device():
    # A fresh interpreter: the thread count of the process must not change at
    # import, and no CUDA or OptiX library may be loaded by it.
    code = textwrap.dedent("""
        import os
        def threads():
            return len(os.listdir('/proc/self/task'))
        def maps():
            with open('/proc/self/maps') as f:
                return f.read()
        before = threads()
        import vorn_gpu
        after = threads()
        m = maps()
        print(before, after, 'libcuda.so' in m, 'libnvoptix' in m)
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True,
                         env={**os.environ, "OMP_NUM_THREADS": "1"})
    before, after, cuda, optix = out.stdout.split()
    assert before == after
    assert cuda == "False" and optix == "False"


def test_every_api_name_is_registered():
    names = ["device_info", "make_ground_plane", "make_sphere", "make_cylinder", "simulate_cpu",
             "simulate_forward_cpu", "simulate_lidar_cpu", "OptiXContext", "EmbreeSceneManager"]
    missing = [n for n in names if not hasattr(vorn_gpu, n)]
    assert missing == []


def test_scene_objects_are_not_picklable_or_copyable():
    import copy
    import pickle
    scene = vorn_gpu.EmbreeSceneManager()
    try:
        pickle.dumps(scene)
    except (TypeError, pickle.PicklingError):
        pass
    else:
        raise AssertionError("EmbreeSceneManager must not pickle")
    try:
        copy.copy(scene)
    except TypeError:
        pass
    else:
        raise AssertionError("EmbreeSceneManager must not copy")
