#include "embree/lidar.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/beam.h"
#include "embree/scene_view.h"
#include "core/diagnostics.h"
#include "embree/workers.h"
#include "scene/checks.h"

namespace vorn::embree {
namespace {

constexpr const char* kWho = "simulate_lidar_cpu";

/// Everything a worker reads; shared read-only by all workers.
struct LidarJob {
    const EmbreeSceneManager& scene;
    SceneView view;  ///< band stride nb = the scene's band count
    const float* origins;
    const float* directions;
    int num_pulses;
    int num_wavelengths;
    float tan_alpha;
    float peak_threshold;
    int max_returns_per_pulse;
    LidarShot shot;
    const LidarSetup& setup;
};

float3 pulse_vec(const float* a, int p) {
    return {a[3 * size_t(p)], a[3 * size_t(p) + 1], a[3 * size_t(p) + 2]};
}

/// Raw waveform of pulse p (num_bins x W, overwritten): every sub-ray's single
/// bounce, binned by the one-way range to its first hit. The sub-rays of a
/// pulse leave one origin in nearly one direction, so they are traced in
/// packets; their returns are added in sample order, as one at a time.
void trace_waveform(const LidarJob& job, int p, std::vector<float>& wf) {
    std::fill(wf.begin(), wf.end(), 0.0f);
    const float3 o = pulse_vec(job.origins, p);
    const PulseFrame frame = pulse_frame(pulse_vec(job.directions, p));
    const BeamPattern& beam = job.setup.beam;
    const size_t nw = size_t(job.num_wavelengths);
    const auto add = [&wf, nw](int32_t bin, int32_t w, float v) {
        wf[size_t(bin) * nw + size_t(w)] += v;
    };
    constexpr int kPacket = 8;
    const float3 origins[kPacket] = {o, o, o, o, o, o, o, o};
    float3 dirs[kPacket];
    RayHit hits[kPacket];
    for (int first = 0; first < beam.size(); first += kPacket) {
        const int n = std::min(kPacket, beam.size() - first);
        for (int i = 0; i < n; ++i) {
            const size_t k = size_t(first + i);
            dirs[i] = sub_ray_direction(frame, beam.xy[2 * k], beam.xy[2 * k + 1], job.tan_alpha);
        }
        job.scene.trace_rays(origins, dirs, n, hits);
        for (int i = 0; i < n; ++i)
            add_beam_return(job.view, job.shot, job.num_wavelengths, o, dirs[i], hits[i],
                            beam.w[size_t(first + i)], add);
    }
}

/// Direct-mode record of pulse p (the pulse direction itself), if it hits in range.
void trace_direct(const LidarJob& job, int p, std::vector<float>& records) {
    const DirectReturn r = trace_direct_pulse(job.scene, job.view, job.shot,
                                              pulse_vec(job.origins, p),
                                              pulse_vec(job.directions, p));
    if (!r.valid) return;
    const float rec[8] = {r.position.x, r.position.y, r.position.z, r.intensity,
                          1.0f,         1.0f,         r.range,      float(p)};
    records.insert(records.end(), rec, rec + 8);
}

using Clock = std::chrono::steady_clock;
using Progress = std::function<void(int, int, float)>;

/// Runs trace(t, p) for every pulse p on one pool of `workers` threads (t is
/// the worker), in batches of about kLidarBatchRays rays; `progress`, when set,
/// is called on the calling thread after each batch with (pulses done,
/// num_pulses, elapsed ms). Workers take pulses from one counter, so any
/// worker may trace any pulse: results must not depend on which.
template <class Trace>
void run_batches(int num_pulses, int workers, int rays_per_pulse, const Progress& progress,
                 Trace&& trace) {
    const Clock::time_point start = Clock::now();
    const int64_t per_batch = std::max<int64_t>(1, kLidarBatchRays / std::max(1, rays_per_pulse));
    WorkerPool pool(workers);
    std::atomic<bool> stop{false};
    for (int64_t done = 0; done < num_pulses;) {
        const int64_t end = std::min<int64_t>(num_pulses, done + per_batch);
        std::atomic<int64_t> next{done};  // 64-bit: overshooting by one per thread never wraps
        pool.run(stop, [&](int t) {
            for (int64_t p; (p = next.fetch_add(1)) < end && !stop;) trace(t, int(p));
        });
        done = end;
        if (progress) {
            const std::chrono::duration<double, std::milli> ms = Clock::now() - start;
            progress(int(done), num_pulses, float(ms.count()));
        }
    }
}

void run_waveform(const LidarJob& job, int workers, const Progress& progress,
                  LiDARResult& result) {
    const int nb = job.shot.num_bins, nw = job.num_wavelengths;
    const size_t block = size_t(nb) * size_t(nw);
    allocate(result.waveform, size_t(job.num_pulses) * block, 0.0f, kWho, "the waveforms");
    std::vector<std::vector<float>> raw(size_t(std::max(workers, 0)), std::vector<float>(block));
    run_batches(job.num_pulses, workers, job.setup.beam.size(), progress, [&](int t, int p) {
        trace_waveform(job, p, raw[size_t(t)]);
        // Pulses are independent, so each is smoothed by the worker that
        // traced it, straight into its (zeroed) block of the result.
        smooth_pulse(raw[size_t(t)].data(), result.waveform.data() + size_t(p) * block, nb, nw,
                     job.setup.kernel, true);
    });
    result.points =
        extract_returns(result.waveform, job.origins, job.directions, job.num_pulses, nb,
                        nw, job.shot.range_resolution, job.shot.min_range,
                        job.peak_threshold, job.max_returns_per_pulse);
}

void run_direct(const LidarJob& job, int workers, const Progress& progress,
                LiDARResult& result) {
    struct Found {
        int pulse;
        const float* record;
    };
    std::vector<std::vector<float>> records(static_cast<size_t>(std::max(workers, 0)));
    std::vector<std::vector<int>> pulses(records.size());
    run_batches(job.num_pulses, workers, 1, progress, [&](int t, int p) {
        std::vector<float>& mine = records[size_t(t)];
        const size_t before = mine.size();
        trace_direct(job, p, mine);
        if (mine.size() != before) pulses[size_t(t)].push_back(p);
    });
    // Workers take pulses as they come free, so each holds an arbitrary subset;
    // every pulse yields at most one record, and ordering by pulse index makes
    // the result independent of the thread count and of scheduling.
    std::vector<Found> found;
    for (size_t t = 0; t < records.size(); ++t)
        for (size_t i = 0; i < pulses[t].size(); ++i)
            found.push_back({pulses[t][i], records[t].data() + 8 * i});
    std::sort(found.begin(), found.end(),
              [](const Found& a, const Found& b) { return a.pulse < b.pulse; });
    result.points.reserve(found.size() * 8);
    for (const Found& f : found)
        result.points.insert(result.points.end(), f.record, f.record + 8);
}

}  // namespace

LiDARResult simulate_lidar(EmbreeSceneManager& scene, const float* origins,
                           const float* directions, int num_pulses,
                           float beam_half_angle_rad, int beam_samples_per_dim,
                           float pulse_energy, float sensor_area, float range_resolution,
                           float min_range, float max_range, int num_wavelengths,
                           float pulse_fwhm_ns, float peak_threshold,
                           int max_returns_per_pulse, bool direct_mode, int num_threads,
                           std::function<void(int, int, float)> progress) {
    const SceneDescription::InUse in_use(scene);  // the scene cannot change under the workers
    scene.validate_for_lidar(num_wavelengths, kWho);
    const LidarSetup setup = prepare_lidar(
        kWho, num_pulses, beam_half_angle_rad, beam_samples_per_dim, range_resolution,
        min_range, max_range, num_wavelengths, pulse_fwhm_ns, direct_mode);
    if (num_pulses > 0 && (!origins || !directions))
        throw std::runtime_error(std::string(kWho) +
                                 ": pulse origins and directions are missing");
    const int threads = resolve_threads(num_threads);
    SceneView view = make_scene_view(scene);
    view.nb = scene.num_bands;
    const LidarJob job{scene,
                       view,
                       origins,
                       directions,
                       num_pulses,
                       num_wavelengths,
                       f_tan(beam_half_angle_rad),
                       peak_threshold,
                       max_returns_per_pulse,
                       LidarShot{pulse_energy, sensor_area, range_resolution, min_range,
                                 max_range, setup.bins.num_bins},
                       setup};
    diag_printf(DiagStream::Out,
                "LiDAR (CPU): %d pulses, %d beam samples, %s mode, %d threads\n",
                num_pulses, direct_mode ? 1 : setup.beam.size(),
                direct_mode ? "direct" : "waveform", threads);
    LiDARResult result;
    result.num_bins = setup.bins.num_bins;
    // No more workers than pulses: the extra ones would find the counter exhausted.
    const int workers = std::min(threads, std::max(num_pulses, 0));
    if (direct_mode)
        run_direct(job, workers, progress, result);
    else
        run_waveform(job, workers, progress, result);
    result.num_returns = int32_t(result.points.size() / 8);
    return result;
}

}  // namespace vorn::embree
