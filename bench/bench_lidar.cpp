// CPU LiDAR throughput on a canopy-like scene: waveform-mode pulses of 81
// sub-rays (beam_samples_per_dim 10) through simulate_lidar, beside plain
// rtcIntersect1 on the same sub-rays against an identical Embree scene, and
// beside the waveform engine as it ran before (every sub-ray a single query,
// on the canopy built as a two-level scene; the waveforms must come out equal).
//   bench_lidar [pulses=20000] [threads=0 (all)]
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench/canopy_scene.h"
#include "bench/raw_embree.h"
#include "core/beam.h"
#include "core/waveform.h"
#include "embree/lidar.h"
#include "embree/scene_view.h"
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

/// Arguments of every simulate_lidar call here.
constexpr float kAlpha = 5e-4f, kEnergy = 1.0f, kArea = 0.1f, kBin = 0.15f;
constexpr float kMinRange = 80.0f, kMaxRange = 110.0f, kFwhm = 4.0f, kPeak = 1e-8f;
constexpr int kBeamDim = 10, kMaxReturns = 5;

/// The waveform engine before sub-rays were traced in packets: per pulse,
/// trace_beam_sample (one query per sub-ray) into a raw buffer, smoothed as
/// it is traced; then the returns. Returns the number of returns.
int previous_waveforms(const EmbreeSceneManager& scene, const std::vector<float>& o,
                       const std::vector<float>& d, int pulses, int threads,
                       std::vector<float>* waveform) {
    const LidarSetup setup = prepare_lidar("bench", pulses, kAlpha, kBeamDim, kBin, kMinRange,
                                           kMaxRange, 1, kFwhm, false);
    const int bins = setup.bins.num_bins;
    const LidarShot shot{kEnergy, kArea, kBin, kMinRange, kMaxRange, bins};
    const SceneView view = embree::make_scene_view(scene);
    waveform->assign(size_t(pulses) * size_t(bins), 0.0f);
    bench::parallel_sum(size_t(pulses), threads, 1, [&](size_t p) {
        std::vector<float> raw(size_t(bins), 0.0f);
        const float3 origin{o[3 * p], o[3 * p + 1], o[3 * p + 2]};
        const PulseFrame f = pulse_frame({d[3 * p], d[3 * p + 1], d[3 * p + 2]});
        for (int k = 0; k < setup.beam.size(); ++k)
            trace_beam_sample(scene, view, shot, 1, std::tan(kAlpha), origin, f,
                              setup.beam.xy[2 * size_t(k)], setup.beam.xy[2 * size_t(k) + 1],
                              setup.beam.w[size_t(k)],
                              [&raw](int32_t bin, int32_t, float v) { raw[size_t(bin)] += v; });
        smooth_pulse(raw.data(), waveform->data() + p * size_t(bins), bins, 1, setup.kernel,
                     true);
        return 0L;
    });
    return int(extract_returns(*waveform, o.data(), d.data(), pulses, bins, 1, kBin,
                               kMinRange, kPeak, kMaxReturns)
                   .size() / 8);
}

}  // namespace

int main(int argc, char** argv) {
    const int pulses = argc > 1 ? std::atoi(argv[1]) : 20000;
    const int threads = embree::resolve_threads(argc > 2 ? std::atoi(argv[2]) : 0);
    EmbreeSceneManager scene;
    const bench::CanopyScene canopy =
        bench::make_canopy_scene(scene, bench::CanopyOptions{});
    EmbreeSceneManager two_level;
    two_level.flatten_single_instances = false;
    bench::make_canopy_scene(two_level, bench::CanopyOptions{});
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
    const float alpha = kAlpha;
    const BeamPattern beam = build_beam_pattern(kBeamDim);
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
    double best_engine = 1e30, best_raw = 1e30, best_direct = 1e30, best_previous = 1e30;
    long hits = 0;
    int returns = 0, previous_returns = 0;
    bool same = true;
    for (int rep = 0; rep < 3; ++rep) {
        LiDARResult r;  // freed outside the timing, as it outlives the run
        bench::time_into(&best_engine, [&] {
            r = embree::simulate_lidar(scene, o.data(), d.data(), pulses, alpha, kBeamDim,
                                       kEnergy, kArea, kBin, kMinRange, kMaxRange, 1, kFwhm,
                                       kPeak, kMaxReturns, false, threads, {});
        });
        returns = r.num_returns;
        std::vector<float> previous;
        bench::time_into(&best_previous, [&] {
            previous_returns = previous_waveforms(two_level, o, d, pulses, threads, &previous);
        });
        same = same && previous == r.waveform;
        bench::time_into(&best_direct, [&] {
            embree::simulate_lidar(scene, o.data(), d.data(), pulses, alpha, kBeamDim, kEnergy,
                                   kArea, kBin, kMinRange, kMaxRange, 1, kFwhm, kPeak,
                                   kMaxReturns, true, threads, {});
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
    std::printf("previous engine (single sub-rays, two-level scene): %.0f pulses/s, %d returns, "
                "waveforms %s\n", pulses / best_previous, previous_returns,
                same ? "identical" : "DIFFERENT");
    std::printf("engine / previous engine: %.2f\n", best_previous / best_engine);
    std::printf("direct mode: %.0f pulses/s\n", pulses / best_direct);
    return 0;
}
