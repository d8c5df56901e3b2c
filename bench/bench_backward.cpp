// CPU backward renderer throughput on the canopy benchmark scene (sun, sky,
// several bands, periodic tile, depth 8): paths and ray queries per second of
// render_backward, beside plain rtcIntersect1 / rtcOccluded1 on exactly the
// queries the renderer makes (recorded once, replayed on the same number of
// threads against an identical Embree scene), and beside the CPU scene's own
// trace_ray / trace_shadow on the same queries, and beside the renderer as it
// ran before single-use instances were flattened (render_backward on the same
// canopy built as a two-level scene).
//   bench_backward [spp=4] [threads=0 (all)] [size=256] [bands=4]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench/canopy_scene.h"
#include "bench/raw_embree.h"
#include "core/backward_path.h"
#include "embree/backward.h"
#include "embree/scene_view.h"
#include "embree/workers.h"

using namespace vorn;
using vorn::embree::EmbreeSceneManager;

namespace {

constexpr int kMaxDepth = 8;
constexpr int kRrDepth = 3;
constexpr int kRepeats = 3;

}  // namespace

int main(int argc, char** argv) {
    const int spp = argc > 1 ? std::atoi(argv[1]) : 4;
    const int threads = embree::resolve_threads(argc > 2 ? std::atoi(argv[2]) : 0);
    const int size = argc > 3 ? std::atoi(argv[3]) : 256;
    const int bands = argc > 4 ? std::atoi(argv[4]) : 4;

    EmbreeSceneManager scene;
    bench::CanopyOptions opt;
    opt.num_bands = bands;
    opt.num_repetitions = 2;
    opt.image_width = opt.image_height = size;
    const bench::CanopyScene canopy = bench::make_canopy_scene(scene, opt);
    EmbreeSceneManager two_level;
    two_level.flatten_single_instances = false;
    bench::make_canopy_scene(two_level, opt);

    // Every query of the whole render, in one thread: the paths are seeded per
    // pixel and pass, so they are exactly those render_backward traces.
    std::vector<bench::Query> log;
    {
        const SceneView view = embree::make_scene_view(scene);
        std::vector<double> scratch(2 * size_t(bands));
        bench::RecordingTracer rec{&scene, &log};
        for (int pass = 0; pass < spp; ++pass)
            for (int y = 0; y < size; ++y)
                for (int x = 0; x < size; ++x)
                    render_pixel_sample(rec, view, x, y, pass, kMaxDepth, kRrDepth,
                                        scratch.data(), scratch.data() + bands);
    }
    const long shadow = std::count_if(log.begin(), log.end(),
                                      [](const bench::Query& q) { return q.shadow; });
    const double paths = double(size) * size * spp;

    // Interleaved repeats, fastest of each: the three see the same machine load.
    const bench::RawScene raw(scene);
    long raw_hits = 0, scene_hits = 0;
    double t_render = 1e30, t_raw = 1e30, t_scene = 1e30, t_previous = 1e30;
    for (int r = 0; r < kRepeats; ++r) {
        bench::time_into(&t_render, [&] {
            embree::render_backward(scene, spp, kMaxDepth, kRrDepth, threads, {});
        });
        bench::time_into(&t_previous, [&] {
            embree::render_backward(two_level, spp, kMaxDepth, kRrDepth, threads, {});
        });
        bench::time_into(&t_raw, [&] {
            raw_hits = bench::replay(
                log, threads, [&raw](const bench::Query& q) { return raw.run(q); });
        });
        bench::time_into(&t_scene, [&] {
            scene_hits = bench::replay(log, threads, [&scene](const bench::Query& q) {
                return q.shadow ? int(scene.trace_shadow(q.o, q.d, q.tfar))
                                : int(scene.trace_ray(q.o, q.d).hit);
            });
        });
    }

    const double n = double(log.size());
    std::printf(
        "canopy: %u triangles, %d instances, %d bands, tile %.0f m x%d, image %dx%d, "
        "spp %d, depth %d, %d threads\n",
        canopy.total_triangles, scene.num_instances(), bands, double(canopy.extent),
        opt.num_repetitions, size, size, spp, kMaxDepth, threads);
    std::printf(
        "queries: %.0f (%.0f closest-hit, %ld occlusion), %.2f per path; hits %ld/%ld\n",
        n, n - double(shadow), shadow, n / paths, raw_hits, scene_hits);
    std::printf("render_backward : %8.3f s  %10.0f paths/s  %10.0f rays/s\n", t_render,
                paths / t_render, n / t_render);
    std::printf("two-level scene : %8.3f s  %10.0f paths/s  %10.0f rays/s\n", t_previous,
                paths / t_previous, n / t_previous);
    std::printf("raw Embree      : %8.3f s  %10s          %10.0f rays/s\n", t_raw, "",
                n / t_raw);
    std::printf("scene queries   : %8.3f s  %10s          %10.0f rays/s\n", t_scene, "",
                n / t_scene);
    std::printf(
        "renderer / raw Embree ray rate: %.1f %%  (scene queries / raw: %.1f %%)\n",
        100.0 * t_raw / t_render, 100.0 * t_raw / t_scene);
    std::printf("renderer / previous engine (two-level scene): %.2f\n", t_previous / t_render);
    return 0;
}
