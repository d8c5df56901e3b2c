// Every triangle of every instance in world space, in primitive order
// (instances in order, triangles in index order): world vertices, unit face
// normal, area and material. The GPU scene uploads these arrays at build; the
// CPU energy balance computes them with the same routine, so both backends
// start their rays from the same triangles.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "scene/scene_description.h"
#include "scene/types.h"

namespace vorn {

/// The arrays of a scene's world primitives. Any record with these six
/// vectors and `instance_offsets` can be filled by the routines below.
struct WorldPrimitives {
    std::vector<float3> v0, v1, v2;         ///< world vertices
    std::vector<float3> normals;            ///< unit world face normals
    std::vector<float> areas;               ///< world areas, m^2
    std::vector<int32_t> material_ids;      ///< material of the instanced mesh
    std::vector<int32_t> instance_offsets;  ///< first primitive per instance, plus the total
};

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

/// Writes the primitives of one instance of `mesh` from index `first` on.
///
/// The face normal follows the object-space winding, as the ray tracers
/// judge front faces: n_world = normalize(M^-T n_obj) with
/// n_obj = (v1 - v0) x (v2 - v0). C n_obj = det(M) M^-T n_obj is the world
/// cross product (w1 - w0) x (w2 - w0), whose length is twice the world area;
/// the sign of det(M) turns it round for mirroring instances. Working from
/// n_obj keeps a triangle that is degenerate in object space degenerate,
/// whatever rounding the transform adds; a degenerate one gets (0, 0, 1).
template <class Arrays>
void write_world_primitives(const Mesh& mesh, const float xform[12], size_t first,
                            Arrays& out) {
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

/// Fills `out` with the world primitives of a scene whose instances all name
/// existing meshes (SceneDescription::validate_geometry) and whose triangle
/// total fits 32 bits.
template <class Arrays>
void fill_world_primitives(const std::vector<Mesh>& meshes,
                           const std::vector<Instance>& instances, Arrays& out) {
    out.instance_offsets.clear();
    out.instance_offsets.reserve(instances.size() + 1);
    out.instance_offsets.push_back(0);
    size_t total = 0;
    for (const Instance& inst : instances) {
        total += meshes[size_t(inst.mesh_id)].indices.size();
        out.instance_offsets.push_back(int32_t(total));
    }
    for (auto* v : {&out.v0, &out.v1, &out.v2, &out.normals}) v->assign(total, float3{});
    out.areas.assign(total, 0.0f);
    out.material_ids.assign(total, 0);
    for (size_t k = 0; k < instances.size(); ++k)
        write_world_primitives(meshes[size_t(instances[k].mesh_id)], instances[k].xform,
                               size_t(out.instance_offsets[k]), out);
}

}  // namespace vorn
