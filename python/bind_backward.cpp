// simulate_cpu: the CPU backward renderer behind the documented signature.
#include "embree/backward.h"
#include "python/bindings.h"
#include "python/convert.h"

namespace vorn::py_bind {

namespace {

constexpr int kRussianRouletteDepth = 3;
constexpr int kAllHardwareThreads = 0;

constexpr const char* kSimulateCpuDoc =
    "Render the scene's sensor image on the CPU: spp passes of one path per pixel, "
    "returned as float32 (height, width, bands) holding the mean over passes. "
    "max_depth counts scattering events: the sun is sampled at each of the first "
    "max_depth surface hits, while sky light is seen only by a path that escapes "
    "after a scattering event, so after at most max_depth - 1 of them "
    "(max_depth=1 lights surfaces by the sun alone; camera rays that miss still "
    "see the sky). progress(done, total, ms) is called after every pass.\n\n"
    "Keyword-only per-primitive data, as the GPU scene takes it: one value per "
    "primitive, numbered instance by instance and within an instance in triangle "
    "order (the scene's total triangle count of them). primitive_temperatures "
    "(K): in thermal mode the primitive emits at this temperature instead of its "
    "material's params[2..4] (a value <= 0 emits nothing). primitive_emissivities: "
    "the long-wave emissivity of the primitive in every band, in place of its "
    "material's spectral value, in emission (eps B(lambda, T)) and, for a "
    "Lambertian surface in thermal mode, in reflection (1 - eps). sif_spectra: "
    "float32[n_sif_bands * n_primitives], band-major (sif_spectra[b * n + p]), "
    "the solar-induced fluorescence leaving the emitting face as isotropic "
    "radiance in the image's units (e.g. W m^-2 sr^-1 nm^-1); SIF band b adds to "
    "image band b, bands beyond the image's are ignored. Each surface hit adds its "
    "primitive's SIF times the path throughput; a leaf (material type 13) emits "
    "from both faces, any other material from its front face only (the side that "
    "cross(v1 - v0, v2 - v0) points to). sif_only: the camera sees the SIF of the "
    "first surface it hits and nothing else (no sun, sky, thermal emission or "
    "scattering).";

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
                                int n_sif_bands, bool sif_only) {
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
        scene, spp, max_depth, kRussianRouletteDepth, kAllHardwareThreads,
        wrap_progress_interruptible(progress), prims);
    report_rejected_rays(scene.rejected_rays() - rejected, "[CPU bwd]");
    return to_array(img.image, {img.height, img.width, img.nb});
}

}  // namespace

void bind_backward(py::module_& m) {
    m.def("simulate_cpu", &simulate_cpu, py::arg("scene"), py::arg("spp") = 16,
          py::arg("max_depth") = 16, py::arg("progress") = py::none(), py::kw_only(),
          py::arg("primitive_temperatures") = py::none(),
          py::arg("primitive_emissivities") = py::none(), py::arg("sif_spectra") = py::none(),
          py::arg("n_sif_bands") = 0, py::arg("sif_only") = false, kSimulateCpuDoc);
}

}  // namespace vorn::py_bind
