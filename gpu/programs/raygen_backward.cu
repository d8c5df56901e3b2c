// Backward ray generation: one launch index per pixel and one launch per
// sample. Each sample is the CPU renderer's own (core/backward_path.h):
// seeded from its pass and pixel, traced through the scene with this
// pipeline's rays, with the GPU scene's per-primitive temperatures,
// emissivities and SIF, and folded into the running mean of its pixel in
// `film`, so on identical hits the image equals the CPU image bit for bit.
#include "core/backward_path.h"
#include "core/scene_view.h"
#include "gpu/programs/device_tracer.h"

VORN_LAUNCH_PARAMS(vorn::LaunchParams, params)

namespace vorn::dev {

VORN_DEVICE void raygen_backward() {
    const UInt3 i = launch_index();
    SceneView sv = scene_view_from_record(params.scene);
    sv.prims = primitive_emission_from_record(params.scene);
    const int x = int(i.x), y = int(i.y);
    const int width = sv.sensor.width;
    if (x >= width || y >= sv.sensor.height || sv.nb > kMaxDeviceBands) return;
    // Per-band throughput and radiance in double, as on the CPU.
    double tp[kMaxDeviceBands], rad[kMaxDeviceBands];
    const int pass = int(params.sample_index);
    const OptixTracer tracer{params.scene.ias_handle};
    if (!render_pixel_sample(tracer, sv, x, y, pass, params.max_depth, params.rr_depth, tp,
                             rad))
        return;
    float* pixel = params.film + (size_t(y) * size_t(width) + size_t(x)) * size_t(sv.nb);
    accumulate_sample(pixel, rad, sv.nb, pass);
}

}  // namespace vorn::dev

VORN_PROGRAM(__raygen__backward) { vorn::dev::raygen_backward(); }
