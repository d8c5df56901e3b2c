// The CPU LiDAR engine: pulses traced against the Embree scene on host
// threads, as full waveforms (a bundle of beam sub-rays per pulse, smoothed
// and searched for discrete returns) or as single direct hits.
#pragma once

#include <functional>

#include "core/waveform.h"
#include "embree/scene_manager.h"

namespace vorn::embree {

/// Beam sub-rays per batch of pulses: progress is reported (and Ctrl-C
/// noticed) between batches.
constexpr int kLidarBatchRays = 1 << 18;

/// Simulates `num_pulses` pulses (origins and directions: x, y, z per pulse,
/// 3 x num_pulses floats each; directions of unit length). `num_threads` < 1
/// uses every hardware thread; `progress`, when set, is called on the calling
/// thread after each batch of pulses (about kLidarBatchRays beam sub-rays, one
/// ray per pulse in direct mode) with (pulses done, num_pulses, elapsed ms);
/// an exception it throws ends the call after the workers are joined and the
/// result is lost. Results do not depend on the thread count
/// (direct-mode records come in pulse order). Surfaces reflect their
/// Lambertian reflectance, RPV rho0 or leaf front (back) reflectance of each
/// band; material types without such a value reflect nothing. Throws
/// std::runtime_error for an unbuilt scene, a mesh material that does not
/// exist, reflectances the engine would read out of range, num_wavelengths
/// outside [1, scene bands], and the arguments prepare_lidar rejects; the
/// emitter, sky and thermal settings are not read, so not checked. While it
/// runs, every operation that changes the scene is refused.
LiDARResult simulate_lidar(EmbreeSceneManager& scene, const float* origins,
                           const float* directions, int num_pulses,
                           float beam_half_angle_rad, int beam_samples_per_dim,
                           float pulse_energy, float sensor_area, float range_resolution,
                           float min_range, float max_range, int num_wavelengths,
                           float pulse_fwhm_ns, float peak_threshold,
                           int max_returns_per_pulse, bool direct_mode, int num_threads,
                           std::function<void(int, int, float)> progress);

}  // namespace vorn::embree
