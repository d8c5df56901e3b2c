"""The production module (no emulation on the library path): without a GPU the
context fails at the first CUDA call; with one it reports the device."""
import os
import re
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
    # A module built without the CUDA toolkit says so; else CUDA's reason follows.
    want = "GPU backend was not built" if vorn_gpu.PTX_DIR is None else "^Failed to set CUDA device: ."
    assert re.search(want, str(err.value)), str(err.value)


@pytest.mark.skipif(not GPU_PRESENT, reason="no GPU on this machine")
def test_context_on_a_real_gpu():
    ctx, info = vorn_gpu.OptiXContext(), vorn_gpu.device_info()
    assert list(info) == ["name", "total_vram_mb", "free_vram_mb", "compute_capability"]
    assert info["name"] == ctx.device_name() and 0 < ctx.free_vram_mb() <= ctx.total_vram_mb()
    assert int(info["compute_capability"].split(".")[0]) >= 7
