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
    "see the sky). progress(done, total, ms) is called after every pass.";

py::array_t<float> simulate_cpu(vorn::embree::EmbreeSceneManager& scene, int spp,
                                int max_depth, const py::object& progress) {
    // Interruptible even without a callable: Ctrl-C is noticed between passes
    // on this thread, and the partial image is dropped with the exception.
    const uint64_t rejected = scene.rejected_rays();
    vorn::embree::BackwardImage img = vorn::embree::render_backward(
        scene, spp, max_depth, kRussianRouletteDepth, kAllHardwareThreads,
        wrap_progress_interruptible(progress));
    report_rejected_rays(scene.rejected_rays() - rejected, "[CPU bwd]");
    return to_array(img.image, {img.height, img.width, img.nb});
}

}  // namespace

void bind_backward(py::module_& m) {
    m.def("simulate_cpu", &simulate_cpu, py::arg("scene"), py::arg("spp") = 16,
          py::arg("max_depth") = 16, py::arg("progress") = py::none(), kSimulateCpuDoc);
}

}  // namespace vorn::py_bind
