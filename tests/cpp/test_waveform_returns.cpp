// Waveform smoothing, discrete-return extraction and the direct-mode setup.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "core/waveform.h"

namespace vorn {
namespace {

// One pulse, one wavelength, 0.5 m bins from 10 m: returns as records of 8 floats.
std::vector<float> returns_of(const std::vector<float>& s, float threshold,
                              int max_returns) {
    const float o[3] = {1.0f, 2.0f, 3.0f}, d[3] = {0.0f, 0.6f, -0.8f};
    return extract_returns(s, o, d, 1, int(s.size()), 1, 0.5f, 10.0f, threshold,
                           max_returns);
}

TEST(SmoothWaveforms, IsolatedBinSpreadsIntoTheKernel) {
    const PulseKernel k = build_pulse_kernel(4.0f, 0.15f);  // H = 5
    const int bins = 40, nw = 2, reach = k.half_width + 1;
    for (int b : {0, 3, 20, 39}) {
        std::vector<float> raw(size_t(bins) * nw, 0.0f);
        raw[size_t(b) * nw + 0] = 2.5f;  // only wavelength 0 carries energy
        const std::vector<float> out = smooth_waveforms(raw, 1, bins, nw, k);
        for (int bb = 0; bb < bins; ++bb) {
            const int t = bb - b + reach;
            // A single non-zero term: the sum is exactly tap x value.
            const float want =
                (t >= 0 && t <= 2 * reach) ? k.taps[size_t(2 * reach - t)] * 2.5f : 0.0f;
            EXPECT_EQ(out[size_t(bb) * nw], want) << "peak " << b << " bin " << bb;
            EXPECT_EQ(out[size_t(bb) * nw + 1], 0.0f) << "peak " << b << " bin " << bb;
        }
    }
}

TEST(SmoothWaveforms, RestrictedExtentEqualsFullSmoothingOnNonNegativeData) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> value(0.0f, 3.0f);
    const int pulses = 6, bins = 90, nw = 3;
    // Pulse 0 stays empty; the others get sparse energy, some near both ends.
    const int spots[5][2] = {{0, 1}, {89, 89}, {30, 35}, {2, 87}, {50, 50}};
    std::vector<float> raw(size_t(pulses) * bins * nw, 0.0f);
    for (int p = 1; p < pulses; ++p)
        for (int b = spots[p - 1][0]; b <= spots[p - 1][1]; b += 3)
            raw[(size_t(p) * bins + b) * nw + size_t(p % nw)] = value(rng);
    for (float fwhm : {1.0f, 4.0f, 12.0f}) {
        const PulseKernel k = build_pulse_kernel(fwhm, 0.15f);
        EXPECT_EQ(smooth_waveforms(raw, pulses, bins, nw, k, true),
                  smooth_waveforms(raw, pulses, bins, nw, k, false))
            << "fwhm " << fwhm;
    }
}

TEST(ExtractReturns, PeakShapes) {
    struct Case {
        std::vector<float> s;
        std::vector<float> peak_bins;
    };
    const std::vector<Case> cases = {
        {{0, 1, 1, 0}, {}},                  // plateau: neither bin beats its neighbour
        {{0, 1, 2, 2, 1, 0}, {}},            // plateau at the top
        {{5, 3, 1, 0, 0}, {}},               // maximum in the first bin
        {{0, 0, 1, 3, 5}, {}},               // maximum in the last bin
        {{0, 2, 0, 1, 3, 1, 0, 0}, {1, 4}},  // two peaks, nearest first
        {{1, 3}, {}},                        // fewer than three bins
    };
    for (const Case& c : cases) {
        const std::vector<float> pts = returns_of(c.s, 1e-8f, 5);
        ASSERT_EQ(pts.size(), 8 * c.peak_bins.size());
        for (size_t k = 0; k < c.peak_bins.size(); ++k) {
            EXPECT_EQ(pts[8 * k + 6], (c.peak_bins[k] + 0.5f) * 0.5f + 10.0f);
            EXPECT_EQ(pts[8 * k + 4], float(k + 1));
            EXPECT_EQ(pts[8 * k + 5], float(c.peak_bins.size()));
        }
    }
}

TEST(ExtractReturns, KeepsTheNearestPeaksWhenThereAreTooMany) {
    std::vector<float> s(20, 0.0f);
    for (int b : {2, 6, 10, 14, 18}) s[size_t(b)] = float(b);  // far peaks are stronger
    for (int max_returns : {0, 1, 2, 3, 5, 9}) {
        const std::vector<float> pts = returns_of(s, 1e-8f, max_returns);
        const int n = max_returns < 5 ? max_returns : 5;
        ASSERT_EQ(pts.size(), size_t(8 * n)) << "max " << max_returns;
        for (int k = 0; k < n; ++k) {
            EXPECT_EQ(pts[size_t(8 * k + 3)], float(2 + 4 * k)) << "max " << max_returns;
            EXPECT_EQ(pts[size_t(8 * k + 4)], float(k + 1));
            EXPECT_EQ(pts[size_t(8 * k + 5)], float(n));
        }
    }
    // The threshold is strict: a peak equal to it is no return.
    EXPECT_EQ(returns_of(s, 2.0f, 5).size(), 8u * 4);
}

TEST(ExtractReturns, SumsWavelengthsAndNumbersPulses) {
    // Two pulses of 5 bins x 2 wavelengths; the peak intensity is the band sum.
    std::vector<float> wf(20, 0.0f);
    wf[2 * 2 + 0] = 1.0f;        // pulse 0, bin 2, band 0
    wf[2 * 2 + 1] = 0.5f;        // pulse 0, bin 2, band 1
    wf[10 + 1 * 2 + 1] = 2.0f;   // pulse 1, bin 1, band 1
    wf[10 + 3 * 2 + 0] = 0.25f;  // pulse 1, bin 3, band 0
    const float o[6] = {0, 0, 0, 5, 5, 5}, d[6] = {0, 0, 1, 1, 0, 0};
    const std::vector<float> want = {0,    0, 2.5f, 1.5f,  1, 1, 2.5f, 0,  //
                                     6.5f, 5, 5,    2.0f,  1, 2, 1.5f, 1,  //
                                     8.5f, 5, 5,    0.25f, 2, 2, 3.5f, 1};
    EXPECT_EQ(extract_returns(wf, o, d, 2, 5, 2, 1.0f, 0.0f, 0.0f, 5), want);
}

TEST(PrepareLidar, DirectModeTracesOneRayAndKeepsNoWaveform) {
    // A million pulses of 667 bins would exceed the waveform limit, had it one.
    const LidarSetup s =
        prepare_lidar("x", 1000000, 5e-4f, 10, 0.15f, 0, 100, 1, 4, true);
    EXPECT_EQ(s.beam.size(), 1);
    EXPECT_EQ(s.bins.num_bins, 667);
}

}  // namespace
}  // namespace vorn
