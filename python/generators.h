// Procedural meshes for test scenes and ground surfaces. Pure functions in
// single precision; vertex and face orders are part of the contract.
#pragma once

#include <vector>

#include "scene/types.h"

namespace vorn {

struct MeshArrays {
    std::vector<float3> positions;
    std::vector<float3> normals;
    std::vector<int3> triangles;
};

/// Largest accepted sphere subdivision: 12 + 20·(4^s − 1) vertices grows
/// fourfold per pass, and s = 10 already makes about 21 million.
constexpr int kMaxSphereSubdivisions = 10;
/// Largest accepted cylinder segment count (two vertices per column).
constexpr int kMaxCylinderSegments = 1 << 24;

/// Rectangle in z = 0 centred on the origin, facing +z.
MeshArrays make_ground_plane(float half_w, float half_h);
/// Open tube around the z axis from z = 0 to `height`; segments < 0 gives an
/// empty mesh, 0 is rejected (its angle step is undefined).
MeshArrays make_cylinder(float radius, float height, int segments);
/// Icosphere by midpoint subdivision with unshared midpoints, appended to
/// `out` (indices offset by the vertices already there).
void make_sphere(float radius, float3 center, int subdivisions, MeshArrays& out);

}  // namespace vorn
