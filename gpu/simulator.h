// The GPU engine. It loads the device programs from PTX files in a directory
// the caller names, compiles them into OptiX modules, program groups and
// pipelines (lazily, once), builds the shader binding tables from a scene's
// hit-group data, keeps the per-launch device buffers (cached by size) and
// runs the simulations, each of which fills its block of the 904-byte
// LaunchParams record.
//
// Pipelines live in simulator_pipeline.cpp, binding tables and buffers in
// simulator_sbt.cpp, the backward image in simulator_backward.cpp.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "gpu/device_buffer.h"
#include "gpu/launch_params.h"
#include "gpu/optix_context.h"
#include "gpu/scene_manager.h"

namespace vorn {

/// The per-launch buffers and the (num_rays, num_bands) pair they hold.
struct LaunchBuffers {
    DeviceBuffer film;    ///< float, num_rays * num_bands
    DeviceBuffer hits;    ///< 64 bytes per ray
    DeviceBuffer rngs;    ///< 16 bytes per ray
    DeviceBuffer tp;      ///< float, num_rays * num_bands
    DeviceBuffer rad;     ///< float, num_rays * num_bands
    DeviceBuffer params;  ///< one LaunchParams
    int num_rays = 0;
    int num_bands = 0;
};

/// One shader binding table and the device records behind it.
struct BindingTable {
    DeviceBuffer raygen;    ///< one 48-byte record
    DeviceBuffer miss;      ///< 48-byte records
    DeviceBuffer hitgroup;  ///< 80-byte records
    OptixShaderBindingTable sbt{};
};

/// Program groups of the main pipeline, in link order.
enum MainGroup : int {
    kGroupRaygenBackward,
    kGroupRaygenForward,
    kGroupMissRadiance,
    kGroupMissShadow,
    kGroupHitRadiance,
    kGroupHitShadow,
    kMainGroupCount
};

class Simulator {
public:
    using Progress = std::function<void(int, int, float)>;

    /// Keeps `ctx` (which must outlive the simulator) and the PTX directory;
    /// creates nothing on the device.
    Simulator(OptiXContext& ctx, std::string ptx_dir);
    /// cleanup(); never throws.
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    /// Builds the main pipeline unless it is built. A failure leaves it
    /// unbuilt, so the next call tries again.
    void init();

    /// The backward image of `scene` as its sensor sees it: one launch per
    /// sample, `progress` after each, the "Simulate: " timing line on stderr.
    /// Returns width * height * bands values, (y * width + x) * bands + b.
    std::vector<float> simulate(SceneManager& scene, int spp, int max_depth,
                                Progress progress);

    // ---- programs and pipelines (simulator_pipeline.cpp) --------------------
    /// Whole text of <ptx_dir>/<stem>.ptx; "Cannot open PTX: <path>" otherwise.
    std::string read_ptx(const std::string& stem) const;
    /// One module under the simulator's compile options. On failure the
    /// module log goes to stderr and "Module create failed: <label>" is thrown.
    OptixModule create_module(const std::string& ptx, const char* label);
    void build_pipeline();
    /// Adds the LiDAR ray generation to the main pipeline (at most once). The
    /// six-group pipeline is replaced only once the seven-group one and its
    /// stack sizes are in place; a failure keeps it and drops the LiDAR
    /// module and group, so the next call starts the extension over.
    void extend_pipeline_with_lidar();
    void init_eb_pipeline();
    void init_eb_mb_pipeline();

    // ---- binding tables and buffers (simulator_sbt.cpp) ---------------------
    void build_sbt(SceneManager& scene);
    void build_sbt_eb(SceneManager& scene);
    void build_sbt_eb_mb(SceneManager& scene);
    /// (Re)allocates the six per-launch buffers unless they already hold this
    /// pair. Sizes beyond what 32-bit device indexing reaches are refused.
    void allocate_buffers(int num_rays, int num_bands);
    void free_buffers();
    /// Releases every buffer and OptiX object; never throws.
    void cleanup() noexcept;

    // ---- state the simulations and tests read --------------------------------
    OptiXContext& context() const { return ctx_; }
    const std::string& ptx_dir() const { return ptx_dir_; }
    bool pipeline_built() const { return pipeline_built_; }
    bool has_lidar() const { return lidar_group_ != nullptr; }
    OptixPipeline pipeline() const { return pipeline_; }
    OptixPipeline eb_pipeline() const { return eb_pipeline_; }
    OptixPipeline eb_mb_pipeline() const { return eb_mb_pipeline_; }
    OptixProgramGroup main_group(MainGroup g) const { return groups_[g]; }
    OptixProgramGroup lidar_group() const { return lidar_group_; }
    const OptixPipelineCompileOptions& pipeline_options() const { return pipeline_options_; }
    const BindingTable& main_table() const { return main_table_; }
    const BindingTable& eb_table() const { return eb_table_; }
    const OptixShaderBindingTable& eb_mb_sbt() const { return eb_mb_sbt_; }
    const LaunchBuffers& buffers() const { return buffers_; }

private:
    OptixProgramGroup create_group(unsigned kind, OptixModule module, const char* entry,
                                   const char* step);
    OptixPipeline create_pipeline(const OptixProgramGroup* groups, unsigned count,
                                  unsigned max_trace_depth, unsigned graph_depth,
                                  const char* step, const char* stack_step);
    void release_main_pipeline() noexcept;
    void release_eb_pipeline() noexcept;
    void release_eb_mb_pipeline() noexcept;
    void release_lidar() noexcept;

    OptiXContext& ctx_;
    std::string ptx_dir_;
    OptixPipelineCompileOptions pipeline_options_{};

    bool pipeline_built_ = false;
    OptixModule modules_[4] = {};  ///< raygen_backward, closesthit, miss, raygen_forward
    OptixProgramGroup groups_[kMainGroupCount] = {};
    OptixPipeline pipeline_ = nullptr;
    BindingTable main_table_;

    OptixModule lidar_module_ = nullptr;
    OptixProgramGroup lidar_group_ = nullptr;

    bool eb_ready_ = false;
    OptixModule eb_module_ = nullptr;
    OptixProgramGroup eb_raygen_ = nullptr, eb_miss_ = nullptr, eb_hit_ = nullptr;
    OptixPipeline eb_pipeline_ = nullptr;
    BindingTable eb_table_;

    bool eb_mb_ready_ = false;
    OptixProgramGroup eb_mb_raygen_ = nullptr;
    OptixPipeline eb_mb_pipeline_ = nullptr;
    DeviceBuffer eb_mb_raygen_record_;
    OptixShaderBindingTable eb_mb_sbt_{};

    LaunchBuffers buffers_;
};

}  // namespace vorn
