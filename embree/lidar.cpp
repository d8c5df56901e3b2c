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

/// Next pulse from the shared counter, or -1 when all are taken. The counter is
/// 64-bit so that overshooting by one fetch per thread can never wrap.
int next_pulse(std::atomic<int64_t>& counter, const std::atomic<bool>& stop,
               int num_pulses) {
    const int64_t p = counter.fetch_add(1);
    return (p < num_pulses && !stop) ? int(p) : -1;
}

/// Checks exactly what the engine reads: the scene is built, every mesh's
/// material exists, and each material's reflectances for the first
/// num_wavelengths bands (a leaf's back ones too, one band stride further) lie
/// in the spectral array. Emitter, sky and thermal settings are never read.
void check_scene(const EmbreeSceneManager& scene, int num_wavelengths) {
    scene.validate_for_engine(0, kWho, false);  // built, and every mesh's material exists
    if (scene.num_bands < 1)
        throw std::runtime_error(std::string(kWho) + ": the scene has " +
                                 std::to_string(scene.num_bands) +
                                 " bands; set_num_bands must be at least 1");
    if (num_wavelengths < 1 || num_wavelengths > scene.num_bands)
        throw std::runtime_error(
            std::string(kWho) + ": num_wavelengths must lie in [1, " +
            std::to_string(scene.num_bands) + "] (the scene's band count), got " +
            std::to_string(num_wavelengths));
    const int64_t size = int64_t(scene.spectral_params.size());
    for (size_t m = 0; m < scene.materials.size(); ++m) {
        const MaterialData& md = scene.materials[m];
        if (material_quantities(md.type) < 1) continue;  // reflects nothing, reads nothing
        const int last_q = md.type == MaterialType::Leaf ? 1 : 0;
        for (int q = 0; q <= last_q; ++q) {
            const int64_t begin = material_slot(md.offset, q, scene.num_bands, 0);
            const int64_t end = begin + num_wavelengths;
            if (begin < 0 || end > size)
                throw std::runtime_error(
                    std::string(kWho) + ": material " + std::to_string(m) + " reads " +
                    (q == 0 ? "reflectances" : "back reflectances") + " [" +
                    std::to_string(begin) + ", " + std::to_string(end) +
                    ") but the spectral array holds " + std::to_string(size));
        }
    }
}

void run_waveform(const LidarJob& job, int workers, LiDARResult& result) {
    const int nb = job.shot.num_bins, nw = job.num_wavelengths;
    const size_t block = size_t(nb) * size_t(nw);
    allocate(result.waveform, size_t(job.num_pulses) * block, 0.0f, kWho, "the waveforms");
    std::atomic<int64_t> counter{0};
    std::atomic<bool> stop{false};
    run_workers(workers, stop, [&](int) {
        std::vector<float> raw(block);
        for (int p; (p = next_pulse(counter, stop, job.num_pulses)) >= 0;) {
            trace_waveform(job, p, raw);
            // Pulses are independent, so each is smoothed by the worker that
            // traced it, straight into its (zeroed) block of the result.
            smooth_pulse(raw.data(), result.waveform.data() + size_t(p) * block, nb, nw,
                         job.setup.kernel, true);
        }
    });
    result.points =
        extract_returns(result.waveform, job.origins, job.directions, job.num_pulses, nb,
                        nw, job.shot.range_resolution, job.shot.min_range,
                        job.peak_threshold, job.max_returns_per_pulse);
}

void run_direct(const LidarJob& job, int workers, LiDARResult& result) {
    struct Found {
        int pulse;
        const float* record;
    };
    std::vector<std::vector<float>> records(static_cast<size_t>(workers));
    std::vector<std::vector<int>> pulses(static_cast<size_t>(workers));
    std::atomic<int64_t> counter{0};
    std::atomic<bool> stop{false};
    run_workers(workers, stop, [&](int t) {
        std::vector<float>& mine = records[size_t(t)];
        for (int p; (p = next_pulse(counter, stop, job.num_pulses)) >= 0;) {
            const size_t before = mine.size();
            trace_direct(job, p, mine);
            if (mine.size() != before) pulses[size_t(t)].push_back(p);
        }
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
    check_scene(scene, num_wavelengths);
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
    const auto t0 = std::chrono::system_clock::now();

    LiDARResult result;
    result.num_bins = setup.bins.num_bins;
    // No more workers than pulses: the extra ones would find the counter exhausted.
    const int workers = std::min(threads, std::max(num_pulses, 0));
    if (direct_mode)
        run_direct(job, workers, result);
    else
        run_waveform(job, workers, result);
    result.num_returns = int32_t(result.points.size() / 8);
    if (progress) {
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
            std::chrono::system_clock::now() - t0);
        progress(num_pulses, num_pulses, float(ns.count()) / 1e6f);
    }
    return result;
}

}  // namespace vorn::embree
