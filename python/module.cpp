// Entry of the vorn_gpu extension. The binding library checks the interpreter
// version before anything else; nothing here touches a device or starts a
// thread.
#include <pybind11/pybind11.h>

#include "python/bindings.h"

#ifndef VORN_VERSION
#define VORN_VERSION "0.1.0"
#endif

PYBIND11_MODULE(vorn_gpu, m) {
    using namespace vorn::py_bind;
    m.doc() = "VORN - GPU-accelerated 3D Radiative Transfer Model";
    m.attr("__version__") = VORN_VERSION;
    bind_gpu(m);
    bind_generators(m);
    m.attr("HAS_EMBREE") = true;
    bind_cpu_scene(m);
    bind_backward(m);
    bind_forward(m);
    bind_lidar(m);
    bind_energy_balance(m);
    bind_diagnostics(m);
    bind_enums(m);
}
