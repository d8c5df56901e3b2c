// Host-side LiDAR numerics shared by the CPU and GPU engines: the beam
// footprint pattern, the range binning, the Gaussian pulse kernel, waveform
// smoothing and discrete-return extraction, and the result record. All
// arithmetic is single precision in a fixed order and runs on the host for
// both engines, so the same raw waveform gives bit-identical results; the raw
// waveforms themselves agree bit for bit only with the host-compiled
// emulation of the device program (see core/beam.h).
#pragma once

#include <cstdint>
#include <vector>

namespace vorn {

/// Largest beam grid resolution accepted: (N + 1)^2 candidate samples per pulse.
constexpr int kMaxBeamSamplesPerDim = 1024;
/// Largest pulse-kernel half width H (the kernel has 2H + 3 taps).
constexpr int kMaxKernelHalfWidth = 1 << 20;
/// Largest waveform (num_pulses x num_bins x num_wavelengths floats, 1 GiB) one
/// call may produce; longer surveys are split into batches of pulses.
constexpr int64_t kMaxWaveformValues = int64_t(1) << 28;

/// Result of a LiDAR simulation, identical in form for both engines.
struct LiDARResult {
    /// smoothed waveforms, index (p * num_bins + b) * num_wavelengths + w; empty in
    /// direct mode
    std::vector<float> waveform;
    /// return records of 8 floats: x, y, z, intensity, return number, number of
    /// returns, range (m), pulse index
    std::vector<float> points;
    int32_t num_bins = 0;     ///< range bins per pulse (also set in direct mode)
    int32_t num_returns = 0;  ///< number of 8-float records in `points`
};

/// Beam footprint: offsets in units of tan(beam half-angle) and weights summing to 1.
struct BeamPattern {
    std::vector<float> xy;  ///< x then y per sample
    std::vector<float> w;   ///< one weight per sample
    int size() const { return int(w.size()); }
};

/// Gaussian samples on the (N + 1) x (N + 1) grid over [-1, 1]^2 that fall in the
/// unit disc, ordered by row (y) then column (x). N <= 1 gives the single
/// central sample: N = 1 keeps only corners outside the disc, and N = 0 or N < 0
/// (no grid at all) mean an unsampled beam, i.e. one central ray.
/// Throws std::runtime_error above kMaxBeamSamplesPerDim.
BeamPattern build_beam_pattern(int beam_samples_per_dim);

struct RangeBins {
    int32_t last_bin;  ///< trunc((max_range - min_range) / range_resolution)
    int32_t num_bins;  ///< last_bin + 1
};

/// Bins of the window [min_range, max_range]. Throws std::runtime_error naming the
/// argument for a non-positive resolution, max_range < min_range, non-finite
/// bounds, or a window with more bins than a 32-bit count holds.
RangeBins range_bins(float min_range, float max_range, float range_resolution);

/// Normalised Gaussian pulse: 2H + 3 taps, tap t standing for t - (H + 1) bins.
struct PulseKernel {
    int32_t half_width;       ///< H
    std::vector<float> taps;  ///< 2H + 3 values summing to 1
};

/// Kernel of a pulse of the given full width at half maximum (ns), expressed in
/// range bins (two-way travel). Throws std::runtime_error for a non-positive
/// width or resolution, or H above kMaxKernelHalfWidth.
PulseKernel build_pulse_kernel(float pulse_fwhm_ns, float range_resolution);

/// Smooths one pulse (num_bins x num_wavelengths values) from `raw` into `out`.
/// With `nonzero_extent_only`, a pulse with no value > 0 leaves `out` untouched
/// and otherwise only bins within the kernel reach of its first and last
/// positive bin are written; the caller then supplies a zeroed `out`. For
/// non-negative raw data both ways give the same values.
void smooth_pulse(const float* raw, float* out, int num_bins, int num_wavelengths,
                  const PulseKernel& kernel, bool nonzero_extent_only);

/// Smooths every pulse of a raw waveform block (index as LiDARResult::waveform).
/// Throws std::runtime_error when `raw` does not hold num_pulses x num_bins x
/// num_wavelengths values.
std::vector<float> smooth_waveforms(const std::vector<float>& raw, int num_pulses,
                                    int num_bins, int num_wavelengths,
                                    const PulseKernel& kernel,
                                    bool nonzero_extent_only = false);

/// Discrete returns: strict local maxima of the band-summed waveform above
/// `peak_threshold`, nearest first, at most max_returns_per_pulse per pulse,
/// never in the first or last bin. `origins` and `directions` hold x, y, z per
/// pulse (3 x num_pulses floats). Throws std::runtime_error when `waveform` has
/// the wrong size.
std::vector<float> extract_returns(const std::vector<float>& waveform,
                                   const float* origins, const float* directions,
                                   int num_pulses, int num_bins, int num_wavelengths,
                                   float range_resolution, float min_range,
                                   float peak_threshold, int max_returns_per_pulse);

/// Throws std::runtime_error when a waveform of num_pulses x num_bins x
/// num_wavelengths floats would exceed kMaxWaveformValues.
void check_waveform_size(int64_t num_pulses, int64_t num_bins, int64_t num_wavelengths);

/// Pulse-independent setup of one LiDAR call.
struct LidarSetup {
    BeamPattern beam;  ///< single central sample in direct mode
    RangeBins bins;
    PulseKernel kernel;
};

/// Validates the call arguments both engines share and builds the setup.
/// Throws std::runtime_error, prefixed with `who`, naming the argument that is
/// out of range: num_pulses < 0, num_wavelengths < 1, a beam half-angle outside
/// [0, pi/2), and everything range_bins, build_pulse_kernel,
/// build_beam_pattern and (waveform mode) check_waveform_size reject.
LidarSetup prepare_lidar(const char* who, int num_pulses, float beam_half_angle_rad,
                         int beam_samples_per_dim, float range_resolution,
                         float min_range, float max_range, int num_wavelengths,
                         float pulse_fwhm_ns, bool direct_mode);

}  // namespace vorn
