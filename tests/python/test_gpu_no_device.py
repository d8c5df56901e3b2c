"""The GPU context on a machine without a GPU, and on one with a GPU.

Runs against the production module (no emulation on the library path): with
no GPU, constructing a context fails at the first CUDA call; with a GPU, the
context reports the device.
"""
import os
import shutil

import pytest

import vorn_gpu

GPU_PRESENT = os.path.exists("/dev/nvidiactl") or shutil.which("nvidia-smi") is not None
EMULATED = "VORN_OPTIX_EMU_PROGRAMS" in os.environ or "optix_driver" in os.environ.get(
    "LD_LIBRARY_PATH", "")


@pytest.mark.skipif(GPU_PRESENT, reason="a GPU is present")
@pytest.mark.skipif(EMULATED, reason="the emulated GPU platform is on the library path")
@pytest.mark.parametrize("call", [vorn_gpu.OptiXContext, vorn_gpu.device_info])
def test_without_gpu_construction_fails_at_set_device(call):
    with pytest.raises(RuntimeError) as err:
        call()
    if vorn_gpu.PTX_DIR is None:  # a module built without the CUDA toolkit
        assert "GPU backend was not built" in str(err.value)
    else:
        assert str(err.value).startswith("Failed to set CUDA device: ")
        assert len(str(err.value)) > len("Failed to set CUDA device: ")


@pytest.mark.skipif(not GPU_PRESENT, reason="no GPU on this machine")
def test_context_on_a_real_gpu():
    ctx = vorn_gpu.OptiXContext()
    assert ctx.device_name()
    assert 0 < ctx.free_vram_mb() <= ctx.total_vram_mb()
    info = vorn_gpu.device_info()
    assert list(info) == ["name", "total_vram_mb", "free_vram_mb", "compute_capability"]
    assert info["name"] == ctx.device_name()
    major, minor = info["compute_capability"].split(".")
    assert int(major) >= 7 and minor.isdigit()
    with pytest.raises(RuntimeError) as err:
        vorn_gpu.OptiXContext(99)
    assert str(err.value) == "Failed to set CUDA device: invalid device ordinal"
