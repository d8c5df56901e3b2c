"""OptiXContext and device_info on the host emulation of the GPU platform.

Run through ctest (gpu_emulation_pytest), which puts the emulated build of the
module on PYTHONPATH and the stand-in OptiX driver on LD_LIBRARY_PATH. The
emulated device: "VORN emulated device", 24 GiB, compute capability 8.6.
"""
import os
import subprocess
import sys

import pytest

import vorn_gpu

pytestmark = pytest.mark.skipif("VORN_OPTIX_EMU_PROGRAMS" not in os.environ,
                                reason="needs the emulated GPU platform (run through ctest)")

EMULATED = "VORN emulated device"


def test_context_and_device_info_report_the_emulated_device():
    ctx = vorn_gpu.OptiXContext()
    assert ctx.device_name() == EMULATED
    assert ctx.total_vram_mb() == 25769803776 >> 20 == 24576
    assert ctx.free_vram_mb() == ctx.total_vram_mb()  # a context allocates nothing
    info = vorn_gpu.device_info(device_id=0)
    assert list(info) == ["name", "total_vram_mb", "free_vram_mb", "compute_capability"]
    assert info == {"name": EMULATED, "total_vram_mb": 24576, "free_vram_mb": 24576,
                    "compute_capability": "8.6"}
    assert isinstance(info["total_vram_mb"], int) and isinstance(info["free_vram_mb"], int)
    here = os.path.dirname(os.path.abspath(vorn_gpu.__file__))  # PTX_DIR lies beside the module
    assert os.path.abspath(vorn_gpu.PTX_DIR) == os.path.join(here, "vorn_gpu_ptx")


@pytest.mark.parametrize("device_id", [1, -1])
@pytest.mark.parametrize("call", [vorn_gpu.OptiXContext, vorn_gpu.device_info])
def test_bad_device_id_fails_at_set_device(call, device_id):
    with pytest.raises(RuntimeError) as err:
        call(device_id)
    assert str(err.value) == "Failed to set CUDA device: invalid device ordinal"


@pytest.mark.parametrize("env, shown, log", [
    ({"LD_LIBRARY_PATH": ""}, "Failed to initialize OptiX", None),  # no driver library
    ({"VORN_OPTIX_EMU_ABIS": ""}, "Failed to initialize OptiX", None),  # refuses 118 and 105
    ({"VORN_OPTIX_EMU_ABIS": "105"}, EMULATED, ""),  # a 570/580-branch driver
    # The context shows the driver's fatal and error messages only.
    ({"VORN_OPTIX_EMU_LOG": "1:FATAL:first;2:ERR:second;3:WARN:third;4:PRINT:fourth"}, EMULATED,
     "[OptiX][FATAL] first\n[OptiX][ERR] second\n"),
])
def test_driver_library_abi_fallback_and_log(env, shown, log):
    # A fresh process: once loaded, the driver library stays open.
    code = ("import vorn_gpu\n"
            "for call in (lambda: vorn_gpu.OptiXContext().device_name(),\n"
            "             lambda: vorn_gpu.device_info()['name']):\n"
            "    try:\n        print(call())\n"
            "    except RuntimeError as e:\n        print(e)\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         env={**os.environ, **env}, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == [shown] * 2
    assert log is None or set(out.stderr.splitlines()) == set(log.splitlines())  # once per context

