// LiDAR waveform numerics: beam pattern, range bins, pulse kernel, smoothing and
// return extraction, against closed forms and hand-built waveforms.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "core/waveform.h"
#include "tests/cpp/error_test_util.h"

namespace vorn {
namespace {

// Gaussian width of the footprint: exp(-r^2 / 1.0003277) per sample.
constexpr double kBeamTwoSigma2 = 2.0 * 0.50016385;

using test::error_of;

TEST(BeamPattern, DegenerateGridsGiveTheCentralRay) {
    for (int n : {1, 0, -1, -7}) {
        const BeamPattern p = build_beam_pattern(n);
        ASSERT_EQ(p.size(), 1) << "N " << n;
        EXPECT_EQ(p.xy, (std::vector<float>{0.0f, 0.0f})) << "N " << n;
        EXPECT_EQ(p.w, (std::vector<float>{1.0f})) << "N " << n;
    }
}

TEST(BeamPattern, TwoByTwoIsTheCentreAndFourEdgeMidpoints) {
    const BeamPattern p = build_beam_pattern(2);
    ASSERT_EQ(p.size(), 5);
    const std::vector<float> xy = {0, -1, -1, 0, 0, 0, 1, 0, 0, 1};
    EXPECT_EQ(p.xy, xy);
    const double a = std::exp(-1.0 / 1.0003277);
    const double total = 4.0 * a + 1.0;
    const double expected[5] = {a / total, a / total, 1.0 / total, a / total, a / total};
    for (int k = 0; k < 5; ++k) EXPECT_NEAR(p.w[k], expected[k], 2e-7) << "sample " << k;
}

TEST(BeamPattern, GridKeepsTheLatticePointsOfTheDiscWithGaussianWeights) {
    for (int n = 2; n <= 14; ++n) {  // N = 1 keeps no grid point (see above)
        // Point (i, j) lies in the disc when (2i - N)^2 + (2j - N)^2 <= N^2.
        int expected_count = 0;
        for (int i = 0; i <= n; ++i)
            for (int j = 0; j <= n; ++j)
                expected_count +=
                    (2 * i - n) * (2 * i - n) + (2 * j - n) * (2 * j - n) <= n * n;
        const BeamPattern p = build_beam_pattern(n);
        ASSERT_EQ(p.size(), expected_count) << "N " << n;
        ASSERT_EQ(p.xy.size(), 2 * p.w.size());
        double sum = 0.0, norm = 0.0;
        for (int k = 0; k < p.size(); ++k) {
            const double x = p.xy[2 * k], y = p.xy[2 * k + 1];
            norm += std::exp(-(x * x + y * y) / kBeamTwoSigma2);
            sum += p.w[k];
            EXPECT_LE(x * x + y * y, 1.0 + 1e-4) << "N " << n << " sample " << k;
        }
        EXPECT_NEAR(sum, 1.0, 1e-5) << "N " << n;
        for (int k = 0; k < p.size(); ++k) {
            const double x = p.xy[2 * k], y = p.xy[2 * k + 1];
            const double w = std::exp(-(x * x + y * y) / kBeamTwoSigma2) / norm;
            EXPECT_NEAR(p.w[k], w, 1e-5 * w) << "N " << n << " sample " << k;
            if (k > 0) {  // row (y) major, then x, both increasing
                const float py = p.xy[2 * k - 1], px = p.xy[2 * k - 2];
                EXPECT_TRUE(py < y || (py == y && px < x))
                    << "N " << n << " sample " << k;
            }
        }
    }
    EXPECT_EQ(build_beam_pattern(10).size(), 81);
}

TEST(BeamPattern, RejectsGridsBeyondTheLimit) {
    EXPECT_NO_THROW(build_beam_pattern(kMaxBeamSamplesPerDim));
    const std::string msg =
        error_of([] { build_beam_pattern(kMaxBeamSamplesPerDim + 1); });
    EXPECT_NE(msg.find("beam_samples_per_dim"), std::string::npos) << msg;
}

TEST(RangeBins, CountsTheBinsOfTheWindow) {
    struct Case {
        float lo, hi, res;
        int last;
    };
    for (const Case& c : {Case{0.f, 100.f, 0.15f, 666}, Case{5.f, 5.f, 1.f, 0},
                          Case{-2.f, 2.f, 0.5f, 8}, Case{10.f, 10.4f, 1.f, 0}}) {
        const RangeBins r = range_bins(c.lo, c.hi, c.res);
        EXPECT_EQ(r.last_bin, c.last) << c.lo << " " << c.hi << " " << c.res;
        EXPECT_EQ(r.num_bins, c.last + 1);
    }
}

TEST(RangeBins, RejectsWindowsWithoutBinsOrTooManyBins) {
    struct Case {
        float lo, hi, res;
        const char* word;
    };
    const float nan = std::nanf("");
    for (const Case& c :
         {Case{0, 100, 0, "range_resolution"}, Case{0, 100, -0.1f, "range_resolution"},
          Case{0, 100, nan, "range_resolution"}, Case{50, 10, 0.15f, "max_range"},
          Case{0, INFINITY, 1, "max_range"}, Case{0, 1e30f, 1, "32-bit"}}) {
        const std::string msg = error_of([&] { range_bins(c.lo, c.hi, c.res); });
        EXPECT_NE(msg.find(c.word), std::string::npos) << "got '" << msg << "'";
    }
}

TEST(PulseKernel, FourNanosecondsAtFifteenCentimetres) {
    const PulseKernel k = build_pulse_kernel(4.0f, 0.15f);
    // sigma = c/2 * FWHM / (2 sqrt(2 ln 2)) = 0.2546 m; H = trunc(3 sigma / 0.15) = 5.
    const double sigma = 0.299792458 / 2.0 * 4.0 / (2.0 * std::sqrt(2.0 * std::log(2.0)));
    EXPECT_NEAR(sigma, 0.25464, 5e-5);  // the commonly quoted 0.25464 m, to its precision
    EXPECT_EQ(k.half_width, 5);
    ASSERT_EQ(k.taps.size(), 13u);
    double sum = 0.0;
    for (float t : k.taps) sum += t;
    EXPECT_NEAR(sum, 1.0, 1e-6);
    double norm = 0.0;
    for (int t = -6; t <= 6; ++t)
        norm += std::exp(-0.5 * (t * 0.15) * (t * 0.15) / (sigma * sigma));
    for (int t = -6; t <= 6; ++t) {
        const double want =
            std::exp(-0.5 * (t * 0.15) * (t * 0.15) / (sigma * sigma)) / norm;
        EXPECT_NEAR(k.taps[t + 6], want, 1e-5 * want) << "offset " << t;
        EXPECT_EQ(k.taps[t + 6], k.taps[6 - t]) << "offset " << t;
    }
}

TEST(PulseKernel, HalfWidthFollowsThreeSigma) {
    for (float res : {0.05f, 0.1f, 0.3f, 1.0f, 5.0f}) {
        for (float fwhm : {0.5f, 2.0f, 8.0f}) {
            const double sigma = 0.29979247 * fwhm * 0.5 / 2.35482;
            const PulseKernel k = build_pulse_kernel(fwhm, res);
            EXPECT_NEAR(k.half_width, std::floor(3.0 * sigma / res), 1.0)
                << fwhm << " " << res;
            EXPECT_EQ(k.taps.size(), size_t(2 * k.half_width + 3));
        }
    }
}

TEST(PulseKernel, RejectsDegenerateWidths) {
    struct Case {
        float fwhm, res;
        const char* word;
    };
    for (const Case& c :
         {Case{0, 0.15f, "pulse_fwhm_ns"}, Case{-4, 0.15f, "pulse_fwhm_ns"},
          Case{std::nanf(""), 0.15f, "pulse_fwhm_ns"}, Case{4, 0, "range_resolution"},
          Case{4, 1e-30f, "pulse_fwhm_ns"}}) {
        const std::string msg = error_of([&] { build_pulse_kernel(c.fwhm, c.res); });
        EXPECT_NE(msg.find(c.word), std::string::npos) << "got '" << msg << "'";
    }
}

}  // namespace
}  // namespace vorn
