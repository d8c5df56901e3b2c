#include "embree/lidar.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/beam.h"
#include "core/diagnostics.h"
#include "embree/workers.h"

namespace vorn::embree {
namespace {

constexpr const char* kWho = "simulate_lidar";

/// Everything a worker reads; shared read-only by all workers.
struct LidarJob {
    const EmbreeSceneManager& scene;
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

/// The material a hit reports, or null where none exists (treated as black).
const MaterialData* hit_material(const EmbreeSceneManager& scene, const RayHit& h) {
    if (h.material_id < 0 || size_t(h.material_id) >= scene.materials.size())
        return nullptr;
    return &scene.materials[size_t(h.material_id)];
}

/// Raw waveform of pulse p (num_bins x W, overwritten): every sub-ray's single
/// bounce, binned by the one-way range to its first hit.
void trace_waveform(const LidarJob& job, int p, std::vector<float>& wf) {
    std::fill(wf.begin(), wf.end(), 0.0f);
    const float3 o = pulse_vec(job.origins, p);
    const PulseFrame frame = pulse_frame(pulse_vec(job.directions, p));
    const BeamPattern& beam = job.setup.beam;
    const float* spectral = job.scene.spectral_params.data();
    const int nw = job.num_wavelengths;
    for (int k = 0; k < beam.size(); ++k) {
        const float3 d = sub_ray_direction(frame, beam.xy[2 * size_t(k)],
                                           beam.xy[2 * size_t(k) + 1], job.tan_alpha);
        const RayHit h = job.scene.trace_ray(o, d);
        if (!h.hit) continue;
        const SubRayReturn ret = sub_ray_return(job.shot, o, d, h.position,
                                                h.shading_normal, beam.w[size_t(k)]);
        const MaterialData* m = hit_material(job.scene, h);
        if (!ret.valid || !m) continue;
        float* cell = wf.data() + size_t(ret.bin) * nw;
        for (int w = 0; w < nw; ++w) {
            const float v =
                lidar_reflectance(*m, h.back_face, spectral, job.scene.num_bands, w) *
                ret.energy;
            if (v > 0.0f) cell[w] += v;
        }
    }
}

/// Direct-mode record of pulse p (the pulse direction itself), if it hits in range.
void trace_direct(const LidarJob& job, int p, std::vector<float>& records) {
    const float3 o = pulse_vec(job.origins, p);
    const float3 d = pulse_vec(job.directions, p);
    const RayHit h = job.scene.trace_ray(o, d);
    if (!h.hit) return;
    const float r = length(h.position - o);
    if (!(r >= job.shot.min_range && r <= job.shot.max_range)) return;
    const MaterialData* m = hit_material(job.scene, h);
    // Types without a reflectance model have no validated spectral range, so
    // their offset is never read: they return no light, as in waveform mode.
    const bool lit = m && material_quantities(m->type) > 0;
    const float rho = lit ? job.scene.spectral_params[size_t(m->offset)] : 0.0f;
    const float intensity =
        direct_return_intensity(job.shot, d, h.shading_normal, rho, r);
    const float rec[8] = {
        h.position.x, h.position.y, h.position.z, intensity, 1.0f, 1.0f, r, float(p)};
    records.insert(records.end(), rec, rec + 8);
}

/// Next pulse from the shared counter, or -1 when all are taken. The counter is
/// 64-bit so that overshooting by one fetch per thread can never wrap.
int next_pulse(std::atomic<int64_t>& counter, const std::atomic<bool>& stop,
               int num_pulses) {
    const int64_t p = counter.fetch_add(1);
    return (p < num_pulses && !stop) ? int(p) : -1;
}

void check_scene(const EmbreeSceneManager& scene, int num_wavelengths) {
    scene.validate_for_engine(0, kWho, false);  // built, and every mesh's material exists
    if (num_wavelengths < 1 || num_wavelengths > scene.num_bands)
        throw std::runtime_error(
            std::string(kWho) + ": num_wavelengths must lie in [1, " +
            std::to_string(scene.num_bands) + "] (the scene's band count), got " +
            std::to_string(num_wavelengths));
    scene.validate_for_engine(num_wavelengths, kWho, false);
    // A leaf's back face reads its second quantity, one scene band stride further.
    for (size_t m = 0; m < scene.materials.size(); ++m) {
        const MaterialData& md = scene.materials[m];
        if (md.type != MaterialType::Leaf) continue;
        const int64_t end = material_slot(md.offset, 1, scene.num_bands, num_wavelengths);
        if (end > int64_t(scene.spectral_params.size()))
            throw std::runtime_error(
                std::string(kWho) + ": material " + std::to_string(m) +
                " reads back reflectances up to index " + std::to_string(end - 1) +
                " but the spectral array holds " +
                std::to_string(scene.spectral_params.size()));
    }
}

void run_waveform(const LidarJob& job, int workers, LiDARResult& result) {
    const int nb = job.shot.num_bins, nw = job.num_wavelengths;
    const size_t block = size_t(nb) * size_t(nw);
    result.waveform.assign(size_t(job.num_pulses) * block, 0.0f);
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
    check_scene(scene, num_wavelengths);
    const LidarSetup setup = prepare_lidar(
        kWho, num_pulses, beam_half_angle_rad, beam_samples_per_dim, range_resolution,
        min_range, max_range, num_wavelengths, pulse_fwhm_ns, direct_mode);
    if (num_pulses > 0 && (!origins || !directions))
        throw std::runtime_error(std::string(kWho) +
                                 ": pulse origins and directions are missing");
    const int threads = resolve_threads(num_threads);
    const LidarJob job{scene,
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
