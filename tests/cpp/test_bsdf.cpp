// Direction sampling, evaluation and absorptance of the CPU material models.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/bsdf.h"
#include "core/pcg32.h"
#include "core/sampling.h"

namespace vorn {
namespace {

constexpr double kPi = 3.14159265358979323846;

MaterialData make_material(MaterialType type, int32_t offset, float w_reflect = 0.0f,
                           float w_transmit = 0.0f) {
    MaterialData m{};
    m.type = type;
    m.offset = offset;
    m.params[0] = w_reflect;
    m.params[1] = w_transmit;
    return m;
}

float3 polar_dir(double theta_deg, double phi_deg) {
    double t = theta_deg * kPi / 180.0, p = phi_deg * kPi / 180.0;
    return make_f3(float(std::sin(t) * std::cos(p)), float(std::sin(t) * std::sin(p)),
                   float(std::cos(t)));
}

// Mean and standard error of a Monte Carlo estimator.
struct Estimate {
    double mean, stderr_;
};

template <class F>
Estimate monte_carlo(int n, uint64_t seed, F&& sample_value) {
    Pcg32 rng;
    seed_path(rng, seed, 1u);
    double sum = 0.0, sum2 = 0.0;
    for (int i = 0; i < n; ++i) {
        float u[3];
        draw_bsdf_uniforms(rng, u);
        double v = sample_value(u);
        sum += v;
        sum2 += v * v;
    }
    double mean = sum / n, var = std::max(sum2 / n - mean * mean, 0.0);
    return {mean, std::sqrt(var / n)};
}

TEST(CosineHemisphere, ClosedFormPoint) {
    // u_r = 1/4 -> r = 1/2; u_phi = 1/8 -> phi = pi/4.
    DirectionSample s = sample_cosine_hemisphere(0.25f, 0.125f);
    const float h = float(0.5 * std::sqrt(0.5));
    EXPECT_NEAR(s.w.x, h, 1e-6f);
    EXPECT_NEAR(s.w.y, h, 1e-6f);
    EXPECT_NEAR(s.w.z, float(std::sqrt(0.75)), 1e-6f);
    EXPECT_NEAR(s.pdf, float(std::sqrt(0.75) / kPi), 1e-7f);
    EXPECT_EQ(cosine_hemisphere_pdf(-0.5f), 0.0f);
    // u_r = 1 lies on the rim: z must clamp to 0, never NaN.
    for (float phi : {0.0f, 0.1f, 0.37f, 0.8f, 1.0f}) {
        DirectionSample rim = sample_cosine_hemisphere(1.0f, phi);
        EXPECT_GE(rim.w.z, 0.0f) << "u_phi " << phi;
        EXPECT_LT(rim.w.z, 1e-3f) << "u_phi " << phi;
    }
}

TEST(CosineHemisphere, DistributionMatchesCosineLaw) {
    // Under cos(theta)/pi, z^2 and phi are both uniform: bin them.
    const int n = 100000, zbins = 10, pbins = 8;
    std::vector<int> zc(zbins, 0), pc(pbins, 0);
    const MaterialData lam = make_material(MaterialType::Lambertian, 0);
    Pcg32 rng;
    seed_path(rng, 2024u, 3u);
    for (int i = 0; i < n; ++i) {
        float u[3];
        draw_bsdf_uniforms(rng, u);
        DirectionSample s = sample_bsdf(lam, u);
        ASSERT_NEAR(length(s.w), 1.0f, 1e-5f);
        ASSERT_NEAR(s.pdf, s.w.z * float(1.0 / kPi), 1e-6f);
        zc[std::min(int(s.w.z * s.w.z * zbins), zbins - 1)]++;
        double phi = std::atan2(s.w.y, s.w.x);
        pc[std::min(int((phi + kPi) / (2 * kPi) * pbins), pbins - 1)]++;
    }
    for (int b = 0; b < zbins; ++b) {
        double p = 1.0 / zbins, sd = std::sqrt(n * p * (1 - p));
        EXPECT_NEAR(zc[b], n * p, 5 * sd) << "z^2 bin " << b;
    }
    for (int b = 0; b < pbins; ++b) {
        double p = 1.0 / pbins, sd = std::sqrt(n * p * (1 - p));
        EXPECT_NEAR(pc[b], n * p, 5 * sd) << "phi bin " << b;
    }
}

TEST(SampleBsdf, LambertianAndRpvUseFirstTwoUniforms) {
    for (MaterialType t : {MaterialType::Lambertian, MaterialType::Rpv}) {
        const MaterialData m = make_material(t, 0);
        for (float u2 : {0.0f, 0.4f, 1.0f}) {
            const float u[3] = {0.25f, 0.125f, u2};
            DirectionSample s = sample_bsdf(m, u);
            DirectionSample c = sample_cosine_hemisphere(0.25f, 0.125f);
            EXPECT_EQ(s.w.x, c.w.x) << "type " << int(t) << " u2 " << u2;
            EXPECT_EQ(s.w.z, c.w.z) << "type " << int(t) << " u2 " << u2;
            EXPECT_EQ(s.pdf, c.pdf) << "type " << int(t) << " u2 " << u2;
        }
    }
}

TEST(SampleBsdf, LeafChoosesLobeWithFirstUniform) {
    const MaterialData leaf = make_material(MaterialType::Leaf, 0, 0.6f, 0.4f);
    const float zc = float(std::sqrt(0.75)), h = float(0.5 * std::sqrt(0.5));
    // u[1] = radius uniform, u[2] = angle uniform; u[0] < 0.6 reflects.
    struct Case {
        float u0;
        bool reflect;
    } cases[] = {{0.0f, true}, {0.5f, true}, {0.6f, false}, {0.99f, false}};
    for (const Case& c : cases) {
        const float u[3] = {c.u0, 0.25f, 0.125f};
        DirectionSample s = sample_bsdf(leaf, u);
        EXPECT_NEAR(s.w.x, h, 1e-6f) << "u0 " << c.u0;
        EXPECT_NEAR(s.w.y, h, 1e-6f) << "u0 " << c.u0;
        EXPECT_NEAR(s.w.z, c.reflect ? zc : -zc, 1e-6f) << "u0 " << c.u0;
        double p = c.reflect ? 0.6 : 0.4;
        EXPECT_NEAR(s.pdf, zc / kPi * p, 1e-6) << "u0 " << c.u0;
    }
}

TEST(SampleBsdf, DegenerateAndBlackMaterialsPointUp) {
    const MaterialData zero_leaf = make_material(MaterialType::Leaf, 0, 0.0f, 0.0f);
    const MaterialData tiny_leaf = make_material(MaterialType::Leaf, 0, 4e-9f, 4e-9f);
    const MaterialData black = make_material(static_cast<MaterialType>(7), 0, 0.5f, 0.5f);
    for (const MaterialData& m : {zero_leaf, tiny_leaf, black}) {
        for (float v : {0.0f, 0.3f, 0.999f}) {
            const float u[3] = {v, 1.0f - v, 0.5f * v};
            DirectionSample s = sample_bsdf(m, u);
            EXPECT_EQ(s.w.x, 0.0f);
            EXPECT_EQ(s.w.y, 0.0f);
            EXPECT_EQ(s.w.z, 1.0f) << "type " << int(m.type) << " u " << v;
            EXPECT_EQ(s.pdf, 1.0f) << "type " << int(m.type) << " u " << v;
        }
    }
}

// Spectral array with nb = 2 and a material at offset 3; band b = 1 is read.
class BsdfSpectral : public ::testing::Test {
   protected:
    static constexpr int kNb = 2, kOff = 3, kBand = 1;
    std::vector<float> spec = std::vector<float>(kOff + 4 * kNb, -9.0f);
    void set(int q, float v) { spec[kOff + q * kNb + kBand] = v; }
    float eval(MaterialType t, float3 a, float3 w, bool back, bool comp) const {
        return eval_bsdf(t, kOff, kBand, a, w, spec.data(), kNb, back, comp);
    }
};

TEST_F(BsdfSpectral, LambertianValueSupportAndComplement) {
    set(0, 0.3f);
    const float3 up = polar_dir(20, 10), other = polar_dir(60, 200);
    const float3 below = polar_dir(120, 30), horizon = make_f3(1, 0, 0);
    EXPECT_FLOAT_EQ(eval(MaterialType::Lambertian, up, other, false, false),
                    float(0.3 / kPi));
    EXPECT_FLOAT_EQ(eval(MaterialType::Lambertian, up, other, true, true),
                    float(0.7 / kPi));
    for (float3 bad : {below, horizon}) {
        EXPECT_EQ(eval(MaterialType::Lambertian, bad, up, false, false), 0.0f);
        EXPECT_EQ(eval(MaterialType::Lambertian, up, bad, false, false), 0.0f);
    }
    const MaterialData m = make_material(MaterialType::Lambertian, kOff);
    EXPECT_EQ(eval_bsdf(m, kBand, up, other, spec.data(), kNb, false, true),
              eval(MaterialType::Lambertian, up, other, false, true));
    EXPECT_DOUBLE_EQ(
        absorptance(MaterialType::Lambertian, kOff, kBand, spec.data(), kNb, false),
        1.0 - double(0.3f));
}

TEST_F(BsdfSpectral, LeafFrontBackAndTransmission) {
    set(0, 0.11f);  // front reflectance
    set(1, 0.22f);  // back reflectance
    set(2, 0.33f);  // transmittance
    const float3 a = polar_dir(30, 0), up = polar_dir(50, 90), down = polar_dir(140, 45);
    const float3 horizon = make_f3(0, 1, 0);
    for (bool comp : {false, true}) {
        EXPECT_FLOAT_EQ(eval(MaterialType::Leaf, a, up, false, comp), float(0.11 / kPi));
        EXPECT_FLOAT_EQ(eval(MaterialType::Leaf, a, up, true, comp), float(0.22 / kPi));
        EXPECT_FLOAT_EQ(eval(MaterialType::Leaf, a, down, false, comp),
                        float(0.33 / kPi));
        EXPECT_FLOAT_EQ(eval(MaterialType::Leaf, a, down, true, comp), float(0.33 / kPi));
        EXPECT_FLOAT_EQ(eval(MaterialType::Leaf, a, horizon, false, comp),
                        float(0.33 / kPi));
        EXPECT_EQ(eval(MaterialType::Leaf, down, up, false, comp), 0.0f);
        EXPECT_EQ(eval(MaterialType::Leaf, horizon, up, false, comp), 0.0f);
    }
    const float* s = spec.data();
    EXPECT_DOUBLE_EQ(absorptance(MaterialType::Leaf, kOff, kBand, s, kNb, false),
                     1.0 - double(0.11f + 0.33f));
    EXPECT_DOUBLE_EQ(absorptance(MaterialType::Leaf, kOff, kBand, s, kNb, true),
                     1.0 - double(0.22f + 0.33f));
}

TEST_F(BsdfSpectral, BlackTypesNeitherReflectNorTransmit) {
    set(0, 0.5f);
    const float3 a = polar_dir(10, 0), w = polar_dir(30, 60);
    for (int t : {2, 5, 12, 14, -1}) {
        EXPECT_EQ(eval(static_cast<MaterialType>(t), a, w, false, true), 0.0f)
            << "type " << t;
        EXPECT_EQ(absorptance(static_cast<MaterialType>(t), kOff, kBand, spec.data(), kNb,
                              true),
                  1.0)
            << "type " << t;
    }
}

// RPV written with angles in double: phase angle from the spherical law of
// cosines, G from the tangents and the relative azimuth.
double rpv_reference(double ti, double pi, double tv, double pv, double rho0, double k,
                     double th, double rc) {
    double ci = std::cos(ti), cv = std::cos(tv), dphi = std::cos(pi - pv);
    double m = std::pow(ci * cv, k - 1.0);
    double cos_g = ci * cv + std::sin(ti) * std::sin(tv) * dphi;
    double f = (1 - th * th) / std::pow(1 + th * th + 2 * th * cos_g, 1.5);
    double a = std::tan(ti), b = std::tan(tv);
    double g = std::sqrt(std::max(a * a + b * b - 2 * a * b * dphi, 0.0));
    return rho0 * m * f * (1 + (1 - rc) / (1 + g));
}

TEST_F(BsdfSpectral, RpvMatchesAngularForm) {
    const double params[][4] = {{0.1, 0.7, -0.2, 0.4}, {0.25, 1.2, 0.15, 0.9}};
    for (const auto& p : params) {
        for (int q = 0; q < 4; ++q) set(q, float(p[q]));
        for (double ti : {0.0, 15.0, 40.0, 70.0, 85.0}) {
            for (double tv : {0.0, 25.0, 60.0, 80.0}) {
                for (double pv : {0.0, 60.0, 180.0, 290.0}) {
                    const double d2r = kPi / 180.0;
                    double want = rpv_reference(ti * d2r, 30 * d2r, tv * d2r, pv * d2r,
                                                p[0], p[1], p[2], p[3]);
                    float got = eval(MaterialType::Rpv, polar_dir(ti, 30),
                                     polar_dir(tv, pv), false, false);
                    EXPECT_NEAR(got, want, 5e-5 * want)
                        << "ti " << ti << " tv " << tv << " phi_v " << pv << " rho0 "
                        << p[0];
                }
            }
        }
    }
    EXPECT_EQ(eval(MaterialType::Rpv, polar_dir(100, 0), polar_dir(20, 0), false, false),
              0.0f);
    EXPECT_EQ(eval(MaterialType::Rpv, polar_dir(20, 0), make_f3(1, 0, 0), false, false),
              0.0f);
    EXPECT_DOUBLE_EQ(absorptance(MaterialType::Rpv, kOff, kBand, spec.data(), kNb, false),
                     1.0 - double(0.25f));
}

TEST_F(BsdfSpectral, RpvIsotropicLimitIsRho0WithoutPi) {
    // k = 1, Theta = 0, rho_c = 1: every factor but rho0 is exactly 1.
    set(0, 0.2f);
    set(1, 1.0f);
    set(2, 0.0f);
    set(3, 1.0f);
    for (double ti : {0.0, 30.0, 75.0}) {
        for (double tv : {5.0, 45.0, 89.0}) {
            float got = eval(MaterialType::Rpv, polar_dir(ti, 0), polar_dir(tv, 130),
                             false, true);
            EXPECT_FLOAT_EQ(got, 0.2f) << "ti " << ti << " tv " << tv;
        }
    }
}

TEST_F(BsdfSpectral, LambertianAlbedoByImportanceSampling) {
    const MaterialData m = make_material(MaterialType::Lambertian, kOff);
    const float3 a = polar_dir(35, 0);
    for (float rho : {0.05f, 0.5f, 0.95f}) {
        set(0, rho);
        Estimate e = monte_carlo(20000, 5u, [&](const float* u) {
            DirectionSample s = sample_bsdf(m, u);
            if (s.pdf < 1e-8f) return 0.0;
            return double(eval_bsdf(m, kBand, a, s.w, spec.data(), kNb, false, false)) *
                   std::fabs(s.w.z) / s.pdf;
        });
        EXPECT_NEAR(e.mean, rho, 5 * e.stderr_ + 1e-5) << "rho " << rho;
    }
}

TEST_F(BsdfSpectral, LeafEnergyIsReflectancePlusTransmittance) {
    set(0, 0.08f);
    set(1, 0.15f);
    set(2, 0.42f);
    const float3 a = polar_dir(25, 0);
    const int n = 40000;
    for (float pr : {0.2f, 0.5f, 0.85f}) {
        const MaterialData m = make_material(MaterialType::Leaf, kOff, pr, 1.0f - pr);
        for (bool back : {false, true}) {
            Estimate e = monte_carlo(n, 9u, [&](const float* u) {
                DirectionSample s = sample_bsdf(m, u);
                return double(
                           eval_bsdf(m, kBand, a, s.w, spec.data(), kNb, back, false)) *
                       std::fabs(s.w.z) / s.pdf;
            });
            double r = back ? 0.15 : 0.08, t = 0.42;
            // The estimator takes r/p or t/(1-p): a Bernoulli spread.
            double sd = std::sqrt(pr * (1 - pr)) * std::fabs(r / pr - t / (1 - pr));
            EXPECT_NEAR(e.mean, r + t, 5 * sd / std::sqrt(n) + 1e-5)
                << "p_reflect " << pr << " back " << back;
            EXPECT_NEAR(1.0 - e.mean, absorptance(m, kBand, spec.data(), kNb, back),
                        5 * sd / std::sqrt(n) + 1e-5);
        }
    }
}

TEST_F(BsdfSpectral, RpvAlbedoMatchesQuadrature) {
    const double p[4] = {0.12, 0.8, -0.15, 0.3};
    for (int q = 0; q < 4; ++q) set(q, float(p[q]));
    const MaterialData m = make_material(MaterialType::Rpv, kOff);
    const double ti = 40.0 * kPi / 180.0;
    const float3 a = polar_dir(40, 0);
    // Midpoint rule in (cos^2 theta_v, phi_v), which absorbs the cosine weight.
    const int nt = 400, np = 200;
    double quad = 0.0;
    for (int i = 0; i < nt; ++i) {
        double tv = std::acos(std::sqrt((i + 0.5) / nt));
        for (int j = 0; j < np; ++j) {
            double pv = 2 * kPi * (j + 0.5) / np;
            quad += rpv_reference(ti, 0.0, tv, pv, p[0], p[1], p[2], p[3]);
        }
    }
    quad *= kPi / (double(nt) * np);
    Estimate e = monte_carlo(200000, 17u, [&](const float* u) {
        DirectionSample s = sample_bsdf(m, u);
        return double(eval_bsdf(m, kBand, a, s.w, spec.data(), kNb, false, false)) *
               std::fabs(s.w.z) / s.pdf;
    });
    EXPECT_NEAR(e.mean, quad, 5 * e.stderr_ + 2e-3 * quad);
}

}  // namespace
}  // namespace vorn
