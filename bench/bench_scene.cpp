// Throughput of the CPU scene queries against bare Embree on the same canopy
// and the same rays. The bare side is a second two-level Embree scene built
// from the same description with the same calls, queried with the same ray
// setup (tnear 1e-4, tfar 1e16, mask all ones), so the ratio isolates what
// trace_ray / trace_shadow add on top of traversal.
//
// usage: bench_scene [rays per set = 524288] [instances = 400]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "bench/canopy_scene.h"
#include "bench/raw_embree.h"

namespace vorn::bench {
namespace {

struct Timing {
    double mrays_per_s;
    long hits;
};

/// Runs query(i) for every ray on `threads` workers that take chunks of rays
/// from one atomic counter; best of `reps` runs.
template <class Query>
Timing measure(size_t n, int threads, int reps, Query query) {
    constexpr size_t kChunk = 512;
    Timing best{0.0, 0};
    for (int rep = 0; rep < reps; ++rep) {
        double s = 1e30;
        time_into(&s, [&] {
            best.hits = parallel_sum(n, threads, kChunk,
                                     [&](size_t i) { return long(query(i)); });
        });
        best.mrays_per_s = std::max(best.mrays_per_s, double(n) / s * 1e-6);
    }
    return best;
}

std::string load_average() {
    std::ifstream f("/proc/loadavg");
    std::string a, b, c;
    f >> a >> b >> c;
    return a + " " + b + " " + c;
}

}  // namespace
}  // namespace vorn::bench

int main(int argc, char** argv) {
    using namespace vorn::bench;
    const size_t n = argc > 1 ? size_t(std::atol(argv[1])) : size_t(1) << 19;
    CanopyOptions opt;
    if (argc > 2) opt.num_instances = std::atoi(argv[2]);
    const int reps = 3;

    vorn::embree::EmbreeSceneManager scene;
    const CanopyScene canopy = make_canopy_scene(scene, opt);
    const RawScene bare(scene);
    std::printf(
        "canopy: %d instances of %d crown meshes, %u triangles, top %.2f m, %d bands\n",
        opt.num_instances, opt.num_leaf_meshes, canopy.total_triangles, canopy.top,
        opt.num_bands);
    std::printf(
        "rays per set: %zu, best of %d runs, hardware threads: %u, load average: %s\n", n,
        reps, std::thread::hardware_concurrency(), load_average().c_str());
    std::printf("\n%-7s %-8s %3s %12s %12s %7s %9s %9s\n", "rays", "query", "thr",
                "vorn Mray/s", "bare Mray/s", "ratio", "hits", "bare hits");

    const RaySet sets[2] = {canopy.camera_rays(n, 1), canopy.inside_rays(n, 2)};
    const char* set_names[2] = {"camera", "inside"};
    for (int si = 0; si < 2; ++si) {
        const RaySet& r = sets[si];
        for (int any = 0; any < 2; ++any) {
            double single[2] = {0, 0};
            for (int threads : {1, 2}) {
                Timing v, b;
                if (any) {
                    v = measure(n, threads, reps, [&](size_t i) {
                        return scene.trace_shadow(r.origin[i], r.direction[i], 1e16f);
                    });
                    b = measure(n, threads, reps, [&](size_t i) {
                        return bare.occluded(r.origin[i], r.direction[i], 1e16f);
                    });
                } else {
                    v = measure(n, threads, reps, [&](size_t i) {
                        return scene.trace_ray(r.origin[i], r.direction[i]).hit;
                    });
                    b = measure(n, threads, reps, [&](size_t i) {
                        return bare.closest(r.origin[i], r.direction[i], 1e16f);
                    });
                }
                if (threads == 1) single[0] = v.mrays_per_s, single[1] = b.mrays_per_s;
                std::printf("%-7s %-8s %3d %12.3f %12.3f %7.3f %9ld %9ld", set_names[si],
                            any ? "shadow" : "closest", threads, v.mrays_per_s,
                            b.mrays_per_s, v.mrays_per_s / b.mrays_per_s, v.hits, b.hits);
                if (threads == 2)
                    std::printf("   scaling vorn %.2fx bare %.2fx",
                                v.mrays_per_s / single[0], b.mrays_per_s / single[1]);
                std::printf("\n");
            }
        }
    }
    std::printf("\nload average after: %s\n", load_average().c_str());
    return 0;
}
