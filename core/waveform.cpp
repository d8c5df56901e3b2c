#include "core/waveform.h"

#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "core/hd.h"

namespace vorn {
namespace {

std::string show(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.9g", v);
    return buf;
}

[[noreturn]] void fail(const std::string& message) { throw std::runtime_error(message); }

// Samples slightly outside the unit circle (float rounding of r^2 = 1) are kept.
const float kBeamDiscLimit = int_as_float(0x3F800347);   // 1.0001
const float kBeamGaussWidth = int_as_float(0x3F000ABD);  // 0.50016385

}  // namespace

BeamPattern build_beam_pattern(int n) {
    if (n > kMaxBeamSamplesPerDim)
        fail("beam_samples_per_dim must be at most " +
             std::to_string(kMaxBeamSamplesPerDim) + ", got " + std::to_string(n));
    BeamPattern p;
    float sum = 0.0f;
    // N = 0 would divide by zero: like N < 0 it means no grid, one central ray.
    if (n >= 1) {
        for (int i = 0; i <= n; ++i) {
            for (int j = 0; j <= n; ++j) {
                const float u = (float(i) + float(i)) / float(n) - 1.0f;
                const float v = (float(j) + float(j)) / float(n) - 1.0f;
                const float r2 = v * v + u * u;
                if (r2 > kBeamDiscLimit) continue;
                const float w = f_exp(r2 * -0.5f / kBeamGaussWidth);
                p.xy.push_back(v);
                p.xy.push_back(u);
                p.w.push_back(w);
                sum += w;
            }
        }
    }
    if (p.w.empty()) {
        p.xy = {0.0f, 0.0f};
        p.w = {1.0f};
        sum = 1.0f;
    }
    for (float& w : p.w) w /= sum;
    return p;
}

RangeBins range_bins(float min_range, float max_range, float res) {
    if (!(res > 0.0f) || !std::isfinite(res))
        fail("range_resolution must be a finite value > 0, got " + show(res));
    if (!std::isfinite(min_range) || !std::isfinite(max_range))
        fail("min_range and max_range must be finite, got " + show(min_range) + " and " +
             show(max_range));
    if (max_range < min_range)
        fail("max_range must not be below min_range, got max_range " + show(max_range) +
             " < min_range " + show(min_range));
    const float q = (max_range - min_range) / res;
    // The bin count is a 32-bit int: the largest float below 2^31 still leaves room for
    // +1.
    if (!(q < 2147483648.0f))
        fail("the range window (max_range - min_range) / range_resolution = " + show(q) +
             " holds more bins than a 32-bit count");
    const int32_t last = int32_t(q);
    return RangeBins{last, last + 1};
}

PulseKernel build_pulse_kernel(float fwhm, float res) {
    if (!(fwhm > 0.0f) || !std::isfinite(fwhm))
        fail("pulse_fwhm_ns must be a finite value > 0, got " + show(fwhm));
    if (!(res > 0.0f) || !std::isfinite(res))
        fail("range_resolution must be a finite value > 0, got " + show(res));
    // Metres: light travels 0.29979247 m/ns, halved for the two-way path;
    // 2.35482 turns a full width at half maximum into a standard deviation.
    const float sigma = 0.29979247f * fwhm * 0.5f / 2.35482f;
    const float reach = sigma * 3.0f / res;
    if (!(reach <= float(kMaxKernelHalfWidth)))
        fail("pulse_fwhm_ns " + show(fwhm) + " spans " + show(reach) +
             " range bins of range_resolution " + show(res) + "; at most " +
             std::to_string(kMaxKernelHalfWidth) + " are supported");
    PulseKernel k;
    k.half_width = int32_t(reach);
    const int taps = 2 * k.half_width + 3;
    k.taps.resize(size_t(taps));
    float sum = 0.0f;
    for (int t = 0; t < taps; ++t) {
        const float d = float(t - (k.half_width + 1)) * res;
        k.taps[size_t(t)] = f_exp(-0.5f * d * d / (sigma * sigma));
        sum += k.taps[size_t(t)];
    }
    for (float& v : k.taps) v /= sum;
    return k;
}

namespace {

// Bin index clamped to [0, num_bins - 1], computed wide so that b + reach cannot
// overflow.
int clamp_bin(int64_t b, int num_bins) {
    return int(b < 0 ? 0 : (b > num_bins - 1 ? num_bins - 1 : b));
}

}  // namespace

void smooth_pulse(const float* raw, float* out, int num_bins, int nw,
                  const PulseKernel& kernel, bool nonzero_extent_only) {
    const int reach = kernel.half_width + 1;
    int lo = 0, hi = num_bins - 1;
    if (nonzero_extent_only) {
        int b0 = -1, b1 = -1;
        for (int b = 0; b < num_bins; ++b) {
            for (int w = 0; w < nw; ++w) {
                if (raw[size_t(b) * nw + w] > 0.0f) {
                    if (b0 < 0) b0 = b;
                    b1 = b;
                    break;
                }
            }
        }
        if (b0 < 0) return;
        lo = clamp_bin(int64_t(b0) - reach, num_bins);
        hi = clamp_bin(int64_t(b1) + reach, num_bins);
    }
    const float* taps = kernel.taps.data();
    for (int b = lo; b <= hi; ++b) {
        const int first = clamp_bin(int64_t(b) - reach, num_bins);
        const int last = clamp_bin(int64_t(b) + reach, num_bins);
        for (int w = 0; w < nw; ++w) {
            float acc = 0.0f;
            for (int bb = first; bb <= last; ++bb)
                acc += taps[bb - b + reach] * raw[size_t(bb) * nw + w];
            out[size_t(b) * nw + w] = acc;
        }
    }
}

namespace {

void check_block(const char* who, const std::vector<float>& v, int num_pulses,
                 int num_bins, int nw) {
    if (num_pulses < 0 || num_bins < 0 || nw < 0)
        fail(std::string(who) + ": negative size (num_pulses " +
             std::to_string(num_pulses) + ", num_bins " + std::to_string(num_bins) +
             ", num_wavelengths " + std::to_string(nw) + ")");
    const uint64_t expected = uint64_t(num_pulses) * uint64_t(num_bins) * uint64_t(nw);
    if (v.size() != expected)
        fail(std::string(who) +
             ": waveform must hold num_pulses x num_bins x num_wavelengths = " +
             std::to_string(expected) + " values, got " + std::to_string(v.size()));
}

}  // namespace

std::vector<float> smooth_waveforms(const std::vector<float>& raw, int num_pulses,
                                    int num_bins, int nw, const PulseKernel& kernel,
                                    bool nonzero_extent_only) {
    check_block("smooth_waveforms", raw, num_pulses, num_bins, nw);
    if (kernel.taps.size() != size_t(2 * int64_t(kernel.half_width) + 3))
        fail("smooth_waveforms: kernel must hold 2H + 3 taps for H = " +
             std::to_string(kernel.half_width) + ", got " +
             std::to_string(kernel.taps.size()));
    std::vector<float> out(raw.size(), 0.0f);
    const size_t block = size_t(num_bins) * size_t(nw);
    for (int p = 0; p < num_pulses; ++p)
        smooth_pulse(raw.data() + p * block, out.data() + p * block, num_bins, nw, kernel,
                     nonzero_extent_only);
    return out;
}

std::vector<float> extract_returns(const std::vector<float>& waveform,
                                   const float* origins, const float* directions,
                                   int num_pulses, int num_bins, int nw, float res,
                                   float min_range, float peak_threshold,
                                   int max_returns) {
    check_block("extract_returns", waveform, num_pulses, num_bins, nw);
    std::vector<float> points;
    std::vector<float> s(static_cast<size_t>(num_bins));
    std::vector<int> peaks;
    for (int p = 0; p < num_pulses; ++p) {
        const float* wf = waveform.data() + size_t(p) * num_bins * nw;
        for (int b = 0; b < num_bins; ++b) {
            float acc = 0.0f;
            for (int w = 0; w < nw; ++w) acc += wf[size_t(b) * nw + w];
            s[size_t(b)] = acc;
        }
        peaks.clear();
        if (num_bins >= 3 && max_returns >= 1) {
            for (int b = 1; b <= num_bins - 2 && int(peaks.size()) < max_returns; ++b) {
                const float v = s[size_t(b)];
                if (v > s[size_t(b) - 1] && v > s[size_t(b) + 1] && v > peak_threshold)
                    peaks.push_back(b);
            }
        }
        const float n = float(peaks.size());
        const float* o = origins + 3 * size_t(p);
        const float* d = directions + 3 * size_t(p);
        for (size_t k = 0; k < peaks.size(); ++k) {
            const int b = peaks[k];
            const float range = (float(b) + 0.5f) * res + min_range;
            const float rec[8] = {o[0] + d[0] * range,
                                  o[1] + d[1] * range,
                                  o[2] + d[2] * range,
                                  s[size_t(b)],
                                  float(k + 1),
                                  n,
                                  range,
                                  float(p)};
            points.insert(points.end(), rec, rec + 8);
        }
    }
    return points;
}

void check_waveform_size(int64_t num_pulses, int64_t num_bins, int64_t nw) {
    // Each factor is at most 2^31, so compare by division to stay clear of overflow.
    const bool too_big = num_pulses > 0 && num_bins > 0 && nw > 0 &&
                         num_pulses > kMaxWaveformValues / num_bins / nw;
    if (too_big)
        fail("the waveform of num_pulses x num_bins x num_wavelengths = " +
             std::to_string(num_pulses) + " x " + std::to_string(num_bins) + " x " +
             std::to_string(nw) + " values exceeds the limit of " +
             std::to_string(kMaxWaveformValues) +
             "; simulate fewer pulses per call or a coarser/shorter range window");
}

LidarSetup prepare_lidar(const char* who, int num_pulses, float beam_half_angle_rad,
                         int beam_samples_per_dim, float range_resolution,
                         float min_range, float max_range, int num_wavelengths,
                         float pulse_fwhm_ns, bool direct_mode) {
    try {
        if (num_pulses < 0)
            fail("num_pulses must be >= 0, got " + std::to_string(num_pulses));
        if (num_wavelengths < 1)
            fail("num_wavelengths must be >= 1, got " + std::to_string(num_wavelengths));
        if (!(beam_half_angle_rad >= 0.0f && beam_half_angle_rad < 1.5707963f))
            fail("beam_half_angle_rad must lie in [0, pi/2), got " +
                 show(beam_half_angle_rad));
        LidarSetup s;
        s.bins = range_bins(min_range, max_range, range_resolution);
        s.kernel = build_pulse_kernel(pulse_fwhm_ns, range_resolution);
        s.beam = build_beam_pattern(beam_samples_per_dim);
        // Direct mode traces the pulse direction itself: one central ray.
        if (direct_mode) s.beam = build_beam_pattern(0);
        if (!direct_mode)
            check_waveform_size(num_pulses, s.bins.num_bins, num_wavelengths);
        return s;
    } catch (const std::runtime_error& e) {
        fail(std::string(who) + ": " + e.what());
    }
}

}  // namespace vorn
