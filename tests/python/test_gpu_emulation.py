"""OptiXContext and device_info on the host emulation of the GPU platform.

Run through ctest (gpu_emulation_pytest), which puts the emulated build of the
module on PYTHONPATH and the stand-in OptiX driver on LD_LIBRARY_PATH. The
emulated device: "VORN emulated device", 24 GiB, compute capability 8.6.
"""
import os
import subprocess
import sys
import textwrap

import pytest

import vorn_gpu

pytestmark = pytest.mark.skipif(
    "VORN_OPTIX_EMU_PROGRAMS" not in os.environ,
    reason="needs the emulated GPU platform (run through ctest)")

EMULATED_NAME = "VORN emulated device"
EMULATED_MIB = 25769803776 >> 20  # 24 GiB


def run_python(code, **env_changes):
    """Runs `code` in a fresh interpreter; returns its stdout."""
    env = {**os.environ, **env_changes}
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                         text=True, env=env, timeout=120)
    assert out.returncode == 0, out.stderr
    return out.stdout.strip()


def test_context_reports_the_emulated_device():
    ctx = vorn_gpu.OptiXContext()
    assert ctx.device_name() == EMULATED_NAME
    assert ctx.total_vram_mb() == EMULATED_MIB == 24576
    # Nothing is allocated on the emulated device by creating a context.
    assert ctx.free_vram_mb() == ctx.total_vram_mb()
    assert vorn_gpu.OptiXContext(device_id=0).device_name() == EMULATED_NAME


def test_device_info_has_the_four_keys_in_order():
    info = vorn_gpu.device_info()
    assert list(info) == ["name", "total_vram_mb", "free_vram_mb", "compute_capability"]
    assert info["name"] == EMULATED_NAME
    assert info["total_vram_mb"] == EMULATED_MIB
    assert info["free_vram_mb"] == EMULATED_MIB
    assert isinstance(info["total_vram_mb"], int) and isinstance(info["free_vram_mb"], int)
    assert info["compute_capability"] == "8.6"
    assert vorn_gpu.device_info(device_id=0) == info


@pytest.mark.parametrize("device_id", [1, 99, -1])
@pytest.mark.parametrize("call", [vorn_gpu.OptiXContext, vorn_gpu.device_info])
def test_bad_device_id_fails_at_set_device(call, device_id):
    with pytest.raises(RuntimeError) as err:
        call(device_id)
    assert str(err.value) == "Failed to set CUDA device: invalid device ordinal"


def test_missing_driver_library_fails_to_initialize_optix():
    # A fresh process: once loaded, the driver library stays open.
    out = run_python("""
        import vorn_gpu
        for call in (vorn_gpu.OptiXContext, vorn_gpu.device_info):
            try:
                call()
                print("no error")
            except RuntimeError as e:
                print(e)
    """, LD_LIBRARY_PATH="")
    assert out.splitlines() == ["Failed to initialize OptiX"] * 2


@pytest.mark.parametrize("served, works", [
    ("118,105", True),
    ("118", True),
    ("105", True),   # a 570/580-branch driver: 118 refused with 7801, 105 served
    ("", False),     # a driver too old for both
])
def test_driver_abi_fallback(monkeypatch, served, works):
    monkeypatch.setenv("VORN_OPTIX_EMU_ABIS", served)
    if works:
        assert vorn_gpu.OptiXContext().device_name() == EMULATED_NAME
    else:
        with pytest.raises(RuntimeError) as err:
            vorn_gpu.OptiXContext()
        assert str(err.value) == "Failed to initialize OptiX"


@pytest.mark.parametrize("messages, shown", [
    ("1:FATAL:first;2:ERR:second;3:WARN:third;4:PRINT:fourth",
     "[OptiX][FATAL] first\n[OptiX][ERR] second\n"),
    ("3:DISK CACHE:opened;4:INFO:hello", ""),
    ("2:COMPILER:bad things happened", "[OptiX][COMPILER] bad things happened\n"),
])
def test_log_callback_prints_fatal_and_error_only(monkeypatch, capfd, messages, shown):
    monkeypatch.setenv("VORN_OPTIX_EMU_LOG", messages)
    capfd.readouterr()
    vorn_gpu.OptiXContext()
    out, err = capfd.readouterr()
    assert err == shown
    assert out == ""


def test_ptx_dir_lies_beside_the_module():
    here = os.path.dirname(os.path.abspath(vorn_gpu.__file__))
    assert os.path.abspath(vorn_gpu.PTX_DIR) == os.path.join(here, "vorn_gpu_ptx")
