// Wire records of the trace probe, the device program that exercises every
// intrinsic of the device layer: one ray per launch index, its closest hit or
// miss written back with what the program observed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "gpu/optix_types.h"
#include "scene/types.h"

namespace vorn::probe {

struct ProbeRay {
    float3 origin, direction;
    uint32_t ray_type;  ///< 0 radiance, 1 shadow: SBT offset and miss index
    uint32_t pad;
};

struct ProbeHit {
    float t;  ///< ray tmax in the program (closest hit: hit distance)
    uint32_t prim, instance_id, instance_index, sbt_gas_index;
    uint32_t record_tag;  ///< tag of the SBT record the program ran from
    uint32_t front, hit_kind;
    float b1, b2;
    float3 bary_point;         ///< barycentric point of the triangle, to world
    float3 object_point;       ///< world ray point at t, to object space
    float3 object_bary_point;  ///< barycentric point in object space
    uint32_t launch_linear;    ///< y * width + x as the program saw it
    uint32_t payload[3];       ///< payload words as the trace returned them
};

/// Tallies every launch index adds to through the device layer's atomics.
struct ProbeTally {
    uint32_t hits;
    float t_sum;     ///< sum of hit distances, single precision
    double t_sum_d;  ///< the same sum, double precision
};

struct ProbeParams {
    OptixTraversableHandle handle;
    const ProbeRay* rays;
    ProbeHit* hits;
    uint32_t num_rays;
    float tmin, tmax;
    uint32_t pad;
    ProbeTally* tally;
};
// The offline PTX check compares the params variable with this size.
static_assert(sizeof(ProbeParams) == 48, "ProbeParams is 48 bytes");

struct ProbeHitData {
    const float3* vertices;
    const int3* indices;
    uint32_t tag;  ///< 100 * mesh + ray type
    uint32_t pad;
};

struct ProbeMissData {
    uint32_t tag;  ///< 9000 + ray type
    uint32_t pad[3];
};

constexpr uint32_t kTokenHit = 1, kTokenMiss = 2;  ///< added to payload word 0

}  // namespace vorn::probe
