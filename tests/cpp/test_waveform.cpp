// LiDAR waveform numerics: beam pattern, range bins and pulse kernel against
// closed forms.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/waveform.h"

namespace vorn {
namespace {

TEST(BeamPattern, GridsWithoutDiscPointsGiveTheCentralRay) {
    for (int n : {1, 0, -7}) {
        const BeamPattern p = build_beam_pattern(n);
        EXPECT_EQ(p.xy, (std::vector<float>{0.0f, 0.0f})) << "N " << n;
        EXPECT_EQ(p.w, (std::vector<float>{1.0f})) << "N " << n;
    }
}

TEST(BeamPattern, TwoByTwoIsTheCentreAndFourEdgeMidpoints) {
    const BeamPattern p = build_beam_pattern(2);
    EXPECT_EQ(p.xy, (std::vector<float>{0, -1, -1, 0, 0, 0, 1, 0, 0, 1}));
    // Gaussian weight exp(-r^2 / (2 sigma^2)) with 2 sigma^2 = 1.0003277.
    const double a = std::exp(-1.0 / 1.0003277), total = 4.0 * a + 1.0;
    const double want[5] = {a / total, a / total, 1.0 / total, a / total, a / total};
    ASSERT_EQ(p.size(), 5);
    for (int k = 0; k < 5; ++k) EXPECT_NEAR(p.w[k], want[k], 2e-7) << "sample " << k;
}

TEST(BeamPattern, TenByTenKeepsTheLatticePointsOfTheDisc) {
    // (2i - 10)^2 + (2j - 10)^2 <= 100 holds for 81 of the 121 points.
    const BeamPattern p = build_beam_pattern(10);
    ASSERT_EQ(p.size(), 81);
    double sum = 0.0;
    for (float w : p.w) sum += w;
    EXPECT_NEAR(sum, 1.0, 1e-5);
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

TEST(PulseKernel, FourNanosecondsAtFifteenCentimetres) {
    const PulseKernel k = build_pulse_kernel(4.0f, 0.15f);
    // sigma = c/2 * FWHM / (2 sqrt(2 ln 2)); H = trunc(3 sigma / 0.15) = 5.
    const double sigma = 0.299792458 / 2.0 * 4.0 / (2.0 * std::sqrt(2.0 * std::log(2.0)));
    EXPECT_NEAR(sigma, 0.25464, 5e-5);
    EXPECT_EQ(k.half_width, 5);
    ASSERT_EQ(k.taps.size(), 13u);
    double sum = 0.0, norm = 0.0;
    for (float t : k.taps) sum += t;
    EXPECT_NEAR(sum, 1.0, 1e-6);
    for (int t = -6; t <= 6; ++t)
        norm += std::exp(-0.5 * (t * 0.15) * (t * 0.15) / (sigma * sigma));
    for (int t = -6; t <= 6; ++t) {
        const double want =
            std::exp(-0.5 * (t * 0.15) * (t * 0.15) / (sigma * sigma)) / norm;
        EXPECT_NEAR(k.taps[t + 6], want, 1e-5 * want) << "offset " << t;
        EXPECT_EQ(k.taps[t + 6], k.taps[6 - t]) << "offset " << t;
    }
}

}  // namespace
}  // namespace vorn
