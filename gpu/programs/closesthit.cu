// Closest-hit programs of the main pipeline. A radiance ray gets the hit
// record the CPU scene's trace_ray builds: world position from the ray and
// its t, interpolated shading normal and face normal mapped to world space
// through the instance transform, back face, the mesh's material, the
// triangle and instance indices. A shadow ray is occluded by any hit.
#include "gpu/programs/device_tracer.h"

VORN_LAUNCH_PARAMS(vorn::LaunchParams, params)

namespace vorn::dev {

// ---- radiance --------------------------------------------------------------

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

}  // namespace vorn::dev

VORN_PROGRAM(__closesthit__radiance) { vorn::dev::closest_hit_radiance(); }

VORN_PROGRAM(__closesthit__shadow) { vorn::dev::set_payload(0, 1u); }
