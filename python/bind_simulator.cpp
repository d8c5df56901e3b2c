// Python side of the GPU simulator: Simulator(ctx, ptx_dir), init and the
// backward image. The simulator refers to the context's device context and
// stream, so it keeps the context alive.
#ifdef VORN_WITH_GPU

#include "gpu/simulator.h"
#include "python/bindings.h"
#include "python/convert.h"
#include "python/docstrings.h"

namespace vorn::py_bind {

namespace {

py::array_t<float> simulate(Simulator& sim, SceneManager& scene, int spp, int max_depth,
                            const py::object& progress) {
    const SceneData record = scene.get_scene_data();
    const py::ssize_t height = record.sensor.height, width = record.sensor.width;
    const py::ssize_t bands = record.num_bands;
    // Interruptible even without a callable: Ctrl-C is noticed between samples.
    const std::vector<float> image =
        sim.simulate(scene, spp, max_depth, wrap_progress_interruptible(progress));
    return to_array(image, {height, width, bands});
}

}  // namespace

void bind_simulator(py::module_& m) {
    py::class_<Simulator>(m, "Simulator", doc::kSimulator)
        .def(py::init<OptiXContext&, std::string>(), py::keep_alive<1, 2>(), py::arg("context"),
             py::arg("ptx_dir"), py::pos_only(), doc::kSimulatorInit)
        .def("init", &Simulator::init, doc::kSimulatorInitPipeline)
        .def("simulate", &simulate, py::arg("scene"), py::arg("spp") = 16,
             py::arg("max_depth") = 16, py::arg("progress") = py::none(), doc::kSimulate);
}

}  // namespace vorn::py_bind

#endif  // VORN_WITH_GPU
