// The two-level instanced scene of the GPU tests, and a minimal OptiX host side
// that traces it with the probe program, written against our layer as the GPU
// scene and simulator use it: a GAS per mesh, one IAS whose instances carry
// instanceId = index and sbtOffset = 2 * mesh, two hit records per mesh (one
// per ray type), and the trace probe's pipeline.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "gpu/device_buffer.h"
#include "gpu/optix_context.h"
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

/// `n` rays from above the scene towards it, every 17th turned upwards (a
/// miss), every 5th with a short direction; ray types at random.
std::vector<probe::ProbeRay> make_rays(size_t n, uint32_t seed);

/// 3x4 row-major rotation (axis, angle) times diagonal scale, then translation.
void make_xform(float out[12], float3 axis, float angle, float3 scale, float3 t);

/// The trace probe's PTX (from VORN_TEST_PTX_DIR when set).
std::string probe_ptx();

/// Sets (or, for null, unsets) an environment variable for a scope.
struct ScopedEnv {
    ScopedEnv(const char* name, const char* value) : name(name), had(std::getenv(name)) {
        if (had) old = std::getenv(name);
        value ? setenv(name, value, 1) : unsetenv(name);
    }
    ~ScopedEnv() { had ? setenv(name, old.c_str(), 1) : unsetenv(name); }
    const char* name;
    bool had;
    std::string old;
};

/// The trace probe's pipeline over a device copy of a scene.
class Probe {
public:
    Probe(const OptiXContext& ctx, const TestScene& scene);
    ~Probe();
    Probe(const Probe&) = delete;
    Probe& operator=(const Probe&) = delete;

    /// One launch over `rays`, `width` launch indices per row.
    std::vector<probe::ProbeHit> trace(const std::vector<probe::ProbeRay>& rays,
                                       unsigned width, float tmin, float tmax,
                                       probe::ProbeTally* tally);

private:
    void create_pipeline();
    void build_scene(const TestScene& scene);
    OptixTraversableHandle build(const OptixBuildInput& in, unsigned flags, DeviceBuffer& out);
    void build_sbt();

    const OptiXContext& ctx_;
    OptixModule module_ = nullptr;
    OptixProgramGroup groups_[5] = {};  // raygen, miss x2, hit x2
    OptixPipeline pipeline_ = nullptr;
    std::vector<DeviceBuffer> vertices_, indices_, gas_;
    DeviceBuffer instances_, ias_, raygen_rec_, miss_rec_, hit_rec_;
    OptixTraversableHandle ias_handle_ = 0;
    OptixShaderBindingTable sbt_{};
};

}  // namespace vorn::test
