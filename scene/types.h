// Value types shared by every layer: single-precision 3-vectors and integer
// triangles. Both are tightly packed 12-byte records, so arrays of them are
// handed unchanged to the ray tracers as vertex and index buffers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/hd.h"

#if defined(__CUDACC__)
#include <vector_types.h>
#endif

namespace vorn {

#if defined(__CUDACC__)
// Under nvcc CUDA's own float3 and int3 are visible everywhere, with the same
// 12-byte layout. Naming them here (instead of declaring look-alikes) keeps
// `float3` unambiguous in a file that also says `using namespace vorn`, and
// lets device code hand these values to CUDA's functions unchanged.
using float3 = ::float3;
using int3 = ::int3;
#else
/// Point, direction or normal in metres (world) or object units.
struct float3 {
    float x, y, z;
};

/// Three 0-based vertex indices of one triangle (read as uint32 by the tracers).
struct int3 {
    int32_t x, y, z;
};
#endif

static_assert(sizeof(float3) == 12 && alignof(float3) == 4, "float3 is 12 packed bytes");
static_assert(sizeof(int3) == 12 && alignof(int3) == 4, "int3 is 12 packed bytes");

VORN_HD float3 make_f3(float x, float y, float z) { return float3{x, y, z}; }
VORN_HD float3 operator+(float3 a, float3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
VORN_HD float3 operator-(float3 a, float3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
VORN_HD float3 operator-(float3 a) { return {-a.x, -a.y, -a.z}; }
VORN_HD float3 operator*(float3 a, float s) { return {a.x * s, a.y * s, a.z * s}; }
VORN_HD float3 operator*(float s, float3 a) { return {a.x * s, a.y * s, a.z * s}; }
VORN_HD float dot(float3 a, float3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
VORN_HD float3 cross(float3 a, float3 b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
VORN_HD float length(float3 a) { return f_sqrt(dot(a, a)); }
/// Unit vector along a; a zero vector stays zero instead of turning into NaNs.
VORN_HD float3 normalize(float3 a) {
    float l = length(a);
    return l > 0.0f ? a * (1.0f / l) : a;
}
/// n turned to the side of v (negated when n·v < 0).
VORN_HD float3 face_towards(float3 n, float3 v) { return dot(n, v) < 0.0f ? -n : n; }

/// Applies the upper-left 3x3 of a 3x4 row-major transform (no translation).
VORN_HD float3 xform_vector(const float* m, float3 v) {
    return {m[0] * v.x + m[1] * v.y + m[2] * v.z, m[4] * v.x + m[5] * v.y + m[6] * v.z,
            m[8] * v.x + m[9] * v.y + m[10] * v.z};
}
/// Applies a 3x4 row-major transform to a point.
VORN_HD float3 xform_point(const float* m, float3 p) {
    return {m[0] * p.x + m[1] * p.y + m[2] * p.z + m[3], m[4] * p.x + m[5] * p.y + m[6] * p.z + m[7],
            m[8] * p.x + m[9] * p.y + m[10] * p.z + m[11]};
}

}  // namespace vorn
