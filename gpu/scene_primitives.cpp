// The per-primitive world-space arrays of the GPU scene: every triangle of
// every instance with its world vertices, unit face normal, area and
// material, for device programs that start rays from the triangles
// themselves (energy balance) rather than from hits.
#include <stdexcept>

#include "gpu/scene_manager.h"

namespace vorn {

namespace {

/// Cofactor matrix of the upper-left 3x3 of a 3x4 transform, row-major:
/// C (a x b) = (M a) x (M b), and C = det(M) M^-T.
struct Cofactors {
    float c[9];
    explicit Cofactors(const float* m)
        : c{m[5] * m[10] - m[6] * m[9], m[6] * m[8] - m[4] * m[10], m[4] * m[9] - m[5] * m[8],
            m[2] * m[9] - m[1] * m[10], m[0] * m[10] - m[2] * m[8], m[1] * m[8] - m[0] * m[9],
            m[1] * m[6] - m[2] * m[5],  m[2] * m[4] - m[0] * m[6],  m[0] * m[5] - m[1] * m[4]} {}
    float3 apply(float3 n) const {
        return {c[0] * n.x + c[1] * n.y + c[2] * n.z, c[3] * n.x + c[4] * n.y + c[5] * n.z,
                c[6] * n.x + c[7] * n.y + c[8] * n.z};
    }
};

constexpr const char* kVec3Alloc = "primitive vec3 alloc";
constexpr const char* kVec3Upload = "primitive vec3 upload";

template <typename T>
void upload_array(DeviceBuffer& buffer, const std::vector<T>& values, const char* alloc_step,
                  const char* upload_step) {
    buffer.alloc(values.size() * sizeof(T), alloc_step);
    buffer.copy_from_host(values.data(), values.size() * sizeof(T), upload_step);
}

}  // namespace

// The face normal follows the object-space winding, as OptiX judges front
// faces: n_world = normalize(M^-T n_obj) with n_obj = (v1 - v0) x (v2 - v0).
// C n_obj = det(M) M^-T n_obj is the world cross product (w1 - w0) x (w2 - w0),
// whose length is twice the world area; the sign of det(M) turns it round
// for mirroring instances. Working from n_obj keeps a triangle that is
// degenerate in object space degenerate, whatever rounding the transform adds.
void write_instance_primitives(const Mesh& mesh, const float xform[12], size_t first,
                               PrimitiveArrays& out) {
    const Cofactors cof(xform);
    const float det = xform[0] * cof.c[0] + xform[1] * cof.c[1] + xform[2] * cof.c[2];
    const float sign = det < 0.0f ? -1.0f : 1.0f;
    for (size_t t = 0; t < mesh.indices.size(); ++t) {
        const int3 tri = mesh.indices[t];
        const float3 v0 = mesh.vertices[size_t(tri.x)], v1 = mesh.vertices[size_t(tri.y)],
                     v2 = mesh.vertices[size_t(tri.z)];
        const float3 c = cof.apply(cross(v1 - v0, v2 - v0));
        const float len = length(c);
        const size_t p = first + t;
        out.v0[p] = xform_point(xform, v0);
        out.v1[p] = xform_point(xform, v1);
        out.v2[p] = xform_point(xform, v2);
        out.normals[p] = len > 1e-20f ? c * (sign / len) : make_f3(0.0f, 0.0f, 1.0f);
        out.areas[p] = 0.5f * len;
        out.material_ids[p] = mesh.material_id;
    }
}

PrimitiveArrays world_primitives(const std::vector<Mesh>& meshes,
                                 const std::vector<Instance>& instances) {
    PrimitiveArrays out;
    out.instance_offsets.reserve(instances.size() + 1);
    out.instance_offsets.push_back(0);
    size_t total = 0;
    for (const Instance& inst : instances) {
        total += meshes[size_t(inst.mesh_id)].indices.size();
        out.instance_offsets.push_back(int32_t(total));
    }
    out.v0.resize(total);
    out.v1.resize(total);
    out.v2.resize(total);
    out.normals.resize(total);
    out.areas.resize(total);
    out.material_ids.resize(total);
    for (size_t k = 0; k < instances.size(); ++k)
        write_instance_primitives(meshes[size_t(instances[k].mesh_id)], instances[k].xform,
                                  size_t(out.instance_offsets[k]), out);
    return out;
}

void SceneManager::populate_primitive_buffers() {
    validate_geometry();  // every instance must name a mesh before it is read
    const uint32_t before = n_primitives();
    prims_ = world_primitives(meshes, instances);
    if (n_primitives() != before) drop_overrides();
    moved_.assign(moved_.size(), 0);
}

void SceneManager::clear_primitive_buffers() {
    for (DeviceBuffer* b : {&prim_v0_, &prim_v1_, &prim_v2_, &prim_normals_, &prim_areas_,
                            &prim_material_ids_, &instance_offsets_buffer_})
        b->release();
}

void SceneManager::upload_primitive_buffers() {
    clear_primitive_buffers();
    if (n_primitives() == 0) return;
    upload_array(prim_v0_, prims_.v0, kVec3Alloc, kVec3Upload);
    upload_array(prim_v1_, prims_.v1, kVec3Alloc, kVec3Upload);
    upload_array(prim_v2_, prims_.v2, kVec3Alloc, kVec3Upload);
    upload_array(prim_normals_, prims_.normals, kVec3Alloc, kVec3Upload);
    upload_array(prim_areas_, prims_.areas, "primitive float alloc", "primitive float upload");
    upload_array(prim_material_ids_, prims_.material_ids, "primitive int alloc",
                 "primitive int upload");
    upload_array(instance_offsets_buffer_, prims_.instance_offsets, "primitive int alloc",
                 "primitive int upload");
}

// Only the moved instances' triangles are rewritten, so a refit costs in
// proportion to what moved, not to the scene.
void SceneManager::refresh_moved_primitives() {
    const size_t counted = prims_.instance_offsets.empty() ? 0 : prims_.instance_offsets.size() - 1;
    for (size_t k = 0; k < moved_.size(); ++k) {
        if (!moved_[k] || k >= counted || !prim_areas_) continue;
        moved_[k] = 0;
        const size_t first = size_t(prims_.instance_offsets[k]);
        const size_t count = size_t(prims_.instance_offsets[k + 1]) - first;
        if (count == 0) continue;
        write_instance_primitives(meshes[size_t(instances[k].mesh_id)], instances[k].xform, first,
                                  prims_);
        const size_t v3 = first * sizeof(float3), n3 = count * sizeof(float3);
        upload_range(prim_v0_, &prims_.v0[first], v3, n3, kVec3Upload);
        upload_range(prim_v1_, &prims_.v1[first], v3, n3, kVec3Upload);
        upload_range(prim_v2_, &prims_.v2[first], v3, n3, kVec3Upload);
        upload_range(prim_normals_, &prims_.normals[first], v3, n3, kVec3Upload);
        upload_range(prim_areas_, &prims_.areas[first], first * sizeof(float),
                     count * sizeof(float), "primitive float upload");
    }
}

}  // namespace vorn
