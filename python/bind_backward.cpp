// simulate_cpu: the CPU backward renderer behind the documented signature.
#include <string>

#include "embree/backward.h"
#include "python/bindings.h"
#include "python/convert.h"
#include "python/docstrings.h"

namespace vorn::py_bind {

namespace {

constexpr int kRussianRouletteDepth = 3;

/// All values of an optional 1-D array; `name` must be 1D, else RuntimeError.
std::vector<float> optional_1d(const py::object& a, const char* name) {
    if (a.is_none()) return {};
    const FloatArray arr = py::cast<FloatArray>(a);
    if (arr.ndim() != 1) throw std::runtime_error(std::string(name) + " must be 1D");
    return read_1d(arr, "simulate_cpu", name);
}

py::array_t<float> simulate_cpu(vorn::embree::EmbreeSceneManager& scene, int spp,
                                int max_depth, const py::object& progress,
                                const py::object& temperatures,
                                const py::object& emissivities, const py::object& sif,
                                int n_sif_bands, bool sif_only, long long seed,
                                int num_threads) {
    const char* who = "simulate_cpu";
    if (spp < 0)
        throw std::runtime_error(std::string(who) + ": spp must be >= 0, got " +
                                 std::to_string(spp));
    const uint64_t stream_set = check_seed(seed, who);
    const int threads = check_threads(num_threads, who);
    // The zero sensor would render an empty image without a word; a scene
    // that is not built keeps the engine's own message.
    if (scene.is_built() && !scene.sensor_set)
        throw std::runtime_error(std::string(who) +
                                 ": the scene has no sensor. Call set_sensor() first.");
    vorn::embree::PrimitiveInputs prims;
    prims.temperatures = optional_1d(temperatures, "primitive_temperatures");
    prims.emissivities = optional_1d(emissivities, "primitive_emissivities");
    if (!sif.is_none()) {  // any shape, read in C order as the GPU scene reads it
        using CFloatArray = py::array_t<float, py::array::c_style | py::array::forcecast>;
        const CFloatArray a = py::cast<CFloatArray>(sif);
        prims.sif.assign(a.data(), a.data() + a.size());
    }
    prims.n_sif_bands = n_sif_bands;
    prims.sif_only = sif_only;
    // Interruptible even without a callable: Ctrl-C is noticed between passes
    // on this thread, and the partial image is dropped with the exception.
    const uint64_t rejected = scene.rejected_rays();
    vorn::embree::BackwardImage img = vorn::embree::render_backward(
        scene, spp, max_depth, kRussianRouletteDepth, threads,
        wrap_progress_interruptible(progress), prims, stream_set);
    report_rejected_rays(scene.rejected_rays() - rejected, "[CPU bwd]");
    return to_array(img.image, {img.height, img.width, img.nb});
}

}  // namespace

void bind_backward(py::module_& m) {
    m.def("simulate_cpu", &simulate_cpu, py::arg("scene"), py::arg("spp") = 16,
          py::arg("max_depth") = 16, py::arg("progress") = py::none(), py::kw_only(),
          py::arg("primitive_temperatures") = py::none(),
          py::arg("primitive_emissivities") = py::none(), py::arg("sif_spectra") = py::none(),
          py::arg("n_sif_bands") = 0, py::arg("sif_only") = false, py::arg("seed") = 0,
          py::arg("num_threads") = 0, doc::kSimulateCpu);
}

}  // namespace vorn::py_bind
