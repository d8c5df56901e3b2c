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

MaterialData material(MaterialType t, int32_t off = 0, float wr = 0, float wt = 0) {
    return MaterialData{t, off, 0, {wr, wt}};
}

float3 polar_dir(double theta_deg, double phi_deg) {
    double t = theta_deg * kPi / 180.0, p = phi_deg * kPi / 180.0;
    return make_f3(float(std::sin(t) * std::cos(p)), float(std::sin(t) * std::sin(p)),
                   float(std::cos(t)));
}

// Radius uniform 1/4 -> r = 1/2, angle uniform 1/8 -> phi = pi/4; lobe chosen
// by the first uniform for a leaf (below 0.6 reflects), which then takes the
// radius and angle from the other two.
TEST(SampleBsdf, EveryModelAtAClosedFormPoint) {
    const float h = float(0.5 * std::sqrt(0.5)), z = float(std::sqrt(0.75));
    struct Case {
        MaterialData m;
        float u[3];
        float z, p;  // expected sign of z and lobe probability
    } cases[] = {
        {material(MaterialType::Lambertian), {0.25f, 0.125f, 0.9f}, 1, 1},
        {material(MaterialType::Rpv), {0.25f, 0.125f, 0.0f}, 1, 1},
        {material(MaterialType::Leaf, 0, 0.6f, 0.4f), {0.5f, 0.25f, 0.125f}, 1, 0.6f},
        {material(MaterialType::Leaf, 0, 0.6f, 0.4f), {0.6f, 0.25f, 0.125f}, -1, 0.4f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "type " << int(c.m.type) << " u0 " << c.u[0]);
        DirectionSample s = sample_bsdf(c.m, c.u);
        EXPECT_NEAR(s.w.x, h, 1e-6f);
        EXPECT_NEAR(s.w.y, h, 1e-6f);
        EXPECT_NEAR(s.w.z, c.z * z, 1e-6f);
        EXPECT_NEAR(s.pdf, z / kPi * c.p, 1e-7);
    }
    // Radius uniform 1 lies on the rim: z must clamp to 0, never NaN.
    DirectionSample rim = sample_cosine_hemisphere(1.0f, 0.37f);
    EXPECT_TRUE(rim.w.z >= 0.0f && rim.w.z < 1e-3f) << rim.w.z;
}

TEST(SampleBsdf, ZeroWeightLeafAndBlackMaterialsPointUp) {
    for (const MaterialData& m : {material(MaterialType::Leaf, 0, 0.0f, 0.0f),
                                  material(MaterialType::Leaf, 0, 4e-9f, 4e-9f),
                                  material(MaterialType(7), 0, 0.5f, 0.5f)}) {
        for (float v : {0.0f, 0.3f, 0.999f}) {
            const float u[3] = {v, 1.0f - v, 0.5f * v};
            DirectionSample s = sample_bsdf(m, u);
            EXPECT_TRUE(s.w.x == 0.0f && s.w.y == 0.0f && s.w.z == 1.0f) << int(m.type);
            EXPECT_EQ(s.pdf, 1.0f) << "type " << int(m.type) << " u " << v;
        }
    }
}

// Spectral array with nb = 2 and a material at offset 3; band 1 is read and
// every other slot holds garbage.
class BsdfSpectral : public ::testing::Test {
   protected:
    static constexpr int kNb = 2, kOff = 3, kBand = 1;
    std::vector<float> spec = std::vector<float>(kOff + 4 * kNb, -9.0f);
    void set(int q, float v) { spec[kOff + q * kNb + kBand] = v; }
    float eval(MaterialType t, float3 a, float3 w, bool back = false, bool comp = false) {
        return eval_bsdf(material(t, kOff), kBand, a, w, spec.data(), kNb, back, comp);
    }
    double absorbed(MaterialType t, bool back) const {
        return absorptance(t, kOff, kBand, spec.data(), kNb, back);
    }
};

TEST_F(BsdfSpectral, LambertianValueSupportAndComplement) {
    set(0, 0.3f);
    const MaterialType lam = MaterialType::Lambertian;
    const float3 up = polar_dir(20, 10), other = polar_dir(60, 200);
    EXPECT_FLOAT_EQ(eval(lam, up, other), float(0.3 / kPi));
    EXPECT_FLOAT_EQ(eval(lam, up, other, true, true), float(0.7 / kPi));
    for (float3 bad : {polar_dir(120, 30), make_f3(1, 0, 0)}) {
        EXPECT_EQ(eval(lam, bad, up), 0.0f);
        EXPECT_EQ(eval(lam, up, bad), 0.0f);
    }
    EXPECT_DOUBLE_EQ(absorbed(lam, false), 1.0 - double(0.3f));
}

