// The hit record of a closest hit on a triangle, built in one place for every
// tracer: the CPU scene calls make_surface_hit after Embree's query, the
// closest-hit programs after the hardware's, so normals and faces cannot
// drift apart between the backends.
#pragma once

#include <cstdint>

#include "core/hd.h"
#include "scene/types.h"

namespace vorn {

/// Closest hit as the transport loops read it. On a miss every field is zero
/// or false. The CPU scene returns it from trace_ray; a device program writes
/// it into the per-ray record its payload points to.
struct SurfaceHit {
    float t;                  ///< ray parameter: position = origin + t * direction
    float3 position;          ///< world-space hit point
    float3 shading_normal;    ///< unit, interpolated, on the side of geometric_normal
    float3 geometric_normal;  ///< unit face normal turned to face the arriving ray
    int32_t material_id;      ///< index into the material list
    int32_t prim_id;          ///< triangle within its mesh
    int32_t instance_id;      ///< hit instance
    bool hit;                 ///< something was hit
    bool back_face;           ///< struck the side opposite the object-space face normal
    bool reserved;            ///< always false
};

/// Inverse transpose M^-T of the upper-left 3x3 of a 3x4 row-major transform:
/// the map of object-space normals to world space. The cofactor matrix
/// (det M times M^-T) would do for rotations and scales, but normalising
/// removes |det| and not its sign, so under a mirroring instance it turns
/// every normal to the other face. A singular matrix gives zero normals.
struct NormalTransform {
    float m[9];  ///< row-major
};

VORN_HD NormalTransform normal_transform(const float* x) {
    const float c[9] = {x[5] * x[10] - x[6] * x[9], x[6] * x[8] - x[4] * x[10],
                        x[4] * x[9] - x[5] * x[8],  x[2] * x[9] - x[1] * x[10],
                        x[0] * x[10] - x[2] * x[8], x[1] * x[8] - x[0] * x[9],
                        x[1] * x[6] - x[2] * x[5],  x[2] * x[4] - x[0] * x[6],
                        x[0] * x[5] - x[1] * x[4]};
    const float det = x[0] * c[0] + x[1] * c[1] + x[2] * c[2];
    const float s = det != 0.0f ? 1.0f / det : 0.0f;
    NormalTransform n;
    for (int i = 0; i < 9; ++i) n.m[i] = c[i] * s;
    return n;
}

VORN_HD float3 transform_normal(const NormalTransform& n, float3 v) {
    return make_f3(n.m[0] * v.x + n.m[1] * v.y + n.m[2] * v.z,
                   n.m[3] * v.x + n.m[4] * v.y + n.m[5] * v.z,
                   n.m[6] * v.x + n.m[7] * v.y + n.m[8] * v.z);
}

/// What a tracer knows of a closest hit on a triangle.
struct TriangleHit {
    const float* object_to_world;  ///< the instance's 3x4 row-major transform
    float3 v[3];                   ///< object-space vertices
    float3 n[3];                   ///< object-space vertex normals (when has_normals)
    bool has_normals;              ///< the mesh carries vertex normals
    float b1, b2;                  ///< barycentrics: p = (1 - b1 - b2) v0 + b1 v1 + b2 v2
    int32_t material_id;           ///< the mesh's material
    int32_t prim_id;               ///< triangle within its mesh
    int32_t instance_id;           ///< hit instance
};

/// The hit record of a ray (origin, direction) that met `tri` at parameter t.
/// The face normal is cross(v1 - v0, v2 - v0) in object space, the front face
/// the one it points to, as the ray-tracing hardware judges faces: with
/// n_w = M^-T n the world test d . n_w equals the object-space test
/// (M^-1 d) . n, whatever the sign of det M.
/// `to_world` is normal_transform(tri.object_to_world), which a tracer may
/// keep per instance.
VORN_HD SurfaceHit make_surface_hit(const TriangleHit& tri, const NormalTransform& to_world,
                                    float3 origin, float3 direction, float t) {
    SurfaceHit h;
    h.t = t;
    h.position = origin + t * direction;
    h.material_id = tri.material_id;
    h.prim_id = tri.prim_id;
    h.instance_id = tri.instance_id;
    h.hit = true;
    h.reserved = false;
    float3 ng = normalize(
        transform_normal(to_world, cross(tri.v[1] - tri.v[0], tri.v[2] - tri.v[0])));
    float3 ns = ng;
    if (tri.has_normals) {
        const float w = 1.0f - tri.b1 - tri.b2;
        ns = normalize(transform_normal(
            to_world, w * tri.n[0] + tri.b1 * tri.n[1] + tri.b2 * tri.n[2]));
    }
    h.back_face = dot(direction, ng) > 0.0f;
    if (h.back_face) ng = -ng;
    if (dot(ng, ns) < 0.0f) ns = -ns;
    h.geometric_normal = ng;
    h.shading_normal = ns;
    return h;
}

VORN_HD SurfaceHit make_surface_hit(const TriangleHit& tri, float3 origin, float3 direction,
                                    float t) {
    return make_surface_hit(tri, normal_transform(tri.object_to_world), origin, direction, t);
}

}  // namespace vorn
