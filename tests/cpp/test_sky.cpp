// Parametric sky: zenith normalisation, the horizon clamp, Lz <= 0, and the
// gradation against a double-precision evaluation written with angles.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "core/sky.h"

namespace vorn {
namespace {

// A..I then Lz, typical of a clear sky.
const float kClear[10] = {-1.0f, -0.32f, 10.0f, -3.0f, 0.45f,
                          0.2f,  -0.4f,  0.3f,  0.05f, 120.0f};

float3 unit(double x, double y, double z) {
    double l = std::sqrt(x * x + y * y + z * z);
    return make_f3(float(x / l), float(y / l), float(z / l));
}

double gradation(const float* k, double cos_t, double gamma) {
    return (1 + k[0] * std::exp(k[1] / cos_t)) *
           (1 + k[2] * std::exp(k[3] * gamma) + k[4] * std::pow(std::cos(gamma), 2) +
            k[5] * std::exp(k[6] * gamma * gamma) + k[7] * std::sqrt(cos_t) + k[8]);
}

// Band 1 of two at offset 3; band 0 and the values before it hold garbage.
float radiance(const float* band1, float3 d, float3 s) {
    std::vector<float> a(3 + 20, 1e6f);
    std::copy(band1, band1 + 10, a.begin() + 13);
    return hw_sky_radiance(a.data(), 3, d, 1, s);
}

TEST(HwSky, ZenithRadianceIsLz) {
    for (double sz : {1.0, 0.5, 0.0}) {
        float3 s = unit(std::sqrt(1 - sz * sz) * 0.6, std::sqrt(1 - sz * sz) * 0.8, sz);
        EXPECT_FLOAT_EQ(radiance(kClear, make_f3(0, 0, 1), s), kClear[9]) << sz;
    }
}

TEST(HwSky, MatchesAngularEvaluationWithTheHorizonClamp) {
    // B = -0.001 makes exp(B / cos theta) = 1/e exactly at the clamp cos = 0.001,
    // a value that neither cos = 0 (-> 0) nor an unclamped negative cosine gives.
    float low_b[10];
    std::copy(kClear, kClear + 10, low_b);
    low_b[1] = -0.001f;
    for (const float* k : {kClear, static_cast<const float*>(low_b)}) {
        // The last sun is below the horizon: f0 takes it on the horizon.
        for (float3 s : {unit(0.3, 0.1, 0.9), unit(-0.7, 0.2, 0.3), unit(0.5, 0, -0.2)}) {
            double f0 = gradation(k, 1.0, std::acos(std::max(0.0, double(s.z))));
            for (double th : {5.0, 60.0, 89.99, 90.0, 143.0, 180.0}) {
                for (double ph : {0.0, 170.0, 260.0}) {
                    double t = th * M_PI / 180, p = ph * M_PI / 180;
                    float3 d = unit(std::sin(t) * std::cos(p), std::sin(t) * std::sin(p),
                                    std::cos(t));
                    double cg = double(d.x) * s.x + double(d.y) * s.y + double(d.z) * s.z;
                    double want =
                        k[9] * gradation(k, std::max(0.001, double(d.z)), std::acos(cg)) /
                        f0;
                    EXPECT_NEAR(radiance(k, d, s), want, 2e-5 * want)
                        << "B " << k[1] << " theta " << th << " phi " << ph << " sun z "
                        << s.z;
                }
            }
        }
    }
}

TEST(HwSky, NonPositiveZenithRadianceAndNegativeGradationGiveZero) {
    const float3 s = unit(0.1, 0.2, 0.9), d = unit(0.3, -0.2, 0.7);
    float k[10];
    std::copy(kClear, kClear + 10, k);
    for (float lz : {0.0f, -5.0f}) {
        k[9] = lz;
        EXPECT_EQ(radiance(k, d, s), 0.0f) << "Lz " << lz;
        EXPECT_EQ(radiance(k, make_f3(0, 0, 1), s), 0.0f) << "Lz " << lz;
    }
    // A = -2, B = 0: the zenith factor is -1 everywhere, f0 clamps to 0.001
    // and the negative radiance is clipped.
    const float neg[10] = {-2, 0, 0, 0, 0, 0, 0, 0, 0, 50};
    EXPECT_EQ(radiance(neg, d, s), 0.0f);
}

}  // namespace
}  // namespace vorn
