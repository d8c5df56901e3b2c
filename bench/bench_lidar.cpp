// CPU LiDAR throughput on a canopy-like scene: waveform-mode pulses of 81
// sub-rays (beam_samples_per_dim 10) through simulate_lidar, beside plain
// rtcIntersect1 on the same sub-rays against an identical Embree scene.
//   bench_lidar [pulses=20000] [threads=0 (all)]
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench/canopy_scene.h"
#include "bench/raw_embree.h"
#include "core/beam.h"
#include "embree/lidar.h"
#include "embree/workers.h"

using namespace vorn;
using vorn::embree::EmbreeSceneManager;

namespace {

/// Plain closest-hit queries for every sub-ray, pulses handed out one at a
/// time as the engine does. Returns the number of hits.
long raw_hits(const bench::RawScene& raw, const std::vector<float>& o,
              const std::vector<float3>& dirs, int pulses, int k, int threads) {
    return bench::parallel_sum(size_t(pulses), threads, 1, [&](size_t p) {
        const float3 origin{o[3 * p], o[3 * p + 1], o[3 * p + 2]};
        long h = 0;
        for (int s = 0; s < k; ++s) h += raw.closest(origin, dirs[p * k + size_t(s)]);
        return h;
    });
}

}  // namespace

int main(int argc, char** argv) {
    const int pulses = argc > 1 ? std::atoi(argv[1]) : 20000;
    const int threads = embree::resolve_threads(argc > 2 ? std::atoi(argv[2]) : 0);
    EmbreeSceneManager scene;
    const bench::CanopyScene canopy =
        bench::make_canopy_scene(scene, bench::CanopyOptions{});
    std::printf("scene: %u instanced triangles, %d instances, %d meshes\n",
                canopy.total_triangles, scene.num_instances(), int(scene.meshes.size()));

    // Airborne geometry: 100 m above the plot, up to ~2 degrees off nadir, so
    // that every footprint stays over the plot.
    bench::BenchRng rng{777};
    const float e = canopy.extent;
    std::vector<float> o, d;
    for (int p = 0; p < pulses; ++p) {
        const float3 dir =
            normalize({rng.uniform(-0.03f, 0.03f), rng.uniform(-0.03f, 0.03f), -1.0f});
        o.insert(o.end(), {rng.uniform(0.2f * e, 0.8f * e),
                           rng.uniform(0.2f * e, 0.8f * e), 100.0f});
        d.insert(d.end(), {dir.x, dir.y, dir.z});
    }
    const float alpha = 5e-4f;
    const BeamPattern beam = build_beam_pattern(10);
    const int k = beam.size();
    std::vector<float3> dirs;
    for (int p = 0; p < pulses; ++p) {
        const PulseFrame f =
            pulse_frame({d[3 * size_t(p)], d[3 * size_t(p) + 1], d[3 * size_t(p) + 2]});
        for (int s = 0; s < k; ++s)
            dirs.push_back(sub_ray_direction(
                f, beam.xy[2 * size_t(s)], beam.xy[2 * size_t(s) + 1], std::tan(alpha)));
    }

    const bench::RawScene raw(scene);
    double best_engine = 1e30, best_raw = 1e30, best_direct = 1e30;
    long hits = 0;
    int returns = 0;
    for (int rep = 0; rep < 3; ++rep) {
        LiDARResult r;  // freed outside the timing, as it outlives the run
        bench::time_into(&best_engine, [&] {
            r = embree::simulate_lidar(scene, o.data(), d.data(), pulses, alpha, 10, 1.0f,
                                       0.1f, 0.15f, 80.0f, 110.0f, 1, 4.0f, 1e-8f, 5,
                                       false, threads, {});
        });
        returns = r.num_returns;
        bench::time_into(&best_direct, [&] {
            embree::simulate_lidar(scene, o.data(), d.data(), pulses, alpha, 10, 1.0f,
                                   0.1f, 0.15f, 80.0f, 110.0f, 1, 4.0f, 1e-8f, 5, true,
                                   threads, {});
        });
        bench::time_into(&best_raw,
                         [&] { hits = raw_hits(raw, o, dirs, pulses, k, threads); });
    }
    const double sub = double(pulses) * k;
    std::printf(
        "threads %d, pulses %d, sub-rays per pulse %d, returns %d, raw hits %ld\n",
        threads, pulses, k, returns, hits);
    std::printf("waveform mode: %.0f pulses/s, %.3g sub-rays/s\n", pulses / best_engine,
                sub / best_engine);
    std::printf("raw rtcIntersect1: %.3g rays/s\n", sub / best_raw);
    std::printf("engine / raw: %.1f%%\n", 100.0 * best_raw / best_engine);
    std::printf("direct mode: %.0f pulses/s\n", pulses / best_direct);
    return 0;
}
