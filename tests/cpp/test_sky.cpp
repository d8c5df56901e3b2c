// Parametric sky: zenith normalisation, the horizon clamp, band layout and the
// gradation against a double-precision evaluation written with angles.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/sky.h"

namespace vorn {
namespace {

constexpr double kPi = 3.14159265358979323846;

// A..I then Lz, typical of a clear sky.
const float kClear[10] = {-1.0f, -0.32f, 10.0f, -3.0f, 0.45f,
                          0.2f,  -0.4f,  0.3f,  0.05f, 120.0f};

float3 unit(double x, double y, double z) {
    double l = std::sqrt(x * x + y * y + z * z);
    return make_f3(float(x / l), float(y / l), float(z / l));
}

double gradation(const float* k, double cos_t, double gamma) {
    double zen = 1 + k[0] * std::exp(k[1] / cos_t);
    double sun = 1 + k[2] * std::exp(k[3] * gamma) + k[4] * std::pow(std::cos(gamma), 2) +
                 k[5] * std::exp(k[6] * gamma * gamma) + k[7] * std::sqrt(cos_t) + k[8];
    return zen * sun;
}

// The model as angles: theta from the zenith (clamped just above the
// horizon), gamma between view and sun, theta_s for the zenith reference.
double reference(const float* k, float3 d, float3 s) {
    if (k[9] <= 0) return 0.0;
    double cos_t = std::max(0.001, double(d.z));
    double cg = double(d.x) * s.x + double(d.y) * s.y + double(d.z) * s.z;
    double gamma = std::acos(std::min(1.0, std::max(-1.0, cg)));
    double theta_s = std::acos(std::min(1.0, std::max(0.0, double(s.z))));
    double f0 = std::max(gradation(k, 1.0, theta_s), 0.001);
    return std::max(0.0, k[9] * gradation(k, cos_t, gamma) / f0);
}

std::vector<float> sky_array(int offset, int nb, const float* band1) {
    std::vector<float> a(offset + 10 * nb, 1e6f);  // neighbours hold garbage
    for (int q = 0; q < 10; ++q) a[offset + 10 * 1 + q] = band1[q];
    return a;
}

TEST(HwSky, ZenithRadianceIsLz) {
    const auto spec = sky_array(3, 2, kClear);
    for (double sz : {1.0, 0.9, 0.5, 0.1, 0.0}) {
        for (double az : {0.0, 2.0}) {
            double r = std::sqrt(1 - sz * sz);
            float3 s = unit(r * std::cos(az), r * std::sin(az), sz);
            EXPECT_FLOAT_EQ(hw_sky_radiance(spec.data(), 3, make_f3(0, 0, 1), 1, s),
                            kClear[9])
                << "sun z " << sz << " az " << az;
        }
    }
}

TEST(HwSky, MatchesAngularEvaluation) {
    const auto spec = sky_array(0, 3, kClear);
    // The last sun is below the horizon: its zenith reference sits on the horizon.
    const float3 suns[] = {unit(0.3, 0.1, 0.9), unit(-0.7, 0.2, 0.3), unit(0, 1, 0),
                           unit(0.5, 0, -0.2)};
    for (float3 s : suns) {
        for (double th : {5.0, 30.0, 60.0, 85.0, 89.99}) {
            for (double ph : {0.0, 45.0, 170.0, 260.0}) {
                double t = th * kPi / 180, p = ph * kPi / 180;
                float3 d = unit(std::sin(t) * std::cos(p), std::sin(t) * std::sin(p),
                                std::cos(t));
                double want = reference(kClear, d, s);
                EXPECT_NEAR(hw_sky_radiance(spec.data(), 0, d, 1, s), want,
                            2e-5 * want + 1e-6)
                    << "theta " << th << " phi " << ph << " sun " << s.x << "," << s.y
                    << "," << s.z;
            }
        }
    }
}

TEST(HwSky, HorizonAndBelowUseCosThetaOneThousandth) {
    // B = -0.001 makes exp(B / cos theta) = 1/e exactly at the clamp, a value
    // that neither cos = 0 (-> 0) nor an unclamped negative cosine gives.
    float k[10];
    std::copy(kClear, kClear + 10, k);
    k[1] = -0.001f;
    const auto spec = sky_array(0, 2, k);
    const float3 s = unit(0.2, 0.3, 0.8);
    const float3 dirs[] = {make_f3(1, 0, 0), unit(0.6, 0, -0.8), make_f3(0, 0, -1),
                           unit(1, 0, 0.0005)};
    for (float3 d : dirs) {
        double cg = double(d.x) * s.x + double(d.y) * s.y + double(d.z) * s.z;
        double f0 = gradation(k, 1.0, std::acos(double(s.z)));
        double want = k[9] * gradation(k, 0.001, std::acos(cg)) / f0;
        EXPECT_NEAR(hw_sky_radiance(spec.data(), 0, d, 1, s), want, 2e-5 * want)
            << "d " << d.x << "," << d.y << "," << d.z;
    }
}

TEST(HwSky, NonPositiveZenithRadianceAndNegativeGradationGiveZero) {
    const float3 s = unit(0.1, 0.2, 0.9), d = unit(0.3, -0.2, 0.7);
    for (float lz : {0.0f, -5.0f}) {
        float k[10];
        std::copy(kClear, kClear + 10, k);
        k[9] = lz;
        const auto spec = sky_array(2, 2, k);
        EXPECT_EQ(hw_sky_radiance(spec.data(), 2, d, 1, s), 0.0f) << "Lz " << lz;
        EXPECT_EQ(hw_sky_radiance(spec.data(), 2, make_f3(0, 0, 1), 1, s), 0.0f)
            << "Lz " << lz;
    }
    // A = -2, B = 0: the zenith factor is -1 everywhere, f0 clamps to 0.001
    // and the negative radiance is clipped.
    float k[10] = {-2.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 50.0f};
    const auto spec = sky_array(0, 2, k);
    EXPECT_EQ(hw_sky_radiance(spec.data(), 0, d, 1, s), 0.0f);
}

TEST(HwSky, ReadsOnlyItsOwnBand) {
    // Band 1 lives at offset + 10; band 0 is garbage (1e6) and must not matter.
    const auto spec = sky_array(7, 2, kClear);
    const float3 s = unit(0.5, 0.0, 0.8), d = unit(-0.2, 0.4, 0.6);
    double want = reference(kClear, d, s);
    EXPECT_NEAR(hw_sky_radiance(spec.data(), 7, d, 1, s), want, 2e-5 * want);
}

}  // namespace
}  // namespace vorn
