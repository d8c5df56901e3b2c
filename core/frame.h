// Tangent frame of a hit and the self-intersection offset for new rays.
#pragma once

#include <cstdint>

#include "core/hd.h"
#include "scene/types.h"

namespace vorn {

/// World-space orthonormal frame around the shading normal. Local x runs
/// along b, local y along t and local z along n (the arriving ray's side).
struct ShadingFrame {
    float3 t;  ///< tangent
    float3 b;  ///< bitangent, t x n
    float3 n;  ///< shading normal, unit

    ShadingFrame() = default;

    /// The tangent is taken perpendicular to the larger of |nx| and |ny| so the
    /// divisor never approaches zero for a unit normal.
    VORN_HD explicit ShadingFrame(float3 normal) : n(normal) {
        if (f_abs(normal.x) > f_abs(normal.y)) {
            float len = f_sqrt(normal.x * normal.x + normal.z * normal.z);
            t = make_f3(normal.z / len, 0.0f, -normal.x / len);
        } else {
            float len = f_sqrt(normal.y * normal.y + normal.z * normal.z);
            t = make_f3(0.0f, normal.z / len, -normal.y / len);
        }
        b = cross(t, n);
    }

    VORN_HD float3 to_local(float3 v) const {
        return make_f3(dot(v, b), dot(v, t), dot(v, n));
    }

    /// Renormalised so that rounding does not let path directions drift in length.
    VORN_HD float3 to_world(float3 v) const {
        return normalize(v.x * b + v.y * t + v.z * n);
    }
};

constexpr float kOffsetOriginThreshold = 1.0f / 32.0f;
constexpr float kOffsetFloatScale = 1.0f / 65536.0f;
constexpr float kOffsetIntScale = 256.0f;

/// One coordinate of offset_ray_origin. Far from the origin the step is a
/// fixed number of ulps, so it scales with the rounding error of p itself;
/// near zero ulps become tiny and a fixed absolute step takes over.
VORN_HD float offset_coordinate(float p, float ng) {
    if (f_abs(p) < kOffsetOriginThreshold) return p + ng * kOffsetFloatScale;
    int32_t k = int32_t(kOffsetIntScale * ng);
    // Unsigned arithmetic: the bit pattern steps without signed-overflow UB.
    uint32_t bits = uint32_t(float_as_int(p));
    uint32_t moved = p >= 0.0f ? bits + uint32_t(k) : bits - uint32_t(k);
    return int_as_float(int32_t(moved));
}

/// Origin of a ray leaving the surface at p; ng must already face the side the
/// new ray travels to.
VORN_HD float3 offset_ray_origin(float3 p, float3 ng) {
    return make_f3(offset_coordinate(p.x, ng.x), offset_coordinate(p.y, ng.y),
                   offset_coordinate(p.z, ng.z));
}

}  // namespace vorn
