// What the ray-generation programs hand to the transport templates of the
// physics core: a tracer whose trace_ray and trace_shadow are optixTrace calls
// with the CPU scene's ray interval, and the per-ray hit record the radiance
// closest-hit and miss programs fill. A radiance ray carries the address of
// that record (on the caller's stack) in its two payload words; a shadow ray
// carries its verdict in word 0.
#pragma once

#include <cstdint>

#include "core/backward_path.h"
#include "gpu/launch_params.h"
#include "gpu/optix_device.h"
#include "gpu/program_names.h"

namespace vorn::dev {

/// Rays start this far along their direction, as the CPU scene's queries do.
constexpr float kTraceTmin = 1e-4f;
/// Length of a radiance ray: unbounded in practice.
constexpr float kTraceTmax = 1e16f;
/// Bands a device program holds per path in local memory (the GPU scene's limit).
constexpr int kMaxDeviceBands = 128;

VORN_DEVICE void pack_pointer(const void* p, uint32_t (&w)[2]) {
    const uint64_t a = uint64_t(reinterpret_cast<uintptr_t>(p));
    w[0] = uint32_t(a >> 32);
    w[1] = uint32_t(a);
}

/// The hit record the running radiance ray's payload points to.
VORN_DEVICE SurfaceHit* payload_hit_record() {
    const uint64_t a = (uint64_t(get_payload(0)) << 32) | get_payload(1);
    return reinterpret_cast<SurfaceHit*>(uintptr_t(a));
}

/// The radiance closest hit: the hit record the CPU scene's trace_ray
/// builds (world position from the ray and its t, interpolated shading
/// normal and face normal mapped to world space through the instance
/// transform, back face, the mesh's material, the triangle and the instance
/// index), written where the ray's payload points.
VORN_DEVICE void closest_hit_radiance() {
    const HitGroupData* mesh = sbt_data<HitGroupData>();
    const unsigned prim = primitive_index();
    const int3 tri = mesh->indices[prim];
    const int32_t corner[3] = {tri.x, tri.y, tri.z};
    float o2w[12];
    object_to_world(o2w);
    TriangleHit th;
    th.object_to_world = o2w;
    th.has_normals = mesh->normals != nullptr;
    for (int k = 0; k < 3; ++k) {
        th.v[k] = mesh->vertices[corner[k]];
        th.n[k] = th.has_normals ? mesh->normals[corner[k]] : make_f3(0.0f, 0.0f, 0.0f);
    }
    const Barycentrics b = triangle_barycentrics();
    th.b1 = b.b1;
    th.b2 = b.b2;
    th.material_id = int32_t(mesh->material_id);
    th.prim_id = int32_t(prim);
    th.instance_id = int32_t(instance_index());
    *payload_hit_record() =
        make_surface_hit(th, world_ray_origin(), world_ray_direction(), ray_tmax());
}

struct OptixTracer {
    OptixTraversableHandle handle;

    VORN_DEVICE SurfaceHit trace_ray(const float3& o, const float3& d) const {
        SurfaceHit rec;
        uint32_t payload[2];
        pack_pointer(&rec, payload);
        trace(handle, o, d, kTraceTmin, kTraceTmax, OPTIX_RAY_FLAG_DISABLE_ANYHIT,
              programs::kRayRadiance, programs::kRayTypeCount, programs::kRayRadiance,
              payload);
        return rec;
    }

    /// True when anything lies between tmin and tfar; an interval that is
    /// empty (or NaN) is never occluded.
    VORN_DEVICE bool trace_shadow(const float3& o, const float3& d, float tfar) const {
        if (!(tfar >= kTraceTmin)) return false;
        uint32_t payload[2] = {0u, 0u};
        trace(handle, o, d, kTraceTmin, tfar,
              OPTIX_RAY_FLAG_DISABLE_ANYHIT | OPTIX_RAY_FLAG_TERMINATE_ON_FIRST_HIT,
              programs::kRayShadow, programs::kRayTypeCount, programs::kRayShadow, payload);
        return payload[0] != 0u;
    }
};

}  // namespace vorn::dev
