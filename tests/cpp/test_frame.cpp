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

void expect_near3(float3 got, float3 want, float tol, int i) {
    EXPECT_NEAR(got.x, want.x, tol) << "case " << i;
    EXPECT_NEAR(got.y, want.y, tol) << "case " << i;
    EXPECT_NEAR(got.z, want.z, tol) << "case " << i;
}

TEST(ShadingFrame, AxisNormals) {
    // nx = ny = 0: t = (0, nz, 0), b = t x n = +x for both signs; |nx| > |ny|
    // takes the other branch: t = (nz, 0, -nx) / sqrt(nx^2 + nz^2).
    const float3 n[] = {make_f3(0, 0, 1), make_f3(0, 0, -1), make_f3(1, 0, 0)};
    const float3 t[] = {make_f3(0, 1, 0), make_f3(0, -1, 0), make_f3(0, 0, -1)};
    const float3 b[] = {make_f3(1, 0, 0), make_f3(1, 0, 0), make_f3(0, -1, 0)};
    for (int i = 0; i < 3; ++i) {
        ShadingFrame f(n[i]);
        expect_near3(f.t, t[i], 0.0f, i);
        expect_near3(f.b, b[i], 0.0f, i);
    }
}

TEST(ShadingFrame, OrthonormalRightHandedAndInvertible) {
    // Fibonacci sphere: normals everywhere, including near both branch seams.
    const int n = 400;
    const float3 v = normalize(make_f3(0.3f, -0.5f, 0.8f));
    for (int i = 0; i < n; ++i) {
        double z = 1.0 - (2.0 * i + 1.0) / n, r = std::sqrt(1.0 - z * z);
        double phi = 2.399963229728653 * i;
        float3 nrm = normalize(
            make_f3(float(r * std::cos(phi)), float(r * std::sin(phi)), float(z)));
        ShadingFrame f(nrm);
        const float tol = 2e-6f;
        ASSERT_NEAR(length(f.t), 1.0f, tol) << i;
        ASSERT_NEAR(dot(f.t, f.n), 0.0f, tol) << i;
        expect_near3(cross(f.b, f.t), nrm, tol, i);  // b x t = n: right-handed
        expect_near3(f.to_world(f.to_local(3.0f * v)), v, tol, i);  // renormalised
    }
}

TEST(OffsetRayOrigin, IntegerStepFromOneThirtySecond) {
    // ng = 1 gives k = 256 ulps; ng = 0 leaves the coordinate alone.
    float3 o = offset_ray_origin(make_f3(1, 1, 1), make_f3(0, 0, 1));
    expect_near3(o, make_f3(1, 1, from_bits(0x3F800100u)), 0.0f, 0);
    // |p| = 1/32 = 0x3D000000 exactly is already on the integer side.
    o = offset_ray_origin(make_f3(0.03125f, -0.03125f, 3.0f), make_f3(1, 1, 0.6f));
    EXPECT_EQ(o.x, from_bits(0x3D000100u));
    EXPECT_EQ(o.y, from_bits(0xBCFFFF00u));         // bits(-1/32) - 256: towards zero
    EXPECT_EQ(o.z, from_bits(0x40400000u + 153u));  // k = (int)(256 * 0.6) = 153
    o = offset_ray_origin(make_f3(-2, -2, 5), make_f3(0, -1, -0.6f));
    expect_near3(o, make_f3(-2, from_bits(0xC0000100u), from_bits(0x40A00000u - 153u)),
                 0.0f, 1);
}

TEST(OffsetRayOrigin, FixedStepBelowOneThirtySecond) {
    // p + ng / 65536, exact in double and rounded once to float.
    const float below = std::nextafter(0.03125f, 0.0f);
    for (float p : {0.0f, 0.015625f, -0.015625f, below, -below}) {
        for (float ng : {1.0f, -0.25f, 0.6f}) {
            float3 o = offset_ray_origin(make_f3(p, p, p), make_f3(ng, 0, -ng));
            EXPECT_EQ(o.x, float(double(p) + double(ng) / 65536.0)) << p << " " << ng;
            EXPECT_EQ(o.y, p) << p;
            EXPECT_EQ(o.z, float(double(p) - double(ng) / 65536.0)) << p << " " << ng;
        }
    }
}

}  // namespace
}  // namespace vorn
