// The GPU engine. It loads the device programs from PTX files in a directory
// the caller names, compiles them into OptiX modules, program groups and
// pipelines (lazily, once), builds the shader binding tables from a scene's
// hit-group data, keeps the per-launch device buffers (cached by size) and
// runs the simulations, each of which fills its block of the 904-byte
// LaunchParams record.
//
// Pipelines live in simulator_pipeline.cpp, binding tables and buffers in
// simulator_sbt.cpp, the backward image in simulator_backward.cpp, forward
// photons in simulator_forward.cpp, the energy balance in
// simulator_energy_balance.cpp, LiDAR in simulator_lidar.cpp.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "core/waveform.h"
#include "gpu/device_buffer.h"
#include "gpu/launch_params.h"
#include "gpu/optix_context.h"
#include "gpu/scene_manager.h"
#include "scene/energy_balance_params.h"

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

/// One forward run (simulate_forward).
struct ForwardParams {
    int nx = 1;                        ///< grid columns along x
    int ny = 1;                        ///< grid columns along y
    std::vector<float> layer_heights;  ///< nz + 1 layer boundaries, metres
    int num_photons = 0;               ///< photons in total
    bool per_leaf = false;             ///< per-triangle tallies
    std::vector<float> brf_directions; ///< x, y, z per BRF direction (unit, upward)
    int num_brf_dirs = 0;              ///< BRF directions
    float prob_sun = 1.0f;             ///< probability of a sun photon when a sky is set
    int max_depth = 16;                ///< scattering events per photon at most
    int terrain_instance_id = -1;      ///< instance tallied as terrain, negative for none
    std::function<void(int, int, float)> progress;  ///< after each batch; may be empty
    /// Band count of the tallies and of every spectral index, as on the CPU
    /// tracer; 0 takes the scene's.
    int num_bands = 0;
};

/// One LiDAR run (simulate_lidar); the defaults are the Python defaults.
struct LiDARLaunchParams {
    std::vector<float> origins;     ///< x, y, z per pulse
    std::vector<float> directions;  ///< x, y, z per pulse, unit length
    int num_pulses = 0;
    float beam_half_angle_rad = 0.0005f;
    int beam_samples_per_dim = 10;
    float pulse_energy = 1.0f;
    float sensor_area = 0.1f;
    float range_resolution = 0.15f;
    float min_range = 0.0f;
    float max_range = 100.0f;
    int num_wavelengths = 1;
    float pulse_fwhm_ns = 4.0f;
    float peak_threshold = 1e-8f;
    int max_returns_per_pulse = 5;
    bool direct_mode = false;
    std::function<void(int, int, float)> progress;  ///< after each launch; may be empty
};

/// Photons of one forward launch at most (1024-wide rows).
constexpr int kGpuForwardBatchPhotons = 2097152;

/// Photons of each launch of a forward run: batches of B = min(num_photons,
/// 2^21) rounded up to a multiple of 1024, the last one holding the rest.
/// B itself is the photon numbering stride. Empty for num_photons <= 0.
std::vector<int> forward_batches(int num_photons, int* stride);

/// Ray-generation and miss records carry no data: the header, then 16 zero bytes.
struct EmptyRecordData {
    unsigned char zero[16];
};
using EmptyRecord = SbtRecord<EmptyRecordData>;
/// `group`'s header packed into a zeroed record (`step` names a failure).
EmptyRecord pack_empty_record(OptixProgramGroup group, const char* step);

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

    /// Forward photons in batches (forward_batches), the CPU tracer's photons
    /// numbered and seeded alike, their tallies summed in double on the
    /// device. Returns the grid (nx * ny * nz * nb values, the CPU tracer's
    /// layout); each non-null output receives its tally: leaf (T * nb, when
    /// per_leaf and the scene has triangles), brf (num_brf_dirs * nb), albedo
    /// (nb, when BRF directions are asked for or albedo_out is given), terrain
    /// (nb, when terrain_instance_id >= 0). `progress` runs after every batch
    /// with (photons done, num_photons, ms); an exception it throws ends the
    /// call. Throws std::runtime_error for the CPU tracer's request errors (with
    /// the prefix "simulate_forward: "), more than 128 bands, num_brf_dirs > 0
    /// with fewer than 3 * num_brf_dirs directions, and CUDA / OptiX failures.
    std::vector<float> simulate_forward(SceneManager& scene, const ForwardParams& params,
                                        std::vector<float>* leaf_out,
                                        std::vector<float>* brf_out,
                                        std::vector<float>* albedo_out,
                                        std::vector<float>* terrain_out);

    /// The energy balance of core/energy_balance.h, one launch index per
    /// (primitive, sample), the samples of a face summed in double on the
    /// device: top and bot equal the CPU engine's to the rounding of the
    /// summation order. Throws the checks of check_energy_balance and
    /// check_primitive_overrides (on the scene's per-primitive overrides).
    void run_energy_balance(SceneManager& scene, const EnergyBalanceParams& p,
                            std::vector<float>& top, std::vector<float>& bot);
    void run_energy_balance_multiband(SceneManager& scene,
                                      const EnergyBalanceMultibandParams& p,
                                      std::vector<float>& top, std::vector<float>& bot);

    /// LiDAR pulses as the CPU engine simulates them (core/beam.h): one launch
    /// index per (beam sample, pulse); waveforms smoothed and returns
    /// extracted on the host with the shared routines; direct records in
    /// pulse order with their range. The main binding table is rebuilt from
    /// the scene at every call. Throws "No pulses to simulate." for
    /// num_pulses < 1, the CPU engine's argument and scene checks (prefix
    /// "simulate_lidar: "), and CUDA / OptiX failures; the call's device
    /// buffers are released on every exit.
    LiDARResult simulate_lidar(SceneManager& scene, const LiDARLaunchParams& p);

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
    /// The checks every simulation makes first: a built scene (else
    /// `not_built` is thrown) of this simulator's context.
    void check_scene(const SceneManager& scene, const char* not_built, const char* who) const;
    /// The main table with `record` (a packed ray-generation record on the
    /// device) as its ray-generation record.
    OptixShaderBindingTable main_table_with_raygen(const DeviceBuffer& record) const;
    /// What both energy-balance calls share once their buffers are ready:
    /// the sums and counters, and n_prims x n_samples launch indices (in
    /// several launches beyond the OptiX launch limit).
    void launch_energy_balance(SceneManager& scene, OptixPipeline pipeline,
                               const OptixShaderBindingTable& sbt, int n_bands,
                               LaunchParams& lp, const char* const steps[3]);

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

    // Forward state kept between calls (released and made again as needed).
    DeviceBuffer fwd_raygen_record_;
    DeviceBuffer fwd_fpar_, fwd_layers_, fwd_leaf_, fwd_leaf_offsets_, fwd_terrain_;

    // Energy-balance buffers, cached by size.
    DeviceBuffer eb_top_, eb_bot_, eb_albedos_;
    uint32_t eb_prims_ = 0;
    int32_t eb_albedo_count_ = 0;
    DeviceBuffer eb_mb_top_, eb_mb_bot_, eb_mb_sun_, eb_mb_sky_, eb_mb_albedos_;
    int64_t eb_mb_values_ = 0;
    int32_t eb_mb_bands_ = 0, eb_mb_albedo_count_ = 0;
    DeviceBuffer eb_sums_;  ///< double sums and sample counters of both calls

    DeviceBuffer lidar_raygen_record_;
};

}  // namespace vorn
