// The trace probe: one ray per launch index through an instanced scene, its
// closest-hit and miss programs recording what every intrinsic of the device
// layer reports. It exercises the whole layer: the offline PTX check reads the
// calls nvcc makes of it, and its host build compiles their emulated forms.
#include "gpu/optix_device.h"
#include "gpu/tests/programs/trace_probe_params.h"

VORN_LAUNCH_PARAMS(vorn::probe::ProbeParams, params)

namespace vorn::probe {

VORN_DEVICE uint32_t linear_index() {
    const dev::UInt3 i = dev::launch_index(), n = dev::launch_dimensions();
    return i.y * n.x + i.x;
}

// Payload words: 0 accumulates a token, 1 names the record, 2 holds t's bits.
VORN_DEVICE ProbeHit& record(uint32_t tag, uint32_t token) {
    ProbeHit& h = params.hits[linear_index()];
    h.t = dev::ray_tmax();
    h.launch_linear = linear_index();
    h.record_tag = tag;
    dev::set_payload(0, dev::get_payload(0) + token);
    dev::set_payload(1, tag);
    dev::set_payload(2, uint32_t(float_as_int(h.t)));
    return h;
}

VORN_DEVICE void closest_hit() {
    const ProbeHitData* data = dev::sbt_data<ProbeHitData>();
    ProbeHit& h = record(data->tag, kTokenHit);
    h.prim = dev::primitive_index();
    h.instance_id = dev::instance_id();
    h.instance_index = dev::instance_index();
    h.sbt_gas_index = dev::sbt_gas_index();
    h.front = dev::is_front_face_hit() ? 1u : 0u;
    h.hit_kind = dev::hit_kind();
    const dev::Barycentrics b = dev::triangle_barycentrics();
    h.b1 = b.b1;
    h.b2 = b.b2;
    const int3 tri = data->indices[h.prim];
    const float3* v = data->vertices;
    h.object_bary_point =
        v[tri.x] * (1.0f - b.b1 - b.b2) + v[tri.y] * b.b1 + v[tri.z] * b.b2;
    float o2w[12], w2o[12];
    dev::object_to_world(o2w);
    dev::world_to_object(w2o);
    h.bary_point = xform_point(o2w, h.object_bary_point);
    h.object_point =
        xform_point(w2o, dev::world_ray_origin() + dev::world_ray_direction() * h.t);
    dev::atomic_add(&params.tally->hits, 1u);
    dev::atomic_add(&params.tally->t_sum, h.t);
    dev::atomic_add(&params.tally->t_sum_d, double(h.t));
}

VORN_DEVICE void miss() { record(dev::sbt_data<ProbeMissData>()->tag, kTokenMiss); }

VORN_DEVICE void raygen() {
    const uint32_t i = linear_index();
    if (i >= params.num_rays) return;
    const ProbeRay r = params.rays[i];
    uint32_t payload[3] = {i * 16u, 0u, 0u};
    // SBT stride 2 (two records per mesh), offset and miss index = ray type.
    dev::trace(params.handle, r.origin, r.direction, params.tmin, params.tmax,
               OPTIX_RAY_FLAG_DISABLE_ANYHIT, r.ray_type, 2, r.ray_type, payload);
    for (int k = 0; k < 3; ++k) params.hits[i].payload[k] = payload[k];
}

}  // namespace vorn::probe

VORN_PROGRAM(__raygen__probe) { vorn::probe::raygen(); }
VORN_PROGRAM(__closesthit__probe_radiance) { vorn::probe::closest_hit(); }
VORN_PROGRAM(__closesthit__probe_shadow) { vorn::probe::closest_hit(); }
VORN_PROGRAM(__miss__probe_radiance) { vorn::probe::miss(); }
VORN_PROGRAM(__miss__probe_shadow) { vorn::probe::miss(); }
