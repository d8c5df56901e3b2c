"""The `backend` fixture runs each physics test once per backend present, with
the same expected values: "cpu" (left out of the emulated GPU build, which
ctest runs for the GPU backends only), "gpu-emu" (the GPU engines on the host
emulation, when the module under test was built against it: ctest sets
VORN_OPTIX_EMU_PROGRAMS, see gpu/tests/CMakeLists.txt) and "gpu" (a device),
each skipped when the module has no GPU engines. A backend offers scene(),
render(), forward() and lidar() with the CPU simulation calls' signatures, and
energy_balance() and energy_balance_multiband() with those of the CPU energy
balance (per-primitive temperatures and emissivities included)."""
import os
import shutil

import pytest

import vorn_gpu

EMULATED = "VORN_OPTIX_EMU_PROGRAMS" in os.environ
GPU_PRESENT = os.path.exists("/dev/nvidiactl") or shutil.which("nvidia-smi") is not None


class CpuBackend:
    scene = staticmethod(vorn_gpu.EmbreeSceneManager)
    render = staticmethod(vorn_gpu.simulate_cpu)
    forward = staticmethod(vorn_gpu.simulate_forward_cpu)
    lidar = staticmethod(vorn_gpu.simulate_lidar_cpu)
    energy_balance = staticmethod(vorn_gpu.run_energy_balance_cpu)
    energy_balance_multiband = staticmethod(vorn_gpu.run_energy_balance_multiband_cpu)

    @staticmethod
    def render_prims(scene, prims, **kw):
        """render() with per-primitive data: the keyword arguments of simulate_cpu."""
        return vorn_gpu.simulate_cpu(scene, **kw, **prims)


def with_overrides(run):
    """A simulator's energy-balance call taking the CPU call's per-primitive
    temperatures and emissivities: set on the scene first (cleared for None)."""
    def call(scene, *args, temperatures=None, emissivities=None, **kwargs):
        for values, name in ((temperatures, "temperatures"), (emissivities, "emissivities")):
            if values is None:
                getattr(scene, f"clear_primitive_{name}")()
            else:
                getattr(scene, f"set_primitive_{name}")(values)
        return run(scene, *args, **kwargs)
    return call


class GpuBackend:
    emulated = EMULATED

    def __init__(self):
        self.ctx = vorn_gpu.OptiXContext()
        self.sim = vorn_gpu.Simulator(self.ctx, vorn_gpu.PTX_DIR)
        self.render = self.sim.simulate
        self.forward = self.sim.simulate_forward
        self.lidar = self.sim.simulate_lidar
        self.energy_balance = with_overrides(self.sim.run_energy_balance)
        self.energy_balance_multiband = with_overrides(self.sim.run_energy_balance_multiband)

    def scene(self):
        return vorn_gpu.SceneManager(self.ctx)

    def render_prims(self, scene, prims, **kw):
        """render() with the keyword arguments of simulate_cpu's per-primitive
        data, uploaded to the GPU scene instead."""
        p = dict(prims)
        if "primitive_temperatures" in p:
            scene.set_primitive_temperatures(p.pop("primitive_temperatures"))
        if "primitive_emissivities" in p:
            scene.set_primitive_emissivities(p.pop("primitive_emissivities"))
        if "sif_spectra" in p:
            scene.set_primitive_sif_spectra(p.pop("sif_spectra"), p.pop("n_sif_bands"))
        scene.set_sif_only_mode(p.pop("sif_only", False))
        assert not p, p
        return self.render(scene, **kw)


def why_not(name):
    """Why backend `name` cannot run here, or None when it can."""
    if name == "cpu":
        return "the emulated GPU build runs the GPU backends only" if EMULATED else None
    if not hasattr(vorn_gpu, "Simulator") or vorn_gpu.PTX_DIR is None:
        return "this module has no GPU engines"
    if name == "gpu-emu":
        return None if EMULATED else "needs the emulated GPU platform (run through ctest)"
    return None if GPU_PRESENT and not EMULATED else "no GPU on this machine"


_backends = {}


def get_backend(name):
    if why_not(name):
        pytest.skip(why_not(name))
    if name not in _backends:
        _backends[name] = CpuBackend() if name == "cpu" else GpuBackend()
    return _backends[name]


@pytest.fixture(params=["cpu", "gpu-emu", "gpu"], scope="session")
def backend(request):
    return get_backend(request.param)


@pytest.fixture(params=["gpu-emu", "gpu"], scope="session")
def gpu(request):
    """The GPU backends only, for what the CPU engines do not have."""
    return get_backend(request.param)
