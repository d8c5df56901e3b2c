"""Module frame: attributes and import side effects."""
import os
import subprocess
import sys

import vorn_gpu


def test_attributes():
    assert (vorn_gpu.__doc__, vorn_gpu.__version__, vorn_gpu.HAS_EMBREE) == (
        "VORN - GPU-accelerated 3D Radiative Transfer Model", "0.1.0", True)


def test_import_starts_no_thread_and_touches_no_device():
    # In a fresh interpreter the thread count must not change at import, and no
    # CUDA or OptiX library may be loaded by it.
    code = (
        "import os\n"
        "before = len(os.listdir('/proc/self/task'))\n"
        "import vorn_gpu\n"
        "after = len(os.listdir('/proc/self/task'))\n"
        "m = open('/proc/self/maps').read()\n"
        "print(before, after, 'libcuda.so' in m, 'libnvoptix' in m)\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True,
                         env={**os.environ, "OMP_NUM_THREADS": "1"})
    before, after, cuda, optix = out.stdout.split()
    assert (after, cuda, optix) == (before, "False", "False")
