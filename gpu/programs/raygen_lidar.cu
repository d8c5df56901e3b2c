// LiDAR ray generation: launch index (k, p) traces beam sample k of pulse
// first_pulse + p with the CPU engine's sub-ray code (core/beam.h). In
// waveform mode its single-bounce returns are added into the raw waveform at
// ((pulse * num_bins + bin) * num_wavelengths + w); in direct mode the
// pulse's central ray, when it yields a record, takes the next free slot of
// direct_pts (x, y, z, intensity, pulse).
#include "core/beam.h"
#include "core/scene_view.h"
#include "gpu/programs/device_tracer.h"

VORN_LAUNCH_PARAMS(vorn::LaunchParams, params)

namespace vorn::dev {

VORN_DEVICE float3 pulse_vec(const float* a, uint32_t p) {
    return make_f3(a[3 * size_t(p)], a[3 * size_t(p) + 1], a[3 * size_t(p) + 2]);
}

VORN_DEVICE void raygen_lidar() {
    const LidarBlock& l = params.lidar;
    const UInt3 li = launch_index();
    const uint32_t k = li.x, p = l.first_pulse + li.y;
    if (!l.lidar_active || int64_t(p) >= int64_t(l.num_pulses) ||
        int64_t(k) >= int64_t(l.num_beam_samples))
        return;
    const SceneView sv = scene_view_from_record(params.scene);
    const OptixTracer tracer{params.scene.ias_handle};
    const LidarShot shot{l.pulse_energy, l.sensor_area, l.range_resolution,
                         l.min_range,    l.max_range,   l.num_bins};
    const float3 o = pulse_vec(l.pulse_ori, p), d = pulse_vec(l.pulse_dir, p);
    if (l.direct_mode) {
        if (k != 0 || l.direct_pts == nullptr || l.direct_cnt == nullptr) return;
        const DirectReturn r = trace_direct_pulse(tracer, sv, shot, o, d);
        if (!r.valid) return;
        const unsigned int slot = atomic_add(l.direct_cnt, 1u);
        if (int64_t(slot) >= int64_t(l.max_direct_points)) return;
        float* rec = l.direct_pts + 5 * size_t(slot);
        rec[0] = r.position.x;
        rec[1] = r.position.y;
        rec[2] = r.position.z;
        rec[3] = r.intensity;
        rec[4] = float(p);
        return;
    }
    if (l.waveform == nullptr) return;
    float* wf = l.waveform + size_t(p) * size_t(l.num_bins) * size_t(l.num_wavelengths);
    const int32_t nw = l.num_wavelengths;
    trace_beam_sample(tracer, sv, shot, nw, f_tan(l.beam_half_angle_rad), o, pulse_frame(d),
                      l.beam_xy[2 * size_t(k)], l.beam_xy[2 * size_t(k) + 1],
                      l.beam_w[k], [wf, nw](int32_t bin, int32_t w, float v) {
                          atomic_add(wf + size_t(bin) * size_t(nw) + size_t(w), v);
                      });
}

}  // namespace vorn::dev

VORN_PROGRAM(__raygen__lidar) { vorn::dev::raygen_lidar(); }
