// Small geometry helpers shared by the CPU-scene tests. Expected values are
// computed here in double precision, independently of the scene's own
// transform and normal code.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "embree/scene_manager.h"
#include "tests/cpp/error_test_util.h"

namespace vorn::test {

using embree::EmbreeSceneManager;
using embree::RayHit;

using Xform = std::array<float, 12>;

inline Xform translation(float x, float y, float z) {
    return {1, 0, 0, x, 0, 1, 0, y, 0, 0, 1, z};
}
inline Xform identity_xform() { return translation(0, 0, 0); }

struct D3 {
    double x, y, z;
};
inline D3 sub(D3 a, D3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
inline D3 cross3(D3 a, D3 b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
inline D3 unit(D3 a) {
    const double l = std::sqrt(a.x * a.x + a.y * a.y + a.z * a.z);
    return {a.x / l, a.y / l, a.z / l};
}
inline D3 apply(const Xform& m, D3 p) {
    return {m[0] * p.x + m[1] * p.y + m[2] * p.z + m[3],
            m[4] * p.x + m[5] * p.y + m[6] * p.z + m[7],
            m[8] * p.x + m[9] * p.y + m[10] * p.z + m[11]};
}
inline float3 f3(D3 a) { return {float(a.x), float(a.y), float(a.z)}; }

/// Face normal of a triangle by the right-hand rule over (v0, v1, v2).
inline D3 face_normal(D3 v0, D3 v1, D3 v2) {
    return unit(cross3(sub(v1, v0), sub(v2, v0)));
}

inline void expect_near3(float3 got, D3 want, double tol, const std::string& what) {
    EXPECT_NEAR(got.x, want.x, tol) << what;
    EXPECT_NEAR(got.y, want.y, tol) << what;
    EXPECT_NEAR(got.z, want.z, tol) << what;
}

/// The triangle (0,0,0), (1,0,0), (0,1,0) in the plane z = 0, face normal +z.
inline int add_unit_triangle(EmbreeSceneManager& s, int material_id = 0,
                             std::vector<float3> normals = {}) {
    return s.add_mesh({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, std::move(normals), {{0, 1, 2}},
                      material_id);
}

/// The unit cube [0,1]^3 as 12 outward-facing triangles.
inline int add_unit_cube(EmbreeSceneManager& s, int material_id = 0) {
    std::vector<float3> v;
    for (int i = 0; i < 8; ++i)
        v.push_back({float(i & 1), float((i >> 1) & 1), float((i >> 2) & 1)});
    const std::vector<int3> idx = {{0, 2, 1}, {1, 2, 3}, {4, 5, 6}, {5, 7, 6},
                                   {0, 1, 4}, {1, 5, 4}, {2, 6, 3}, {3, 6, 7},
                                   {0, 4, 2}, {2, 4, 6}, {1, 3, 5}, {3, 7, 5}};
    return s.add_mesh(std::move(v), {}, idx, material_id);
}

/// A strip of n triangles along x in the plane z = 0; triangle p covers x in [p, p+1].
inline int add_strip(EmbreeSceneManager& s, int n, int material_id = 0) {
    std::vector<float3> v;
    std::vector<int3> idx;
    for (int p = 0; p < n; ++p) {
        const int b = int(v.size());
        v.push_back({float(p), 0, 0});
        v.push_back({float(p + 1), 0, 0});
        v.push_back({float(p), 1, 0});
        idx.push_back({b, b + 1, b + 2});
    }
    return s.add_mesh(std::move(v), {}, idx, material_id);
}

}  // namespace vorn::test
