// GPU backward renderer throughput beside the CPU renderer's, on the canopy
// benchmark scene built identically on both backends (sun, sky, several bands,
// periodic tile, depth 8): paths and rays per second of the same image. The
// rays are counted on the CPU, whose paths are the GPU's (the same seeds and
// the same physics): every closest-hit and shadow query of the render. The
// two images must agree in every band mean to Monte Carlo noise; exit status
// 2 when they do not.
//   bench_gpu_backward <ptx_dir> [size=1024] [spp=16] [bands=4] [threads=0 (all)]
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/canopy_scene.h"
#include "core/backward_path.h"
#include "embree/backward.h"
#include "embree/scene_view.h"
#include "embree/workers.h"
#include "gpu/simulator.h"

using namespace vorn;

namespace {

constexpr int kMaxDepth = 8;
constexpr int kRrDepth = 3;
/// Band means of the two images may differ by this much (the noise of a
/// 1024 x 1024 x 16 image is far below it).
constexpr double kMaxMeanDifference = 0.01;

/// The CPU scene's queries, counted per worker.
struct CountingTracer {
    const embree::EmbreeSceneManager* scene;
    long* rays;
    auto trace_ray(const vorn::float3& o, const vorn::float3& d) const {
        ++*rays;
        return scene->trace_ray(o, d);
    }
    bool trace_shadow(const vorn::float3& o, const vorn::float3& d, float tfar) const {
        ++*rays;
        return scene->trace_shadow(o, d, tfar);
    }
};

/// Every ray the render of `spp` passes traces, counted on `threads` threads.
double count_rays(const embree::EmbreeSceneManager& scene, int size, int spp, int nb,
                  int threads) {
    const SceneView view = embree::make_scene_view(scene);
    std::vector<long> counts(size_t(threads), 0);
    std::atomic<int> next_row{0};
    std::atomic<bool> stop{false};
    embree::run_workers(threads, stop, [&](int t) {
        std::vector<double> scratch(2 * size_t(nb));
        const CountingTracer tracer{&scene, &counts[size_t(t)]};
        for (int row = next_row++; row < size * spp; row = next_row++)
            for (int x = 0; x < size; ++x)
                render_pixel_sample(tracer, view, x, row % size, row / size, kMaxDepth,
                                    kRrDepth, scratch.data(), scratch.data() + nb);
    });
    double total = 0;
    for (long c : counts) total += double(c);
    return total;
}

template <class F>
double seconds(F&& f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::vector<double> band_means(const std::vector<float>& image, int nb) {
    std::vector<double> mean(size_t(nb), 0.0);
    for (size_t i = 0; i < image.size(); ++i) mean[i % size_t(nb)] += image[i];
    for (double& m : mean) m /= double(image.size() / size_t(nb));
    return mean;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <ptx_dir> [size] [spp] [bands] [threads]\n", argv[0]);
        return 1;
    }
    const std::string ptx_dir = argv[1];
    const int size = argc > 2 ? std::atoi(argv[2]) : 1024;
    const int spp = argc > 3 ? std::atoi(argv[3]) : 16;
    const int bands = argc > 4 ? std::atoi(argv[4]) : 4;
    const int threads = embree::resolve_threads(argc > 5 ? std::atoi(argv[5]) : 0);

    bench::CanopyOptions opt;
    opt.num_bands = bands;
    opt.num_repetitions = 2;
    opt.image_width = opt.image_height = size;
    embree::EmbreeSceneManager cpu;
    const bench::CanopyScene canopy = bench::make_canopy_scene(cpu, opt);
    OptiXContext ctx(0);
    SceneManager gpu(ctx);
    bench::make_canopy_scene(gpu, opt);

    Simulator sim(ctx, ptx_dir);
    const double t_init = seconds([&] { sim.init(); });
    sim.simulate(gpu, 1, kMaxDepth, {});  // buffers and first-launch costs
    std::vector<float> gpu_image, cpu_image;
    const double t_gpu = seconds([&] { gpu_image = sim.simulate(gpu, spp, kMaxDepth, {}); });
    const double t_cpu = seconds([&] {
        cpu_image = embree::render_backward(cpu, spp, kMaxDepth, kRrDepth, threads, {}).image;
    });
    const double rays = count_rays(cpu, size, spp, bands, threads);
    const double paths = double(size) * size * spp;

    std::printf("canopy: %u triangles, %d instances, %d bands, tile x%d, image %dx%d, spp %d, "
                "depth %d; %.0f rays (%.2f per path)\n",
                canopy.total_triangles, cpu.num_instances(), bands, opt.num_repetitions, size,
                size, spp, kMaxDepth, rays, rays / paths);
    std::printf("gpu  %-28s: %8.3f s  %12.0f paths/s  %12.0f rays/s  (pipeline %.2f s)\n",
                ctx.device_name().c_str(), t_gpu, paths / t_gpu, rays / t_gpu, t_init);
    std::printf("cpu  %-28s: %8.3f s  %12.0f paths/s  %12.0f rays/s\n",
                (std::to_string(threads) + " threads").c_str(), t_cpu, paths / t_cpu,
                rays / t_cpu);
    std::printf("gpu / cpu: %.1fx\n", t_cpu / t_gpu);
    const std::vector<double> g = band_means(gpu_image, bands), c = band_means(cpu_image, bands);
    double worst = 0;
    for (int b = 0; b < bands; ++b) {
        std::printf("band %d mean: gpu %.6g  cpu %.6g\n", b, g[size_t(b)], c[size_t(b)]);
        worst = std::fmax(worst, std::fabs(g[size_t(b)] / c[size_t(b)] - 1.0));
    }
    std::printf("largest band-mean difference: %.4f %% (limit %.1f %%)\n", 100 * worst,
                100 * kMaxMeanDifference);
    return worst <= kMaxMeanDifference ? 0 : 2;
}
