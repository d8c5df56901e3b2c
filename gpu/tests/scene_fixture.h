// The two-level instanced test scene shared by the trace tests, its rays, and
// an independent double-precision brute-force reference for them.
#pragma once

#include <cstdint>
#include <vector>

#include "gpu/tests/programs/trace_probe_params.h"
#include "scene/scene_description.h"

namespace vorn::test {

struct TestScene {
    std::vector<Mesh> meshes;
    std::vector<Instance> instances;
};

/// Three meshes (square, tetrahedron, octahedron) in five instances: scaled,
/// rotated, non-uniformly scaled, mirrored (negative determinant) and upright.
TestScene make_test_scene();

/// `n` rays from above the scene towards it (some upwards, to miss), ray
/// types alternating pseudo-randomly; deterministic for a seed.
std::vector<probe::ProbeRay> make_rays(size_t n, uint32_t seed);

struct RefHit {
    bool hit = false;
    double t = 0;
    int instance = -1, prim = -1;
    double b1 = 0, b2 = 0;
    bool front = false;      ///< as OptiX defines it: object-space winding
    bool ambiguous = false;  ///< another triangle within the tie tolerance
};

/// Closest hit beyond tmin over every triangle of every instance, in double.
RefHit reference_trace(const TestScene& s, const probe::ProbeRay& r, double tmin);

/// Translation-and-rotation transform helpers (3x4 row-major).
void make_xform(float out[12], const float rot_axis_angle[4], const float scale[3],
                const float translate[3]);

}  // namespace vorn::test
