// The per-primitive world-space arrays of the GPU scene: every triangle of
// every instance with its world vertices, unit face normal, area and
// material, for device programs that start rays from the triangles
// themselves (energy balance) rather than from hits.
#include <stdexcept>

#include "gpu/scene_manager.h"

namespace vorn {

namespace {

/// Sign of the determinant of the upper-left 3x3 of a 3x4 transform.
float orientation(const float* m) {
    const double det = double(m[0]) * (double(m[5]) * m[10] - double(m[6]) * m[9]) -
                       double(m[1]) * (double(m[4]) * m[10] - double(m[6]) * m[8]) +
                       double(m[2]) * (double(m[4]) * m[9] - double(m[5]) * m[8]);
    return det < 0.0 ? -1.0f : 1.0f;
}

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
// Since M^-T n_obj = (w1 - w0) x (w2 - w0) / det M, that is the world cross
// product, turned round when the instance mirrors (det M < 0).
void write_instance_primitives(const Mesh& mesh, const float xform[12], size_t first,
                               PrimitiveArrays& out) {
    const float sign = orientation(xform);
    for (size_t t = 0; t < mesh.indices.size(); ++t) {
        const int3 tri = mesh.indices[t];
        const float3 w0 = xform_point(xform, mesh.vertices[size_t(tri.x)]);
        const float3 w1 = xform_point(xform, mesh.vertices[size_t(tri.y)]);
        const float3 w2 = xform_point(xform, mesh.vertices[size_t(tri.z)]);
        const float3 c = cross(w1 - w0, w2 - w0);
        const float len = length(c);
        const size_t p = first + t;
        out.v0[p] = w0;
        out.v1[p] = w1;
        out.v2[p] = w2;
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
