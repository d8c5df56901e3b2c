// LiDAR numerics against closed forms: sub-ray directions, range bins, returns,
// the beam pattern, the pulse kernel, smoothing and discrete-return extraction.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "core/beam.h"
#include "core/waveform.h"

namespace vorn {
namespace {

TEST(SubRayDirection, TiltsByTheScaledOffsetsInARightHandedFrame) {
    for (int i = 0; i < 28; ++i) {  // the axes and a Fibonacci sphere
        const double z = i < 4 ? 0.0 : 1.0 - (i - 3.5) / 12.0, r = std::sqrt(1.0 - z * z), phi = i * 2.399963;
        const float3 d = i < 4 ? std::vector<float3>{{1, 0, 0}, {0, -1, 0}, {0, 0, 1}, {0, 0, -1}}[size_t(i)]
                               : float3{float(r * std::cos(phi)), float(r * std::sin(phi)), float(z)};
        const PulseFrame f = pulse_frame(d);
        EXPECT_TRUE(std::abs(length(f.u) - 1) < 1e-6f && std::abs(dot(f.u, d)) < 1e-6f) << i;
        EXPECT_NEAR(dot(cross(f.u, d), f.v), 1.0f, 1e-6f) << i;  // v = u x d, unit
        for (float t : {5e-4f, 1.0f}) {
            for (float x : {-1.0f, 0.8f}) {
                for (float y : {0.0f, 0.6f}) {
                    const float3 s = sub_ray_direction(f, x, y, t);
                    const double rho = t * std::sqrt(double(x) * x + double(y) * y);
                    EXPECT_NEAR(length(s), 1.0f, 1e-6f) << i;
                    // The angle off the pulse axis is atan(tan(alpha) * |offset|).
                    EXPECT_NEAR(dot(s, d), 1.0 / std::sqrt(1.0 + rho * rho), 1e-6) << i;
                    EXPECT_NEAR(dot(s, f.v) / dot(s, d), x * t, 1e-5) << i;
                    EXPECT_NEAR(dot(s, f.u) / dot(s, d), y * t, 1e-5) << i;
                }
            }
        }
    }
}

TEST(SubRayReturn, BinsTheWindowAndReturnsAbsCosineOverRangeSquared) {
    const LidarShot s{2.0f, 0.1f, 0.15f, 0.0f, 100.0f, 667};
    EXPECT_EQ(lidar_range_bin(s, 0.14f), 0);
    EXPECT_EQ(lidar_range_bin(s, 0.16f), 1);
    EXPECT_EQ(lidar_range_bin(s, 100.0f), 666);  // max_range lands in the last bin
    for (float r : {100.2f, -0.2f, 1e30f, -1e30f, std::nanf("")}) EXPECT_EQ(lidar_range_bin(s, r), -1) << r;
    const float3 o = {0, 0, 0}, dir = {0, 0, -1}, up = {0, 0, 1};
    for (float r : {1.0f, 10.0f, 99.9f}) {
        for (double theta : {0.0, 1.2, M_PI - 0.3}) {  // the last one a back face
            const float3 n = {float(std::sin(theta)), 0.0f, float(std::cos(theta))};
            const SubRayReturn h = sub_ray_return(s, o, dir, {0, 0, -r}, n, 0.25f);
            const double e = std::abs(std::cos(theta)) * 0.25 * 2.0 * 0.1 / (M_PI * r * r);
            EXPECT_TRUE(h.valid && h.bin == int(r / 0.15f)) << r << " " << theta;
            EXPECT_NEAR(h.energy, e, 2e-6 * e) << r << " " << theta;
        }
    }
    EXPECT_FALSE(sub_ray_return(s, o, dir, {0, 0, -5}, {1, 0, 0}, 1.0f).valid);  // grazing
    EXPECT_FALSE(sub_ray_return(s, o, dir, {0, 0, -100.01f}, up, 1.0f).valid);
    const LidarShot near{2.0f, 0.1f, 0.15f, 3.0f, 100.0f, 646};
    EXPECT_FALSE(sub_ray_return(near, o, dir, {0, 0, -2.9f}, up, 1.0f).valid);
    EXPECT_EQ(sub_ray_return(near, o, dir, {0, 0, -3.0f}, up, 1.0f).bin, 0);
}

TEST(BeamPattern, GaussianWeightsOverTheLatticePointsOfTheDisc) {
    for (int n : {1, 0, -7}) {  // no grid point off the centre lies in the disc
        EXPECT_EQ(build_beam_pattern(n).xy, (std::vector<float>{0.0f, 0.0f})) << n;
        EXPECT_EQ(build_beam_pattern(n).w, (std::vector<float>{1.0f})) << n;
    }
    const BeamPattern p = build_beam_pattern(2);  // the centre and four edge midpoints
    EXPECT_EQ(p.xy, (std::vector<float>{0, -1, -1, 0, 0, 0, 1, 0, 0, 1}));
    // Gaussian weight exp(-r^2 / (2 sigma^2)) with 2 sigma^2 = 1.0003277.
    const double a = std::exp(-1.0 / 1.0003277), total = 4.0 * a + 1.0;
    for (int k = 0; k < 5; ++k) EXPECT_NEAR(p.w[size_t(k)], (k == 2 ? 1.0 : a) / total, 2e-7) << k;
    // (2i - 10)^2 + (2j - 10)^2 <= 100 holds for 81 of the 121 points (the
    // physics suite checks that the weights sum to 1). Direct mode traces the
    // central ray only, so even a waveform too large to hold passes.
    EXPECT_EQ(build_beam_pattern(10).size(), 81);
    const LidarSetup d = prepare_lidar("x", 1000000, 5e-4f, 10, 0.15f, 0, 100, 1, 4, true);
    EXPECT_EQ(d.beam.size() * 1000 + d.bins.num_bins, 1667);
}

TEST(RangeBinsAndKernel, CountTheBinsAndSampleTheGaussianPulse) {
    const struct {
        float lo, hi, res;
        int last;
    } cases[] = {{0.f, 100.f, 0.15f, 666}, {5.f, 5.f, 1.f, 0}, {-2.f, 2.f, 0.5f, 8}, {10.f, 10.4f, 1.f, 0}};
    for (const auto& c : cases) {
        const RangeBins r = range_bins(c.lo, c.hi, c.res);
        EXPECT_TRUE(r.last_bin == c.last && r.num_bins == c.last + 1) << c.lo << " " << c.hi << " " << c.res;
    }
    // sigma = c/2 * FWHM / (2 sqrt(2 ln 2)) for 4 ns; H = trunc(3 sigma / 0.15) = 5.
    const PulseKernel k = build_pulse_kernel(4.0f, 0.15f);
    const double sigma = 0.299792458 / 2.0 * 4.0 / (2.0 * std::sqrt(2.0 * std::log(2.0)));
    ASSERT_TRUE(k.half_width == 5 && k.taps.size() == 13u);
    double norm = 0.0, g[13];
    for (int t = -6; t <= 6; ++t) norm += g[t + 6] = std::exp(-0.5 * (t * 0.15) * (t * 0.15) / (sigma * sigma));
    for (int t = 0; t < 13; ++t) EXPECT_NEAR(k.taps[size_t(t)], g[t] / norm, 1e-5 * g[t] / norm) << t - 6;
}

TEST(SmoothWaveforms, SpreadsABinIntoTheKernelAndTheRestrictedExtentChangesNothing) {
    const PulseKernel k = build_pulse_kernel(4.0f, 0.15f);  // H = 5
    const int bins = 40, nw = 2, reach = k.half_width + 1;
    for (int b : {0, 3, 39}) {
        std::vector<float> raw(size_t(bins) * nw, 0.0f);
        raw[size_t(b) * nw] = 2.5f;  // only wavelength 0 carries energy
        const std::vector<float> out = smooth_waveforms(raw, 1, bins, nw, k);
        for (int bb = 0; bb < bins; ++bb) {
            const int t = bb - b + reach;
            // A single non-zero term: the sum is exactly tap x value.
            const float want = (t >= 0 && t <= 2 * reach) ? k.taps[size_t(2 * reach - t)] * 2.5f : 0.0f;
            EXPECT_EQ(out[size_t(bb) * nw], want) << "peak " << b << " bin " << bb;
            EXPECT_EQ(out[size_t(bb) * nw + 1], 0.0f) << "peak " << b << " bin " << bb;
        }
    }
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> value(0.0f, 3.0f);
    const int pulses = 6, nb = 90, nw3 = 3;
    // Pulse 0 stays empty; the others get sparse energy, some near both ends.
    const int spots[5][2] = {{0, 1}, {89, 89}, {30, 35}, {2, 87}, {50, 50}};
    std::vector<float> raw(size_t(pulses) * nb * nw3, 0.0f);
    for (int p = 1; p < pulses; ++p)
        for (int b = spots[p - 1][0]; b <= spots[p - 1][1]; b += 3)
            raw[(size_t(p) * nb + b) * nw3 + size_t(p % nw3)] = value(rng);
    for (float fwhm : {1.0f, 12.0f}) {
        const PulseKernel kk = build_pulse_kernel(fwhm, 0.15f);
        EXPECT_EQ(smooth_waveforms(raw, pulses, nb, nw3, kk, true),
                  smooth_waveforms(raw, pulses, nb, nw3, kk, false)) << fwhm;
    }
}

// One pulse, one wavelength, 0.5 m bins from 10 m: returns as records of 8 floats.
std::vector<float> returns_of(const std::vector<float>& s, float threshold, int max_returns) {
    const float o[3] = {1.0f, 2.0f, 3.0f}, d[3] = {0.0f, 0.6f, -0.8f};
    return extract_returns(s, o, d, 1, int(s.size()), 1, 0.5f, 10.0f, threshold, max_returns);
}

TEST(ExtractReturns, StrictInnerPeaksNearestFirstUpToTheLimit) {
    const struct {
        std::vector<float> s;
        std::vector<float> peak_bins;
    } cases[] = {{{0, 1, 1, 0}, {}},            // plateau: neither bin beats its neighbour
                 {{5, 3, 1, 0, 0}, {}},         // maximum in the first bin
                 {{0, 0, 1, 3, 5}, {}},         // maximum in the last bin
                 {{0, 2, 0, 1, 3, 1, 0, 0}, {1, 4}},
                 {{1, 3}, {}}};                 // fewer than three bins
    for (const auto& c : cases) {
        const std::vector<float> pts = returns_of(c.s, 1e-8f, 5);
        ASSERT_EQ(pts.size(), 8 * c.peak_bins.size());
        for (size_t k = 0; k < c.peak_bins.size(); ++k) {
            EXPECT_EQ(pts[8 * k + 6], (c.peak_bins[k] + 0.5f) * 0.5f + 10.0f);  // bin centre range
            EXPECT_EQ(pts[8 * k + 4], float(k + 1));
            EXPECT_EQ(pts[8 * k + 5], float(c.peak_bins.size()));
        }
    }
    std::vector<float> s(20, 0.0f);
    for (int b : {2, 6, 10, 14, 18}) s[size_t(b)] = float(b);  // far peaks are stronger
    for (int max_returns : {0, 2, 9}) {
        const std::vector<float> pts = returns_of(s, 1e-8f, max_returns);
        const int n = max_returns < 5 ? max_returns : 5;
        ASSERT_EQ(pts.size(), size_t(8 * n)) << max_returns;
        for (int k = 0; k < n; ++k) EXPECT_EQ(pts[size_t(8 * k + 3)], float(2 + 4 * k)) << max_returns;
    }
    EXPECT_EQ(returns_of(s, 2.0f, 5).size(), 8u * 4);  // a peak equal to the threshold is none
}

TEST(ExtractReturns, SumsWavelengthsAndNumbersPulses) {
    // Two pulses of 5 bins x 2 wavelengths; the peak intensity is the band sum:
    // pulse 0 bin 2 (1 + 0.5), pulse 1 bin 1 (2, band 1) and bin 3 (0.25, band 0).
    std::vector<float> wf(20, 0.0f);
    wf[4] = 1.0f, wf[5] = 0.5f, wf[13] = 2.0f, wf[16] = 0.25f;
    const float o[6] = {0, 0, 0, 5, 5, 5}, d[6] = {0, 0, 1, 1, 0, 0};
    const std::vector<float> want = {0,    0, 2.5f, 1.5f,  1, 1, 2.5f, 0,  //
                                     6.5f, 5, 5,    2.0f,  1, 2, 1.5f, 1,  //
                                     8.5f, 5, 5,    0.25f, 2, 2, 3.5f, 1};
    EXPECT_EQ(extract_returns(wf, o, d, 2, 5, 2, 1.0f, 0.0f, 0.0f, 5), want);
}

}  // namespace
}  // namespace vorn
