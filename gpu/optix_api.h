// The process-wide OptiX function table. The driver library fills it through
// optixQueryFunctionTable; we ask for ABI 118 and, when the driver refuses it
// as too new (drivers of the 570 and 580 branches do), for ABI 105. The two
// tables order their slots differently and ABI 105 reads another pipeline
// compile options layout, so callers go through the wrappers below, which pick
// the slot and convert the options for whichever ABI the driver served.
#pragma once

#include <cstddef>
#include <stdexcept>

#include "gpu/optix_types.h"

namespace vorn {

/// The driver entry points the backend calls.
enum class OptixEntry : int {
    GetErrorName,
    GetErrorString,
    DeviceContextCreate,
    DeviceContextDestroy,
    DeviceContextGetProperty,
    DeviceContextSetLogCallback,
    ModuleCreate,
    ModuleDestroy,
    ProgramGroupCreate,
    ProgramGroupDestroy,
    ProgramGroupGetStackSize,
    PipelineCreate,
    PipelineDestroy,
    PipelineSetStackSize,
    AccelComputeMemoryUsage,
    AccelBuild,
    SbtRecordPackHeader,
    Launch,
    Count
};

constexpr int kOptixAbiLatest = 118;    ///< 60 slots, 480 bytes
constexpr int kOptixAbiFallback = 105;  ///< 52 slots, 416 bytes
constexpr size_t kOptixTableBytes118 = 480;
constexpr size_t kOptixTableBytes105 = 416;

/// Index of an entry point in the table of the given ABI (118 or 105), or -1.
int optix_slot(OptixEntry entry, int abi);

/// Pipeline compile options rewritten in the ABI 105 layout.
OptixPipelineCompileOptions105 to_abi105(const OptixPipelineCompileOptions& options);

/// Signature of the driver's exported table query.
using OptixQueryFunctionTableFn = OptixResult (*)(int abi, unsigned int num_options,
                                                  void* option_keys,
                                                  const void** option_values, void* table,
                                                  size_t table_bytes);

class OptixApi {
public:
    /// ABI the driver served: 118 or 105; 0 while the table is empty.
    int abi() const { return abi_; }

    /// Asks `query` for ABI 118, and for 105 when 118 is refused with 7801.
    /// Leaves the table empty and returns false when no ABI was served.
    bool fill(OptixQueryFunctionTableFn query);

    const char* error_name(OptixResult r) const;
    const char* error_string(OptixResult r) const;
    OptixResult device_context_create(CUcontext from,
                                      const OptixDeviceContextOptions* options,
                                      OptixDeviceContext* context) const;
    OptixResult device_context_destroy(OptixDeviceContext context) const;
    OptixResult device_context_get_property(OptixDeviceContext context,
                                            unsigned int property, void* value,
                                            size_t bytes) const;
    OptixResult device_context_set_log_callback(OptixDeviceContext context,
                                                OptixLogCallback callback, void* data,
                                                unsigned int level) const;
    OptixResult module_create(OptixDeviceContext context,
                              const OptixModuleCompileOptions* module_options,
                              const OptixPipelineCompileOptions* pipeline_options,
                              const char* ptx, size_t ptx_bytes, char* log,
                              size_t* log_bytes, OptixModule* module) const;
    OptixResult module_destroy(OptixModule module) const;
    OptixResult program_group_create(OptixDeviceContext context,
                                     const OptixProgramGroupDesc* descs,
                                     unsigned int count,
                                     const OptixProgramGroupOptions* options, char* log,
                                     size_t* log_bytes, OptixProgramGroup* groups) const;
    OptixResult program_group_destroy(OptixProgramGroup group) const;
    OptixResult program_group_get_stack_size(OptixProgramGroup group,
                                             OptixStackSizes* sizes,
                                             OptixPipeline pipeline) const;
    OptixResult pipeline_create(OptixDeviceContext context,
                                const OptixPipelineCompileOptions* pipeline_options,
                                const OptixPipelineLinkOptions* link_options,
                                const OptixProgramGroup* groups, unsigned int count,
                                char* log, size_t* log_bytes,
                                OptixPipeline* pipeline) const;
    OptixResult pipeline_destroy(OptixPipeline pipeline) const;
    OptixResult pipeline_set_stack_size(OptixPipeline pipeline,
                                        unsigned int dc_from_traversal,
                                        unsigned int dc_from_state,
                                        unsigned int continuation,
                                        unsigned int max_graph_depth) const;
    OptixResult accel_compute_memory_usage(OptixDeviceContext context,
                                           const OptixAccelBuildOptions* options,
                                           const OptixBuildInput* inputs,
                                           unsigned int count,
                                           OptixAccelBufferSizes* sizes) const;
    OptixResult accel_build(OptixDeviceContext context, CUstream stream,
                            const OptixAccelBuildOptions* options,
                            const OptixBuildInput* inputs, unsigned int count,
                            CUdeviceptr temp, size_t temp_bytes, CUdeviceptr output,
                            size_t output_bytes, OptixTraversableHandle* handle,
                            const OptixAccelEmitDesc* emitted,
                            unsigned int num_emitted) const;
    OptixResult sbt_record_pack_header(OptixProgramGroup group, void* header) const;
    OptixResult launch(OptixPipeline pipeline, CUstream stream, CUdeviceptr params,
                       size_t params_bytes, const OptixShaderBindingTable* sbt,
                       unsigned int width, unsigned int height, unsigned int depth) const;

private:
    /// `options` as the served ABI reads them: unchanged at 118, rewritten
    /// into `scratch` at 105.
    const void* served_layout(const OptixPipelineCompileOptions* options,
                              OptixPipelineCompileOptions105* scratch) const;

    /// The served entry point; calling through a table that was never loaded
    /// (or lacks the slot) is a usage error, never a jump through null.
    template <typename Fn>
    Fn entry(OptixEntry e) const {
        const int slot = optix_slot(e, abi_);
        if (slot < 0 || slots_[slot] == nullptr)
            throw std::runtime_error("OptiX: function table not loaded");
        return reinterpret_cast<Fn>(slots_[slot]);
    }

    void* slots_[kOptixTableBytes118 / sizeof(void*)] = {};
    int abi_ = 0;
};

/// The process-wide table shared by every OptiXContext and all GPU code.
const OptixApi& optix_api();

/// Opens libnvoptix.so.1 (the handle stays open for the life of the process),
/// looks up optixQueryFunctionTable and fills the process-wide table. Returns
/// false when the library, its entry point or a usable ABI is missing.
bool load_optix_api();

}  // namespace vorn
