// simulate_lidar_cpu: pulse arrays in, the CPU LiDAR engine, the result dict out.
#include <string>

#include "embree/lidar.h"
#include "python/bindings.h"
#include "python/convert.h"
#include "python/docstrings.h"
#include "python/shared_args.h"
#include "scene/checks.h"

namespace vorn::py_bind {
namespace {

constexpr const char* kWho = "simulate_lidar_cpu";

py::dict lidar_dict(const LiDARResult& r, int num_pulses, int num_wavelengths,
                    bool direct_mode) {
    py::dict d;
    // Direct mode keeps no waveform: report zero pulses rather than claim values.
    const py::ssize_t pulses = direct_mode ? 0 : num_pulses;
    d["waveform"] = to_array(r.waveform, {pulses, r.num_bins, num_wavelengths});
    const py::ssize_t n = r.num_returns < 1 ? 0 : r.num_returns;
    d["points"] = to_array(r.points, {n, 8});
    d["num_bins"] = r.num_bins;
    d["num_returns"] = r.num_returns;
    return d;
}

py::dict simulate_lidar_cpu(vorn::embree::EmbreeSceneManager& scene,
                            const FloatArray& origins, const FloatArray& directions,
                            int num_pulses, float beam_half_angle_rad,
                            int beam_samples_per_dim, float pulse_energy,
                            float sensor_area, float range_resolution, float min_range,
                            float max_range, int num_wavelengths, float pulse_fwhm_ns,
                            float peak_threshold, int max_returns_per_pulse,
                            bool direct_mode, const py::object& progress, int num_threads) {
    const int threads = check_threads(num_threads, kWho);
    if (num_pulses < 0)
        throw std::runtime_error(std::string(kWho) + ": num_pulses must be >= 0, got " +
                                 std::to_string(num_pulses));
    check_finite(pulse_energy, kWho, "pulse_energy");
    check_finite(sensor_area, kWho, "sensor_area");
    check_finite(peak_threshold, kWho, "peak_threshold");
    // x, y, z per pulse; the engine reads exactly 3 x num_pulses values of each.
    const std::vector<float> o = read_points(origins, num_pulses, kWho, "pulse_origins");
    const std::vector<float> dir =
        read_directions(directions, num_pulses, kWho, "pulse_directions");
    const uint64_t rejected = scene.rejected_rays();
    const LiDARResult r = vorn::embree::simulate_lidar(
        scene, o.data(), dir.data(), num_pulses, beam_half_angle_rad,
        beam_samples_per_dim, pulse_energy, sensor_area, range_resolution, min_range,
        max_range, num_wavelengths, pulse_fwhm_ns, peak_threshold, max_returns_per_pulse,
        direct_mode, threads, wrap_progress_interruptible(progress));
    report_rejected_rays(scene.rejected_rays() - rejected, "LiDAR (CPU):");
    return lidar_dict(r, num_pulses, num_wavelengths, direct_mode);
}

}  // namespace

void bind_lidar(py::module_& m) {
    lidar_args([&](auto... a) {
        m.def("simulate_lidar_cpu", &simulate_lidar_cpu, a..., py::kw_only(),
              py::arg("num_threads") = 0, doc::kSimulateLidarCpu);
    });
}

}  // namespace vorn::py_bind
