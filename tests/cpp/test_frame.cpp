// Shading frame construction and the self-intersection offset.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>

#include "core/frame.h"

namespace vorn {
namespace {

float from_bits(uint32_t u) {
    float f;
    std::memcpy(&f, &u, sizeof f);
    return f;
}

void expect_vec_eq(float3 got, float3 want, const char* what) {
    EXPECT_EQ(got.x, want.x) << what;
    EXPECT_EQ(got.y, want.y) << what;
    EXPECT_EQ(got.z, want.z) << what;
}

TEST(ShadingFrame, PolarNormals) {
    // nx = ny = 0: t = (0, nz, 0) / |nz|, b = t x n = (1, 0, 0) for both signs.
    ShadingFrame up(make_f3(0, 0, 1));
    expect_vec_eq(up.t, make_f3(0, 1, 0), "t, n = +z");
    expect_vec_eq(up.b, make_f3(1, 0, 0), "b, n = +z");
    ShadingFrame down(make_f3(0, 0, -1));
    expect_vec_eq(down.t, make_f3(0, -1, 0), "t, n = -z");
    expect_vec_eq(down.b, make_f3(1, 0, 0), "b, n = -z");
    // |nx| > |ny| takes the other branch: t = (nz, 0, -nx) / sqrt(nx^2 + nz^2).
    ShadingFrame side(make_f3(1, 0, 0));
    expect_vec_eq(side.t, make_f3(0, 0, -1), "t, n = +x");
    expect_vec_eq(side.b, make_f3(0, -1, 0), "b, n = +x");
}

TEST(ShadingFrame, OrthonormalRightHandedAndInvertible) {
    // Fibonacci sphere: normals everywhere, including near both branch seams.
    const int n = 400;
    for (int i = 0; i < n; ++i) {
        double z = 1.0 - (2.0 * i + 1.0) / n;
        double r = std::sqrt(1.0 - z * z), phi = 2.399963229728653 * i;
        float3 nrm =
            make_f3(float(r * std::cos(phi)), float(r * std::sin(phi)), float(z));
        nrm = normalize(nrm);
        ShadingFrame f(nrm);
        const float tol = 2e-6f;
        ASSERT_NEAR(length(f.t), 1.0f, tol) << "i " << i;
        ASSERT_NEAR(length(f.b), 1.0f, tol) << "i " << i;
        ASSERT_NEAR(dot(f.t, f.n), 0.0f, tol) << "i " << i;
        ASSERT_NEAR(dot(f.b, f.n), 0.0f, tol) << "i " << i;
        ASSERT_NEAR(dot(f.t, f.b), 0.0f, tol) << "i " << i;
        // Local (x, y, z) = (b, t, n) is right-handed: b x t = n.
        float3 c = cross(f.b, f.t);
        ASSERT_NEAR(c.x, nrm.x, tol) << "i " << i;
        ASSERT_NEAR(c.y, nrm.y, tol) << "i " << i;
        ASSERT_NEAR(c.z, nrm.z, tol) << "i " << i;
        float3 ln = f.to_local(nrm);
        ASSERT_NEAR(ln.z, 1.0f, tol) << "i " << i;
        float3 v = normalize(make_f3(0.3f, -0.5f, 0.8f));
        float3 back = f.to_world(f.to_local(v));
        ASSERT_NEAR(back.x, v.x, tol) << "i " << i;
        ASSERT_NEAR(back.y, v.y, tol) << "i " << i;
        ASSERT_NEAR(back.z, v.z, tol) << "i " << i;
    }
}

TEST(ShadingFrame, LocalAxesAndWorldNormalisation) {
    ShadingFrame f(make_f3(0, 0, 1));  // b = +x, t = +y
    expect_vec_eq(f.to_local(make_f3(0.6f, 0.8f, 0)), make_f3(0.6f, 0.8f, 0), "to_local");
    float3 w = f.to_world(make_f3(3, 0, 4));  // not unit on input
    EXPECT_FLOAT_EQ(w.x, 0.6f);
    EXPECT_FLOAT_EQ(w.y, 0.0f);
    EXPECT_FLOAT_EQ(w.z, 0.8f);
}

TEST(OffsetRayOrigin, IntegerStepAtAndAboveThreshold) {
    // 1.0 = 0x3F800000; ng.z = 1 gives k = 256 ulps; ng.x = 0 leaves x alone.
    float3 o = offset_ray_origin(make_f3(1, 1, 1), make_f3(0, 0, 1));
    EXPECT_EQ(o.x, 1.0f);
    EXPECT_EQ(o.y, 1.0f);
    EXPECT_EQ(o.z, from_bits(0x3F800100u));
    EXPECT_EQ(o.z, 1.0f + std::ldexp(1.0f, -15));
    // |p| = 1/32 exactly is already on the integer side: 2^-5 = 0x3D000000.
    o = offset_ray_origin(make_f3(0.03125f, -0.03125f, 3.0f), make_f3(1, 1, 0.6f));
    EXPECT_EQ(o.x, from_bits(0x3D000100u));
    EXPECT_EQ(o.y, from_bits(0xBCFFFF00u));         // bits(-1/32) - 256: towards zero
    EXPECT_EQ(o.z, from_bits(0x40400000u + 153u));  // k = (int)(256 * 0.6) = 153
    // Negative p moving further negative: bits - k with k = -256.
    o = offset_ray_origin(make_f3(-2, -2, 5), make_f3(0, -1, -0.6f));
    EXPECT_EQ(o.x, -2.0f);
    EXPECT_EQ(o.y, from_bits(0xC0000100u));
    EXPECT_EQ(o.y, -(2.0f + std::ldexp(1.0f, -14)));
    EXPECT_EQ(o.z, from_bits(0x40A00000u - 153u));
}

TEST(OffsetRayOrigin, FixedStepBelowThreshold) {
    // p + ng / 65536, exact in double and rounded once to float.
    const float below = std::nextafter(0.03125f, 0.0f);
    const float ps[] = {0.0f, -0.0f, 0.015625f, -0.015625f, below, -below, 1e-6f};
    const float ngs[] = {1.0f, -1.0f, 0.5f, -0.25f, 0.6f};
    for (float p : ps) {
        for (float ng : ngs) {
            float want = float(double(p) + double(ng) / 65536.0);
            float3 o = offset_ray_origin(make_f3(p, p, p), make_f3(ng, 0, -ng));
            EXPECT_EQ(o.x, want) << "p " << p << " ng " << ng;
            EXPECT_EQ(o.y, p) << "p " << p << " ng 0";
            EXPECT_EQ(o.z, float(double(p) - double(ng) / 65536.0)) << "p " << p;
        }
    }
    EXPECT_EQ(offset_ray_origin(make_f3(0.015625f, 0, 0), make_f3(1, 0, 0)).x,
              0.015625f + std::ldexp(1.0f, -16));
}

TEST(OffsetRayOrigin, AlwaysMovesAlongTheNormal) {
    const float ps[] = {-1000.0f, -3.5f, -0.04f, -0.01f,  0.0f,
                        0.02f,    0.05f, 7.0f,   12345.0f};
    const float ngs[] = {-1.0f, -0.7f, -0.01f, -0.003f, 0.003f, 0.01f, 0.3f, 1.0f};
    for (float p : ps) {
        for (float ng : ngs) {
            float o = offset_ray_origin(make_f3(p, 0, 0), make_f3(ng, 0, 0)).x;
            if (std::fabs(256.0f * ng) < 1.0f && std::fabs(p) >= 0.03125f) {
                EXPECT_EQ(o, p) << "p " << p << " ng " << ng;  // k truncates to 0
            } else {
                EXPECT_GT((o - p) * ng, 0.0f) << "p " << p << " ng " << ng;
            }
        }
    }
}

}  // namespace
}  // namespace vorn
