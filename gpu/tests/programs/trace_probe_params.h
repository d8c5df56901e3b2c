// Wire records of the trace probe, the device program that exercises every
// intrinsic of the device layer: one ray per launch index, its closest hit or
// miss written back with everything the program could observe.
#pragma once

#include <cstddef>
#include <cstdint>

#include "gpu/optix_types.h"
#include "scene/types.h"

namespace vorn::probe {

struct ProbeRay {
    float3 origin;
    float3 direction;
    uint32_t ray_type;  ///< 0 radiance, 1 shadow: SBT offset and miss index
    uint32_t pad;
};
static_assert(sizeof(ProbeRay) == 32, "ProbeRay is 32 bytes");

/// Everything the closest-hit or miss program saw, plus the payload words
/// as the raygen program got them back.
struct ProbeHit {
    float t;        ///< ray tmax in the program (closest hit: hit distance)
    uint32_t prim;  ///< primitive index
    uint32_t instance_id;
    uint32_t instance_index;
    uint32_t sbt_gas_index;
    uint32_t record_tag;  ///< tag of the SBT record the program ran from
    uint32_t front;       ///< 1 when the hit was front-facing
    uint32_t hit_kind;
    float b1, b2;         ///< barycentrics
    float3 world_origin;  ///< world ray as the program saw it
    float3 world_direction;
    float3
        bary_point;  ///< barycentric point of the hit triangle, to world by the instance
    float3 object_point;  ///< origin + t * direction, to object space by the instance
    float3 object_bary_point;  ///< barycentric point in object space
    uint32_t launch_linear;    ///< y * width + x of the launch index seen in the program
    uint32_t payload_token;    ///< payload word 0 after the trace
    uint32_t payload_tag;      ///< payload word 1 after the trace
    uint32_t payload_t_bits;   ///< payload word 2 after the trace
};
static_assert(sizeof(ProbeHit) == 116, "ProbeHit is 116 bytes");

/// Tallies every launch index adds to, through the device layer's atomics.
struct ProbeTally {
    uint32_t hits;   ///< rays that hit
    float t_sum;     ///< sum of hit distances, single precision
    double t_sum_d;  ///< the same sum, double precision
};

struct ProbeParams {
    OptixTraversableHandle handle;
    const ProbeRay* rays;
    ProbeHit* hits;
    uint32_t num_rays;
    float tmin;
    float tmax;
    uint32_t pad;
    ProbeTally* tally;
};
static_assert(sizeof(ProbeParams) == 48, "ProbeParams is 48 bytes");
static_assert(offsetof(ProbeParams, num_rays) == 24, "num_rays at 24");

/// Hit-group record data: the mesh's device buffers and a tag naming the record.
struct ProbeHitData {
    const float3* vertices;
    const int3* indices;
    uint32_t tag;  ///< 100 * mesh + ray type
    uint32_t pad;
};
static_assert(sizeof(ProbeHitData) == 24, "ProbeHitData is 24 bytes");

/// Miss record data.
struct ProbeMissData {
    uint32_t tag;  ///< 9000 + ray type
    uint32_t pad[3];
};

constexpr uint32_t kTokenHit = 1, kTokenMiss = 2;  ///< added to payload word 0

}  // namespace vorn::probe
