// Python side of the GPU device context: OptiXContext, device_info and the
// PTX_DIR attribute; the GPU scene's class is registered between them
// (bind_gpu_scene.cpp). A module built without the CUDA toolkit registers the
// same names; using them raises RuntimeError instead of failing at import.
#include <dlfcn.h>

#include <stdexcept>
#include <string>

#include "python/bindings.h"
#include "python/docstrings.h"

#ifdef VORN_WITH_GPU
#include "gpu/optix_context.h"
#endif

namespace py = pybind11;

namespace vorn::py_bind {

namespace {

#ifdef VORN_WITH_GPU

std::string compute_capability_text(const OptiXContext& ctx) {
    return std::to_string(ctx.compute_capability_major()) + "." +
           std::to_string(ctx.compute_capability_minor());
}

py::dict device_info(int device_id) {
    OptiXContext ctx(device_id);
    py::dict info;
    info["name"] = ctx.device_name();
    info["total_vram_mb"] = ctx.total_vram_mb();
    info["free_vram_mb"] = ctx.free_vram_mb();
    info["compute_capability"] = compute_capability_text(ctx);
    return info;
}

// The device programs are installed in vorn_gpu_ptx/ beside the extension
// file (in the build tree as in site-packages); find this file through the
// dynamic loader so the path holds however the module was imported.
py::object ptx_dir() {
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void*>(&device_info), &info) || !info.dli_fname) {
        return py::none();
    }
    std::string path = info.dli_fname;
    const size_t slash = path.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
    return py::str(dir + "/vorn_gpu_ptx");
}

#else

constexpr const char* kNoGpu =
    "The GPU backend was not built: this vorn_gpu has no CUDA support (build it where a "
    "CUDA "
    "toolkit is installed)";

/// Stands in for the GPU context when the module has no GPU backend.
struct NoGpuContext {
    std::string device_name() const { throw std::runtime_error(kNoGpu); }
    int total_vram_mb() const { throw std::runtime_error(kNoGpu); }
    int free_vram_mb() const { throw std::runtime_error(kNoGpu); }
};

/// Stand in for the GPU scene and simulator; neither can be built without a context.
struct NoGpuScene {};
struct NoGpuSimulator {};

#endif

}  // namespace

void bind_gpu(py::module_& m) {
#ifdef VORN_WITH_GPU
    py::class_<OptiXContext>(m, "OptiXContext", doc::kOptiXContext)
        .def(py::init<int>(), py::arg("device_id") = 0, doc::kOptiXContextInit)
        .def("device_name", &OptiXContext::device_name, doc::kDeviceName)
        .def("total_vram_mb", &OptiXContext::total_vram_mb, doc::kTotalVramMb)
        .def("free_vram_mb", &OptiXContext::free_vram_mb, doc::kFreeVramMb);
    bind_gpu_scene(m);
    bind_simulator(m);
    m.def("device_info", &device_info, py::arg("device_id") = 0, doc::kDeviceInfo);
    m.attr("PTX_DIR") = ptx_dir();
#else
    py::class_<NoGpuContext>(m, "OptiXContext", doc::kOptiXContext)
        .def(py::init([](int) -> NoGpuContext* { throw std::runtime_error(kNoGpu); }),
             py::arg("device_id") = 0, doc::kOptiXContextInit)
        .def("device_name", &NoGpuContext::device_name, doc::kDeviceName)
        .def("total_vram_mb", &NoGpuContext::total_vram_mb, doc::kTotalVramMb)
        .def("free_vram_mb", &NoGpuContext::free_vram_mb, doc::kFreeVramMb);
    py::class_<NoGpuScene>(m, "SceneManager", doc::kSceneManager)
        .def(py::init([](const py::object&) -> NoGpuScene* { throw std::runtime_error(kNoGpu); }),
             py::arg("context"), py::pos_only(), doc::kSceneManagerInit);
    py::class_<NoGpuSimulator>(m, "Simulator", doc::kSimulator)
        .def(py::init([](const py::object&, const py::object&) -> NoGpuSimulator* {
                 throw std::runtime_error(kNoGpu);
             }),
             py::arg("context"), py::arg("ptx_dir"), py::pos_only(), doc::kSimulatorInit);
    m.def(
        "device_info", [](int) -> py::dict { throw std::runtime_error(kNoGpu); },
        py::arg("device_id") = 0, doc::kDeviceInfo);
    m.attr("PTX_DIR") = py::none();
#endif
}

}  // namespace vorn::py_bind
