// A minimal OptiX host side for tests: GAS per mesh, one IAS, the trace probe
// pipeline and its binding table, written against our layer exactly as the
// GPU scene and simulator use it (instances with sbtOffset 2 * mesh and
// instanceId = index; two records per mesh; stride 2, offset = ray type).
#pragma once

#include <string>
#include <vector>

#include "gpu/device_buffer.h"
#include "gpu/optix_context.h"
#include "gpu/tests/programs/trace_probe_params.h"
#include "scene/scene_description.h"

namespace vorn::test {

/// Folder of the test PTX files (VORN_TEST_PTX_DIR, set by ctest).
std::string test_ptx_dir();
/// Whole text of a file; throws when it cannot be read.
std::string read_text(const std::string& path);

/// Module, program groups and pipeline of the trace probe.
class ProbePipeline {
public:
    /// `num_payload` is the pipeline's payload word count (the probe traces 3).
    ProbePipeline(const OptiXContext& ctx, const std::string& ptx, int num_payload = 3);
    ~ProbePipeline();
    ProbePipeline(const ProbePipeline&) = delete;
    ProbePipeline& operator=(const ProbePipeline&) = delete;

    OptixPipelineCompileOptions compile_options() const { return pco_; }
    OptixProgramGroup raygen() const { return groups_[0]; }
    OptixProgramGroup miss(int ray_type) const { return groups_[1 + ray_type]; }
    OptixProgramGroup hit(int ray_type) const { return groups_[3 + ray_type]; }
    OptixPipeline pipeline() const { return pipeline_; }

private:
    OptixPipelineCompileOptions pco_{};
    OptixModule module_ = nullptr;
    OptixProgramGroup groups_[5] = {};
    OptixPipeline pipeline_ = nullptr;
};

/// Device copy of a scene: GAS per mesh, IAS over the instances, and the
/// probe's binding table for it.
class ProbeScene {
public:
    ProbeScene(const OptiXContext& ctx, const ProbePipeline& pipeline,
               const std::vector<Mesh>& meshes, const std::vector<Instance>& instances);

    /// Writes a new transform into the instance buffer and refits the IAS.
    void move_instance(int k, const float xform[12]);
    /// One probe launch over `rays`, `width` launch indices per row; the
    /// launch's tallies go to `tally` when given.
    std::vector<probe::ProbeHit> trace(const std::vector<probe::ProbeRay>& rays,
                                       unsigned width, float tmin = 1e-4f,
                                       float tmax = 1e16f,
                                       probe::ProbeTally* tally = nullptr);

private:
    void build_ias(unsigned operation);
    void build_sbt(size_t num_meshes);

    const OptiXContext& ctx_;
    const ProbePipeline& pipeline_;
    std::vector<DeviceBuffer> vertices_, indices_, gas_;
    std::vector<OptixTraversableHandle> gas_handles_;
    std::vector<OptixInstance> records_;
    DeviceBuffer instance_buf_, ias_buf_, ias_update_buf_;
    OptixTraversableHandle ias_ = 0;
    DeviceBuffer raygen_rec_, miss_rec_, hit_rec_;
    OptixShaderBindingTable sbt_{};
};

}  // namespace vorn::test