TEST_F(BsdfSpectral, LeafFrontBackAndTransmissionOtherTypesBlack) {
    set(0, 0.11f);  // front reflectance
    set(1, 0.22f);  // back reflectance
    set(2, 0.33f);  // transmittance
    const MaterialType leaf = MaterialType::Leaf;
    const float3 a = polar_dir(30, 0), up = polar_dir(50, 90), down = polar_dir(140, 45);
    for (bool comp : {false, true}) {
        EXPECT_FLOAT_EQ(eval(leaf, a, up, false, comp), float(0.11 / kPi));
        EXPECT_FLOAT_EQ(eval(leaf, a, up, true, comp), float(0.22 / kPi));
        for (bool back : {false, true})
            EXPECT_FLOAT_EQ(eval(leaf, a, down, back, comp), float(0.33 / kPi));
        EXPECT_FLOAT_EQ(eval(leaf, a, make_f3(0, 1, 0), false, comp), float(0.33 / kPi));
        EXPECT_EQ(eval(leaf, down, up, false, comp), 0.0f);
    }
    EXPECT_DOUBLE_EQ(absorbed(leaf, false), 1.0 - double(0.11f + 0.33f));
    EXPECT_DOUBLE_EQ(absorbed(leaf, true), 1.0 - double(0.22f + 0.33f));
    for (int t : {2, 5, 14, -1}) {
        EXPECT_EQ(eval(MaterialType(t), a, up, false, true), 0.0f) << "type " << t;
        EXPECT_EQ(absorbed(MaterialType(t), true), 1.0) << "type " << t;
    }
}

TEST_F(BsdfSpectral, RpvMatchesAngularForm) {
    const double params[][4] = {{0.1, 0.7, -0.2, 0.4}, {0.25, 1.2, 0.15, 0.9}};
    const double r = kPi / 180.0, pi = 30 * r;  // incident azimuth
    for (const double* p : params) {
        for (int q = 0; q < 4; ++q) set(q, float(p[q]));
        for (double ti : {0.0, 40.0, 85.0}) {
            for (double tv : {0.0, 60.0, 80.0}) {
                for (double pv : {60.0, 180.0, 290.0}) {
                    // Phase angle by the spherical law of cosines, G from the
                    // tangents and the relative azimuth; no 1/pi.
                    double ci = std::cos(ti * r), cv = std::cos(tv * r);
                    double dphi = std::cos(pi - pv * r), th = p[2];
                    double cos_g = ci * cv + std::sin(ti * r) * std::sin(tv * r) * dphi;
                    double f =
                        (1 - th * th) / std::pow(1 + th * th + 2 * th * cos_g, 1.5);
                    double a = std::tan(ti * r), b = std::tan(tv * r);
                    double g = std::sqrt(std::max(a * a + b * b - 2 * a * b * dphi, 0.0));
                    double want = p[0] * std::pow(ci * cv, p[1] - 1) * f *
                                  (1 + (1 - p[3]) / (1 + g));
                    EXPECT_NEAR(
                        eval(MaterialType::Rpv, polar_dir(ti, 30), polar_dir(tv, pv)),
                        want, 5e-5 * want)
                        << "ti " << ti << " tv " << tv << " phi_v " << pv << " " << p[0];
                }
            }
        }
    }
    EXPECT_EQ(eval(MaterialType::Rpv, polar_dir(100, 0), polar_dir(20, 0)), 0.0f);
    EXPECT_EQ(eval(MaterialType::Rpv, polar_dir(20, 0), make_f3(1, 0, 0)), 0.0f);
    EXPECT_DOUBLE_EQ(absorbed(MaterialType::Rpv, false), 1.0 - double(0.25f));
}

TEST_F(BsdfSpectral, LambertianAlbedoByImportanceSampling) {
    const float3 a = polar_dir(35, 0);
    const int n = 20000;
    for (float rho : {0.05f, 0.5f, 0.95f}) {
        set(0, rho);
        Pcg32 rng;
        seed_path(rng, 5u, 1u);
        double sum = 0.0, sum2 = 0.0;
        for (int i = 0; i < n; ++i) {
            float u[3];
            draw_bsdf_uniforms(rng, u);
            DirectionSample s = sample_bsdf(material(MaterialType::Lambertian, kOff), u);
            double f = eval(MaterialType::Lambertian, a, s.w);
            double v = s.pdf < 1e-8f ? 0.0 : f * std::fabs(s.w.z) / s.pdf;
            sum += v;
            sum2 += v * v;
        }
        double mean = sum / n, se = std::sqrt(std::max(sum2 / n - mean * mean, 0.0) / n);
        EXPECT_NEAR(mean, rho, 5 * se + 1e-5) << "rho " << rho;
    }
}

}  // namespace
}  // namespace vorn
