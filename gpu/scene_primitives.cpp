// The per-primitive world-space arrays of the GPU scene: every triangle of
// every instance with its world vertices, unit face normal, area and
// material, for device programs that start rays from the triangles
// themselves (energy balance) rather than from hits.
#include <stdexcept>

#include "gpu/scene_manager.h"
#include "scene/world_primitives.h"

namespace vorn {

namespace {

constexpr const char* kVec3Alloc = "primitive vec3 alloc";
constexpr const char* kVec3Upload = "primitive vec3 upload";

template <typename T>
void upload_array(DeviceBuffer& buffer, const std::vector<T>& values, const char* alloc_step,
                  const char* upload_step) {
    buffer.alloc(values.size() * sizeof(T), alloc_step);
    buffer.copy_from_host(values.data(), values.size() * sizeof(T), upload_step);
}

}  // namespace

// The arrays are those of scene/world_primitives.h, shared with the CPU
// energy balance, so both backends start their rays from the same triangles.
void write_instance_primitives(const Mesh& mesh, const float xform[12], size_t first,
                               PrimitiveArrays& out) {
    write_world_primitives(mesh, xform, first, out);
}

PrimitiveArrays world_primitives(const std::vector<Mesh>& meshes,
                                 const std::vector<Instance>& instances) {
    PrimitiveArrays out;
    fill_world_primitives(meshes, instances, out);
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
