// Core routines whose exact values the physics suite cannot see: the random
// stream against its published reference, the shading frame, the offset's bit
// steps, the RPV model over all angles, the warps, and the parametric sky.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/bsdf.h"
#include "core/frame.h"
#include "core/pcg32.h"
#include "core/sky.h"

namespace vorn {
namespace {

float3 polar(double theta_deg, double phi_deg) {
    const double t = theta_deg * M_PI / 180.0, p = phi_deg * M_PI / 180.0;
    return make_f3(float(std::sin(t) * std::cos(p)), float(std::sin(t) * std::sin(p)), float(std::cos(t)));
}

bool same(float3 a, float3 b, float tol) {
    return std::abs(a.x - b.x) <= tol && std::abs(a.y - b.y) <= tol && std::abs(a.z - b.z) <= tol;
}

float from_bits(uint32_t u) {
    float f;
    std::memcpy(&f, &u, sizeof f);
    return f;
}

TEST(Pcg32, MatchesThePublishedStreamConvertsToFloatsAndFillsBsdfDrawsFromTheBack) {
    // pcg32_srandom_r(&rng, 42u, 54u) then pcg32_random_r in the author's minimal
    // C implementation (pcg32-demo, "Round 1").
    const uint32_t expected[] = {0xa15c02b7u, 0x7b47f409u, 0xba1d3330u, 0x83d2f293u, 0xbfa4784bu};
    Pcg32 rng;
    seed_path(rng, 42u, 54u);
    for (uint32_t e : expected) EXPECT_EQ(next_u32(rng), e);
    EXPECT_EQ(u32_to_unit_float(0u) + u32_to_unit_float(1u << 31), 0.5f);
    // Floats in [2^31, 2^32) are 256 apart, so the top 128 outputs round up to 2^32.
    for (uint32_t x = 4294967168u; x != 0u; ++x) ASSERT_EQ(u32_to_unit_float(x), 1.0f) << x;
    EXPECT_EQ(u32_to_unit_float(4294967167u), 1.0f - std::ldexp(1.0f, -24));
    Pcg32 a = rng, b = rng;
    float u[3];
    draw_bsdf_uniforms(a, u);
    for (int i = 2; i >= 0; --i) EXPECT_EQ(u[i], u32_to_unit_float(next_u32(b))) << i;
}

TEST(ShadingFrame, BranchesOrthonormalRightHandedAndInvertible) {
    // nx = ny = 0: t = (0, nz, 0), b = t x n = +x for both signs; |nx| > |ny|
    // takes the other branch: t = (nz, 0, -nx) / sqrt(nx^2 + nz^2).
    EXPECT_TRUE(same(ShadingFrame(make_f3(0, 0, -1)).t, make_f3(0, -1, 0), 0));
    EXPECT_TRUE(same(ShadingFrame(make_f3(0, 0, -1)).b, make_f3(1, 0, 0), 0));
    EXPECT_TRUE(same(ShadingFrame(make_f3(1, 0, 0)).t, make_f3(0, 0, -1), 0));
    const float3 v = normalize(make_f3(0.3f, -0.5f, 0.8f));
    for (int i = 0; i < 400; ++i) {  // Fibonacci sphere, both branch seams included
        const float3 n = polar(std::acos(1.0 - (2.0 * i + 1.0) / 400) * 180 / M_PI, 137.50776 * i);
        const ShadingFrame f(n);
        ASSERT_NEAR(dot(f.t, f.n), 0.0f, 2e-6f) << i;
        ASSERT_TRUE(same(cross(f.b, f.t), n, 2e-6f)) << i;                  // right-handed, unit
        ASSERT_TRUE(same(f.to_world(f.to_local(3.0f * v)), v, 2e-6f)) << i;  // renormalised
    }
}

TEST(OffsetRayOrigin, IntegerStepFromOneThirtySecondFixedStepBelow) {
    // ng = 1 gives k = 256 ulps; |p| = 1/32 exactly is already on the integer side.
    float3 o = offset_ray_origin(make_f3(0.03125f, -0.03125f, 3.0f), make_f3(1, 1, 0.6f));
    EXPECT_EQ(o.x, from_bits(0x3D000100u));
    EXPECT_EQ(o.y, from_bits(0xBCFFFF00u));         // bits(-1/32) - 256: towards zero
    EXPECT_EQ(o.z, from_bits(0x40400000u + 153u));  // k = (int)(256 * 0.6) = 153
    o = offset_ray_origin(make_f3(-2, -2, 5), make_f3(0, -1, -0.6f));
    EXPECT_TRUE(o.x == -2.0f && o.y == from_bits(0xC0000100u) && o.z == from_bits(0x40A00000u - 153u));
    const float below = std::nextafter(0.03125f, 0.0f);  // p + ng / 65536, rounded once
    for (float p : {0.0f, -0.015625f, below, -below}) {
        for (float ng : {1.0f, -0.25f, 0.6f}) {
            o = offset_ray_origin(make_f3(p, p, p), make_f3(ng, 0, -ng));
            EXPECT_TRUE(o.x == float(double(p) + double(ng) / 65536.0) && o.y == p &&
                        o.z == float(double(p) - double(ng) / 65536.0)) << p << " " << ng;
        }
    }
}

TEST(Bsdf, RpvMatchesItsAngularFormAndDegenerateSamplesPointUp) {
    // nb = 2, material at offset 3, band 1 read; every other slot holds garbage.
    std::vector<float> spec(3 + 4 * 2, -9.0f);
    const double params[][4] = {{0.1, 0.7, -0.2, 0.4}, {0.25, 1.2, 0.15, 0.9}};
    const double r = M_PI / 180.0, pi = 30 * r;  // incident azimuth
    const MaterialData rpv{MaterialType::Rpv, 3, 0, {}};
    for (const double* p : params) {
        for (int q = 0; q < 4; ++q) spec[size_t(3 + 2 * q + 1)] = float(p[q]);
        for (double ti : {0.0, 40.0, 85.0}) {
            for (double tv : {0.0, 60.0, 80.0}) {
                for (double pv : {60.0, 180.0, 290.0}) {
                    // Phase angle by the spherical law of cosines, G from the
                    // tangents and the relative azimuth; no 1/pi.
                    double ci = std::cos(ti * r), cv = std::cos(tv * r), dphi = std::cos(pi - pv * r);
                    double cos_g = ci * cv + std::sin(ti * r) * std::sin(tv * r) * dphi, th = p[2];
                    double f = (1 - th * th) / std::pow(1 + th * th + 2 * th * cos_g, 1.5);
                    double a = std::tan(ti * r), b = std::tan(tv * r);
                    double g = std::sqrt(std::max(a * a + b * b - 2 * a * b * dphi, 0.0));
                    double want = p[0] * std::pow(ci * cv, p[1] - 1) * f * (1 + (1 - p[3]) / (1 + g));
                    EXPECT_NEAR(eval_bsdf(rpv, 1, polar(ti, 30), polar(tv, pv), spec.data(), 2, false, false),
                                want, 5e-5 * want) << "ti " << ti << " tv " << tv << " phi_v " << pv;
                }
            }
        }
    }
    EXPECT_EQ(eval_bsdf(rpv, 1, polar(100, 0), polar(20, 0), spec.data(), 2, false, false), 0.0f);
    EXPECT_DOUBLE_EQ(absorptance(rpv, 1, spec.data(), 2, false), 1.0 - double(0.25f));
    // Radius uniform 1 lies on the rim: z clamps to 0, never NaN.
    const DirectionSample rim = sample_cosine_hemisphere(1.0f, 0.37f);
    EXPECT_TRUE(rim.w.z >= 0.0f && rim.w.z < 1e-3f) << rim.w.z;
    // Radius uniform 1/4 -> r = 1/2, angle uniform 1/8 -> phi = pi/4. A leaf picks
    // its lobe with u[0] (below p_r = 0.6 reflects) and warps u[1], u[2]; the
    // other models warp u[0], u[1]. Leaves that cannot choose a lobe and types
    // without a model sample (0, 0, 1) with pdf 1.
    const float h = float(0.5 * std::sqrt(0.5)), z = std::sqrt(0.75f), pz = float(z / M_PI);
    const struct {
        MaterialData m;
        float u[3];
        float3 w;
        float pdf;
    } cases[] = {{{MaterialType::Lambertian, 0, 0, {}}, {0.25f, 0.125f, 0.9f}, {h, h, z}, pz},
                 {{MaterialType::Rpv, 0, 0, {}}, {0.25f, 0.125f, 0.0f}, {h, h, z}, pz},
                 {{MaterialType::Leaf, 0, 0, {0.6f, 0.4f}}, {0.5f, 0.25f, 0.125f}, {h, h, z}, 0.6f * pz},
                 {{MaterialType::Leaf, 0, 0, {0.6f, 0.4f}}, {0.6f, 0.25f, 0.125f}, {h, h, -z}, 0.4f * pz},
                 {{MaterialType::Leaf, 0, 0, {0.0f, 0.0f}}, {0.3f, 0.7f, 0.1f}, {0, 0, 1}, 1},
                 {{MaterialType::Leaf, 0, 0, {4e-9f, 4e-9f}}, {0.3f, 0.7f, 0.1f}, {0, 0, 1}, 1},
                 {{MaterialType(7), 0, 0, {0.5f, 0.5f}}, {0.3f, 0.7f, 0.1f}, {0, 0, 1}, 1}};
    for (const auto& c : cases) {
        const DirectionSample s = sample_bsdf(c.m, c.u);
        EXPECT_TRUE(same(s.w, c.w, 1e-6f)) << int(c.m.type) << " " << c.u[0];
        EXPECT_NEAR(s.pdf, c.pdf, 1e-7) << int(c.m.type) << " " << c.u[0];
    }
}

double gradation(const float* k, double cos_t, double gamma) {
    return (1 + k[0] * std::exp(k[1] / cos_t)) *
           (1 + k[2] * std::exp(k[3] * gamma) + k[4] * std::pow(std::cos(gamma), 2) +
            k[5] * std::exp(k[6] * gamma * gamma) + k[7] * std::sqrt(cos_t) + k[8]);
}

TEST(HwSky, MatchesAngularEvaluationNormalisedToLzAtTheZenithWithTheHorizonClamp) {
    // A clear sky; then B = -0.001, which makes exp(B / cos theta) = 1/e exactly
    // at the clamp cos = 0.001, unlike cos = 0 or an unclamped negative cosine.
    float k[10] = {-1.0f, -0.32f, 10.0f, -3.0f, 0.45f, 0.2f, -0.4f, 0.3f, 0.05f, 120.0f};
    // Band 1 of two at offset 3; band 0 and the values before it hold garbage.
    std::vector<float> a(23, 1e6f);
    for (float b : {-0.32f, -0.001f}) {
        k[1] = b;
        std::copy(k, k + 10, a.begin() + 13);
        // The last sun is below the horizon: f0 takes it on the horizon.
        for (float3 s : {polar(25, 18), polar(72, 164), polar(102, 0)}) {
            if (s.z >= 0) EXPECT_NEAR(hw_sky_radiance(a.data(), 3, make_f3(0, 0, 1), 1, s), k[9], 2e-5 * k[9]);
            const double f0 = gradation(k, 1.0, std::acos(std::max(0.0, double(s.z))));
            for (double th : {5.0, 60.0, 89.99, 90.0, 143.0}) {
                for (double ph : {0.0, 170.0, 260.0}) {
                    const float3 d = polar(th, ph);
                    const double cg = double(d.x) * s.x + double(d.y) * s.y + double(d.z) * s.z;
                    const double want = k[9] * gradation(k, std::max(0.001, double(d.z)), std::acos(cg)) / f0;
                    EXPECT_NEAR(hw_sky_radiance(a.data(), 3, d, 1, s), want, 2e-5 * want)
                        << "B " << b << " theta " << th << " phi " << ph << " sun z " << s.z;
                }
            }
        }
    }
    for (float lz : {0.0f, -5.0f}) {  // no sky in this band
        a[22] = lz;
        EXPECT_EQ(hw_sky_radiance(a.data(), 3, polar(40, 20), 1, polar(20, 70)), 0.0f) << lz;
    }
    // A = -2, B = 0: the zenith factor is -1 everywhere, f0 clamps to 0.001
    // and the negative radiance is clipped.
    const float neg[10] = {-2, 0, 0, 0, 0, 0, 0, 0, 0, 50};
    EXPECT_EQ(hw_sky_radiance(neg, 0, polar(40, 20), 0, polar(20, 70)), 0.0f);
}

}  // namespace
}  // namespace vorn
