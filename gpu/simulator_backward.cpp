// The backward image on the GPU: one full-frame launch of __raygen__backward
// per sample. The device programs seed every sample from its pass and pixel
// and fold it into the running mean in `film`, as the CPU renderer does, so
// the host only clears the film, launches, reports and downloads.
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>

#include "core/diagnostics.h"
#include "gpu/optix_api.h"
#include "gpu/simulator.h"
#include "scene/checks.h"

namespace vorn {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kBackwardRrDepth = 3;
/// OptiX launches at most 2^30 indices; device programs index the film
/// (pixels times bands) with 32-bit signed ints.
constexpr int64_t kMaxLaunchIndices = int64_t(1) << 30;
constexpr int64_t kMaxFilmValues = INT32_MAX;

float elapsed_ms(Clock::time_point start) {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start);
    return float(ns.count()) / 1e6f;
}

void check_image_size(const SensorData& s, int nb) {
    const int64_t pixels = int64_t(s.width) * s.height;
    if (s.width < 0 || s.height < 0 || nb < 0 || pixels > kMaxLaunchIndices ||
        pixels * nb > kMaxFilmValues)
        throw std::runtime_error(
            "simulate: an image of " + std::to_string(s.width) + " x " +
            std::to_string(s.height) + " pixels x " + std::to_string(nb) +
            " bands is negative or too large for one launch (at most 2^30 pixels and "
            "2^31 - 1 values)");
}

}  // namespace

std::vector<float> Simulator::simulate(SceneManager& scene, int spp, int max_depth,
                                       Progress progress) {
    check_scene(scene, "Scene not built. Call scene.build() first.", "simulate");
    // The launches read the scene's device buffers: no change until the last one.
    const SceneDescription::InUse in_use(scene);
    // What the device programs would otherwise read out of bounds: material,
    // emitter and sky ranges of the spectral array, thermal wavelengths.
    scene.validate_for_engine(scene.num_bands, "simulate");
    init();

    const SceneData record = scene.get_scene_data();
    const int width = record.sensor.width, height = record.sensor.height;
    const int nb = record.num_bands;
    check_image_size(record.sensor, nb);
    const int pixels = width * height;
    build_sbt(scene);
    allocate_buffers(pixels, nb);
    buffers_.film.fill(0, "film zero");

    LaunchParams lp;
    std::memset(&lp, 0, sizeof lp);
    lp.film = static_cast<float*>(buffers_.film.data());
    lp.launch_width = uint32_t(width);
    lp.launch_height = uint32_t(height);
    lp.scene = record;
    lp.hits = buffers_.hits.data();
    lp.rngs = buffers_.rngs.data();
    lp.num_rays = uint32_t(pixels);
    lp.num_bands = uint32_t(nb);
    lp.tp = static_cast<float*>(buffers_.tp.data());
    lp.rad = static_cast<float*>(buffers_.rad.data());
    lp.max_depth = max_depth;
    lp.rr_depth = kBackwardRrDepth;
    lp.spp = spp;

    const Clock::time_point start = Clock::now();
    for (int s = 0; s < spp; ++s) {
        lp.sample_index = lp.launch_index = uint32_t(s);
        buffers_.params.copy_from_host(&lp, sizeof lp, "params");
        // An empty image has nothing to launch (a device refuses zero-sized grids).
        if (pixels > 0) {
            optix_check(optix_api().launch(pipeline_, ctx_.stream(), buffers_.params.get(),
                                           sizeof lp, &main_table_.sbt, unsigned(width),
                                           unsigned(height), 1),
                        "launch");
        }
        cuda_check(cudaDeviceSynchronize(), "sync");
        if (progress) progress(s + 1, spp, elapsed_ms(start));
    }
    const float total = elapsed_ms(start);
    DiagLine(DiagStream::Err) << "Simulate: " << width << "x" << height << " x " << nb
                              << " bands x " << spp << " spp = " << total << " ms ("
                              << total / float(spp) << " ms/spp)\n";

    std::vector<float> image;
    allocate(image, size_t(pixels) * size_t(nb), 0.0f, "simulate", "the image");
    if (!image.empty())
        buffers_.film.copy_to_host(image.data(), image.size() * sizeof(float), "download");
    return image;
}

}  // namespace vorn
