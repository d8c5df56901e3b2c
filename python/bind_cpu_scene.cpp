#include "embree/scene_manager.h"
#include "python/bind_scene_common.h"
#include "python/bindings.h"
#include "python/docstrings.h"

namespace vorn::py_bind {

void bind_cpu_scene(py::module_& m) {
    using vorn::embree::EmbreeSceneManager;
    py::class_<EmbreeSceneManager> c(m, "EmbreeSceneManager", doc::kEmbreeSceneManager);
    c.def(py::init<>(), doc::kEmbreeSceneManagerInit);
    bind_scene_methods(c);
}

}  // namespace vorn::py_bind
