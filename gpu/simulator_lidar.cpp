// LiDAR on the GPU: __raygen__lidar (linked into the main pipeline on the
// first call) traces beam sample k of pulse p at launch index (k, p) with the
// CPU engine's sub-ray code (core/beam.h) and adds its single-bounce returns
// into the raw waveform, or, in direct mode, appends one record per hit pulse.
// The host checks the call as the CPU engine does, smooths the waveforms and
// extracts the returns with the shared routines (core/waveform.h), and puts
// direct records in pulse order with their range, as the CPU engine does.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>

#include "core/beam.h"
#include "gpu/optix_api.h"
#include "gpu/simulator.h"
#include "scene/checks.h"

namespace vorn {

namespace {

constexpr const char* kWho = "simulate_lidar";
constexpr int kDirectRecordFloats = 5;
/// Sub-rays of one launch at most: the shared per-launch buffers are sized
/// for a launch (64 bytes and more per sub-ray), so larger surveys take
/// several launches of whole pulses rather than gigabytes of them.
constexpr int64_t kMaxLaunchRays = int64_t(1) << 22;
/// The per-launch buffers hold at most this many values (rays x bands).
constexpr int64_t kMaxIndexedValues = INT32_MAX;

float3 pulse_vec(const std::vector<float>& a, size_t p) {
    return make_f3(a[3 * p], a[3 * p + 1], a[3 * p + 2]);
}

/// Uploads `values` into a new buffer with the call's two step names.
template <class T>
void upload(DeviceBuffer& b, const T* values, size_t n, const char* alloc_step,
            const char* upload_step) {
    b.alloc(n * sizeof(T), alloc_step);
    b.copy_from_host(values, n * sizeof(T), upload_step);
}

}  // namespace

LiDARResult Simulator::simulate_lidar(SceneManager& scene, const LiDARLaunchParams& p) {
    check_scene(scene, "Scene not built.", kWho);
    const SceneDescription::InUse in_use(scene);
    init();
    if (p.num_pulses < 1) throw std::runtime_error("No pulses to simulate.");
    scene.validate_for_lidar(p.num_wavelengths, kWho);
    const LidarSetup setup =
        prepare_lidar(kWho, p.num_pulses, p.beam_half_angle_rad, p.beam_samples_per_dim,
                      p.range_resolution, p.min_range, p.max_range, p.num_wavelengths,
                      p.pulse_fwhm_ns, p.direct_mode);
    const size_t np = size_t(p.num_pulses), values = 3 * np;
    if (p.origins.size() < values || p.directions.size() < values)
        fail_input(kWho, "pulse origins and directions must hold 3 x num_pulses = " +
                             std::to_string(values) + " values each, got " +
                             std::to_string(p.origins.size()) + " and " +
                             std::to_string(p.directions.size()));
    extend_pipeline_with_lidar();

    const SceneData record = scene.get_scene_data();
    const int bands = std::max(record.num_bands, 1);
    const int num_bins = setup.bins.num_bins, nw = p.num_wavelengths;
    const int width = p.direct_mode ? 1 : setup.beam.size();
    // Pulses per launch: whole pulses, within the launch size and the
    // per-launch buffers' reach.
    const int64_t chunk = std::max<int64_t>(
        1, std::min({int64_t(p.num_pulses), kMaxLaunchRays / width,
                     kMaxIndexedValues / (int64_t(width) * bands)}));
    if (chunk * width > buffers_.num_rays || !buffers_.params)
        allocate_buffers(int(chunk * width), bands);

    // The call's buffers, released on every way out of the call.
    DeviceBuffer ori, dir, beam_xy, beam_w, waveform, direct_pts, direct_cnt;
    upload(ori, p.origins.data(), values, "pulse_ori", "up_ori");
    upload(dir, p.directions.data(), values, "pulse_dir", "up_dir");
    if (p.direct_mode) {
        const float xy[2] = {0.0f, 0.0f}, w1 = 1.0f;
        direct_pts.alloc(kDirectRecordFloats * np * sizeof(float), "direct_pts");
        direct_cnt.alloc(sizeof(uint32_t), "direct_cnt");
        direct_cnt.fill(0, "zero_dcnt");
        upload(beam_xy, xy, 2, "beam_xy", "up_beam");
        upload(beam_w, &w1, 1, "beam_w", "up_bw");
    } else {
        upload(beam_xy, setup.beam.xy.data(), setup.beam.xy.size(), "beam_xy", "up_beam");
        upload(beam_w, setup.beam.w.data(), setup.beam.w.size(), "beam_w", "up_bw");
        waveform.alloc(np * size_t(num_bins) * size_t(nw) * sizeof(float), "waveform");
        waveform.fill(0, "zero_wf");
    }

    // The main table from the scene as it is now: its meshes may have changed
    // since any earlier call.
    build_sbt(scene);
    const EmptyRecord rg = pack_empty_record(lidar_group_, "sbt_lidar");
    lidar_raygen_record_.alloc(sizeof rg, "sbt_lidar");
    lidar_raygen_record_.copy_from_host(&rg, sizeof rg, "sbt_lidar_up");
    const OptixShaderBindingTable sbt = main_table_with_raygen(lidar_raygen_record_);

    LaunchParams lp;
    std::memset(&lp, 0, sizeof lp);
    lp.scene = record;
    lp.hits = buffers_.hits.data();
    lp.num_bands = uint32_t(record.num_bands);
    lp.max_depth = 1;
    lp.rr_depth = 999;
    lp.launch_index = 1;
    LidarBlock& l = lp.lidar;
    l.pulse_ori = static_cast<const float*>(ori.data());
    l.pulse_dir = static_cast<const float*>(dir.data());
    l.num_pulses = p.num_pulses;
    l.beam_xy = static_cast<const float*>(beam_xy.data());
    l.beam_w = static_cast<const float*>(beam_w.data());
    l.num_beam_samples = width;
    l.beam_half_angle_rad = p.beam_half_angle_rad;
    l.pulse_energy = p.pulse_energy;
    l.sensor_area = p.sensor_area;
    l.range_resolution = p.range_resolution;
    l.min_range = p.min_range;
    l.max_range = p.max_range;
    l.num_bins = num_bins;
    l.num_wavelengths = nw;
    l.lidar_active = 1;
    l.waveform = static_cast<float*>(waveform.data());
    l.direct_mode = p.direct_mode;
    l.direct_pts = static_cast<float*>(direct_pts.data());
    l.direct_cnt = static_cast<uint32_t*>(direct_cnt.data());
    l.max_direct_points = p.direct_mode ? p.num_pulses : 0;
    const auto start = std::chrono::steady_clock::now();
    for (int64_t first = 0; first < p.num_pulses; first += chunk) {
        const int64_t count = std::min<int64_t>(chunk, p.num_pulses - first);
        l.first_pulse = uint32_t(first);
        lp.num_rays = uint32_t(count * width);
        buffers_.params.copy_from_host(&lp, sizeof lp, "params_up");
        optix_check(optix_api().launch(pipeline_, nullptr, buffers_.params.get(), sizeof lp,
                                       &sbt, unsigned(width), unsigned(count), 1),
                    "lidar_launch");
        cuda_check(cudaDeviceSynchronize(), "lidar_sync");
        if (p.progress) {
            const std::chrono::duration<float, std::milli> ms =
                std::chrono::steady_clock::now() - start;
            p.progress(int(first + count), p.num_pulses, ms.count());
        }
    }

    LiDARResult result;
    result.num_bins = num_bins;
    if (p.direct_mode) {
        uint32_t counted = 0;
        direct_cnt.copy_to_host(&counted, sizeof counted, "dl_dcnt");
        const size_t n = std::min<size_t>(counted, np);
        std::vector<float> raw(kDirectRecordFloats * n);
        if (n) direct_pts.copy_to_host(raw.data(), raw.size() * sizeof(float), "dl_dpts");
        // The device packs records in any order; the CPU engine's come by pulse.
        std::vector<size_t> order(n);
        for (size_t i = 0; i < n; ++i) order[i] = i;
        std::stable_sort(order.begin(), order.end(), [&raw](size_t a, size_t b) {
            return raw[kDirectRecordFloats * a + 4] < raw[kDirectRecordFloats * b + 4];
        });
        result.points.reserve(8 * n);
        for (size_t i : order) {
            const float* r = &raw[kDirectRecordFloats * i];
            const size_t q = (r[4] >= 0.0f && r[4] < float(np)) ? size_t(r[4]) : np - 1;
            // The range as the CPU engine measures it, from the same floats.
            const float range = length(make_f3(r[0], r[1], r[2]) - pulse_vec(p.origins, q));
            const float rec[8] = {r[0], r[1], r[2], r[3], 1.0f, 1.0f, range, r[4]};
            result.points.insert(result.points.end(), rec, rec + 8);
        }
        result.num_returns = int32_t(n);
        return result;
    }
    std::vector<float> raw;
    allocate(raw, np * size_t(num_bins) * size_t(nw), 0.0f, kWho, "the waveforms");
    waveform.copy_to_host(raw.data(), raw.size() * sizeof(float), "dl_wf");
    result.waveform = smooth_waveforms(raw, p.num_pulses, num_bins, nw, setup.kernel, true);
    result.points = extract_returns(result.waveform, p.origins.data(), p.directions.data(),
                                    p.num_pulses, num_bins, nw, p.range_resolution,
                                    p.min_range, p.peak_threshold, p.max_returns_per_pulse);
    result.num_returns = int32_t(result.points.size() / 8);
    return result;
}

}  // namespace vorn
