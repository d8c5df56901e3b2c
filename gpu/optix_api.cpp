#include "gpu/optix_api.h"

#include <dlfcn.h>

#include <cstring>

namespace vorn {

namespace {

struct SlotPair {
    int abi118;
    int abi105;
};

// Table positions, in OptixEntry order. From optixModuleDestroy on, ABI 118
// inserted cancellation, task-serialisation and stack/symbol entries, so
// every later slot moved.
constexpr SlotPair kSlots[] = {
    {0, 0},    // GetErrorName
    {1, 1},    // GetErrorString
    {2, 2},    // DeviceContextCreate
    {3, 3},    // DeviceContextDestroy
    {4, 4},    // DeviceContextGetProperty
    {5, 5},    // DeviceContextSetLogCallback
    {12, 12},  // ModuleCreate
    {18, 15},  // ModuleDestroy
    {24, 18},  // ProgramGroupCreate
    {25, 19},  // ProgramGroupDestroy
    {26, 20},  // ProgramGroupGetStackSize
    {27, 21},  // PipelineCreate
    {28, 22},  // PipelineDestroy
    {30, 23},  // PipelineSetStackSize
    {32, 24},  // AccelComputeMemoryUsage
    {33, 25},  // AccelBuild
    {48, 40},  // SbtRecordPackHeader
    {49, 41},  // Launch
};
static_assert(sizeof(kSlots) / sizeof(kSlots[0]) == size_t(OptixEntry::Count),
              "one slot pair per entry point");

OptixApi g_optix_api;

}  // namespace

int optix_slot(OptixEntry entry, int abi) {
    const int i = int(entry);
    if (i < 0 || i >= int(OptixEntry::Count)) return -1;
    if (abi == kOptixAbiLatest) return kSlots[i].abi118;
    if (abi == kOptixAbiFallback) return kSlots[i].abi105;
    return -1;
}

OptixPipelineCompileOptions105 to_abi105(const OptixPipelineCompileOptions& o) {
    OptixPipelineCompileOptions105 r{};
    r.usesMotionBlur = o.usesMotionBlur;
    r.traversableGraphFlags = o.traversableGraphFlags;
    r.numPayloadValues = o.numPayloadValues;
    r.numAttributeValues = o.numAttributeValues;
    r.exceptionFlags = o.exceptionFlags;
    r.pipelineLaunchParamsVariableName = o.pipelineLaunchParamsVariableName;
    r.usesPrimitiveTypeFlags = o.usesPrimitiveTypeFlags;
    r.allowOpacityMicromaps = o.allowOpacityMicromaps;
    r.allowClusteredGeometry = o.allowClusteredGeometry;
    return r;
}

bool OptixApi::fill(OptixQueryFunctionTableFn query) {
    std::memset(slots_, 0, sizeof slots_);
    abi_ = 0;
    if (!query) return false;
    OptixResult r =
        query(kOptixAbiLatest, 0, nullptr, nullptr, slots_, kOptixTableBytes118);
    int served = kOptixAbiLatest;
    if (r == OPTIX_ERROR_UNSUPPORTED_ABI_VERSION) {
        // A driver older than the 590 branch: its 105 table is all we need.
        std::memset(slots_, 0, sizeof slots_);
        r = query(kOptixAbiFallback, 0, nullptr, nullptr, slots_, kOptixTableBytes105);
        served = kOptixAbiFallback;
    }
    if (r != OPTIX_SUCCESS) {
        // A refused query leaves the table unusable: never call through it.
        std::memset(slots_, 0, sizeof slots_);
        return false;
    }
    abi_ = served;
    return true;
}

// ---- wrappers: pick the slot of the served ABI ----------------------------

const void* OptixApi::served_layout(const OptixPipelineCompileOptions* options,
                                    OptixPipelineCompileOptions105* scratch) const {
    if (abi_ != kOptixAbiFallback || !options) return options;
    *scratch = to_abi105(*options);
    return scratch;
}

const char* OptixApi::error_name(OptixResult r) const {
    return entry<const char* (*)(OptixResult)>(OptixEntry::GetErrorName)(r);
}

const char* OptixApi::error_string(OptixResult r) const {
    return entry<const char* (*)(OptixResult)>(OptixEntry::GetErrorString)(r);
}

OptixResult OptixApi::device_context_create(CUcontext from,
                                            const OptixDeviceContextOptions* o,
                                            OptixDeviceContext* context) const {
    using Fn =
        OptixResult (*)(CUcontext, const OptixDeviceContextOptions*, OptixDeviceContext*);
    return entry<Fn>(OptixEntry::DeviceContextCreate)(from, o, context);
}

OptixResult OptixApi::device_context_destroy(OptixDeviceContext context) const {
    return entry<OptixResult (*)(OptixDeviceContext)>(OptixEntry::DeviceContextDestroy)(
        context);
}

OptixResult OptixApi::device_context_get_property(OptixDeviceContext context,
                                                  unsigned int property, void* value,
                                                  size_t bytes) const {
    using Fn = OptixResult (*)(OptixDeviceContext, unsigned int, void*, size_t);
    return entry<Fn>(OptixEntry::DeviceContextGetProperty)(context, property, value,
                                                           bytes);
}

OptixResult OptixApi::device_context_set_log_callback(OptixDeviceContext context,
                                                      OptixLogCallback callback,
                                                      void* data,
                                                      unsigned int level) const {
    using Fn = OptixResult (*)(OptixDeviceContext, OptixLogCallback, void*, unsigned int);
    return entry<Fn>(OptixEntry::DeviceContextSetLogCallback)(context, callback, data,
                                                              level);
}

OptixResult OptixApi::module_create(OptixDeviceContext context,
                                    const OptixModuleCompileOptions* module_options,
                                    const OptixPipelineCompileOptions* pipeline_options,
                                    const char* ptx, size_t ptx_bytes, char* log,
                                    size_t* log_bytes, OptixModule* module) const {
    using Fn =
        OptixResult (*)(OptixDeviceContext, const OptixModuleCompileOptions*, const void*,
                        const char*, size_t, char*, size_t*, OptixModule*);
    OptixPipelineCompileOptions105 old{};
    const void* pco = served_layout(pipeline_options, &old);
    return entry<Fn>(OptixEntry::ModuleCreate)(context, module_options, pco, ptx,
                                               ptx_bytes, log, log_bytes, module);
}

OptixResult OptixApi::module_destroy(OptixModule module) const {
    return entry<OptixResult (*)(OptixModule)>(OptixEntry::ModuleDestroy)(module);
}

OptixResult OptixApi::program_group_create(OptixDeviceContext context,
                                           const OptixProgramGroupDesc* descs,
                                           unsigned int count,
                                           const OptixProgramGroupOptions* options,
                                           char* log, size_t* log_bytes,
                                           OptixProgramGroup* groups) const {
    using Fn = OptixResult (*)(OptixDeviceContext, const OptixProgramGroupDesc*,
                               unsigned int, const OptixProgramGroupOptions*, char*,
                               size_t*, OptixProgramGroup*);
    return entry<Fn>(OptixEntry::ProgramGroupCreate)(context, descs, count, options, log,
                                                     log_bytes, groups);
}

OptixResult OptixApi::program_group_destroy(OptixProgramGroup group) const {
    return entry<OptixResult (*)(OptixProgramGroup)>(OptixEntry::ProgramGroupDestroy)(
        group);
}

OptixResult OptixApi::program_group_get_stack_size(OptixProgramGroup group,
                                                   OptixStackSizes* sizes,
                                                   OptixPipeline pipeline) const {
    using Fn = OptixResult (*)(OptixProgramGroup, OptixStackSizes*, OptixPipeline);
    return entry<Fn>(OptixEntry::ProgramGroupGetStackSize)(group, sizes, pipeline);
}

OptixResult OptixApi::pipeline_create(OptixDeviceContext context,
                                      const OptixPipelineCompileOptions* pipeline_options,
                                      const OptixPipelineLinkOptions* link_options,
                                      const OptixProgramGroup* groups, unsigned int count,
                                      char* log, size_t* log_bytes,
                                      OptixPipeline* pipeline) const {
    using Fn = OptixResult (*)(OptixDeviceContext, const void*,
                               const OptixPipelineLinkOptions*, const OptixProgramGroup*,
                               unsigned int, char*, size_t*, OptixPipeline*);
    OptixPipelineCompileOptions105 old{};
    const void* pco = served_layout(pipeline_options, &old);
    return entry<Fn>(OptixEntry::PipelineCreate)(context, pco, link_options, groups,
                                                 count, log, log_bytes, pipeline);
}

OptixResult OptixApi::pipeline_destroy(OptixPipeline pipeline) const {
    return entry<OptixResult (*)(OptixPipeline)>(OptixEntry::PipelineDestroy)(pipeline);
}

OptixResult OptixApi::pipeline_set_stack_size(OptixPipeline pipeline,
                                              unsigned int dc_from_traversal,
                                              unsigned int dc_from_state,
                                              unsigned int continuation,
                                              unsigned int max_graph_depth) const {
    using Fn = OptixResult (*)(OptixPipeline, unsigned int, unsigned int, unsigned int,
                               unsigned int);
    return entry<Fn>(OptixEntry::PipelineSetStackSize)(
        pipeline, dc_from_traversal, dc_from_state, continuation, max_graph_depth);
}

OptixResult OptixApi::accel_compute_memory_usage(OptixDeviceContext context,
                                                 const OptixAccelBuildOptions* options,
                                                 const OptixBuildInput* inputs,
                                                 unsigned int count,
                                                 OptixAccelBufferSizes* sizes) const {
    using Fn =
        OptixResult (*)(OptixDeviceContext, const OptixAccelBuildOptions*,
                        const OptixBuildInput*, unsigned int, OptixAccelBufferSizes*);
    return entry<Fn>(OptixEntry::AccelComputeMemoryUsage)(context, options, inputs, count,
                                                          sizes);
}

OptixResult OptixApi::accel_build(OptixDeviceContext context, CUstream stream,
                                  const OptixAccelBuildOptions* options,
                                  const OptixBuildInput* inputs, unsigned int count,
                                  CUdeviceptr temp, size_t temp_bytes, CUdeviceptr output,
                                  size_t output_bytes, OptixTraversableHandle* handle,
                                  const OptixAccelEmitDesc* emitted,
                                  unsigned int num_emitted) const {
    using Fn = OptixResult (*)(
        OptixDeviceContext, CUstream, const OptixAccelBuildOptions*,
        const OptixBuildInput*, unsigned int, CUdeviceptr, size_t, CUdeviceptr, size_t,
        OptixTraversableHandle*, const OptixAccelEmitDesc*, unsigned int);
    return entry<Fn>(OptixEntry::AccelBuild)(context, stream, options, inputs, count,
                                             temp, temp_bytes, output, output_bytes,
                                             handle, emitted, num_emitted);
}

OptixResult OptixApi::sbt_record_pack_header(OptixProgramGroup group,
                                             void* header) const {
    using Fn = OptixResult (*)(OptixProgramGroup, void*);
    return entry<Fn>(OptixEntry::SbtRecordPackHeader)(group, header);
}

OptixResult OptixApi::launch(OptixPipeline pipeline, CUstream stream, CUdeviceptr params,
                             size_t params_bytes, const OptixShaderBindingTable* sbt,
                             unsigned int width, unsigned int height,
                             unsigned int depth) const {
    using Fn = OptixResult (*)(OptixPipeline, CUstream, CUdeviceptr, size_t,
                               const OptixShaderBindingTable*, unsigned int, unsigned int,
                               unsigned int);
    return entry<Fn>(OptixEntry::Launch)(pipeline, stream, params, params_bytes, sbt,
                                         width, height, depth);
}

// ---- loading -------------------------------------------------------------

const OptixApi& optix_api() { return g_optix_api; }

bool load_optix_api() {
    // Never closed: the driver's code backs every OptiX object for as long as
    // the process runs, and a second dlopen only bumps the reference count.
    void* library = dlopen("libnvoptix.so.1", RTLD_NOW);
    if (!library) return false;
    void* symbol = dlsym(library, "optixQueryFunctionTable");
    if (!symbol) return false;
    // Fill a fresh table first, so a refused query never clears the table
    // that contexts created earlier are still calling through.
    OptixApi fresh;
    if (!fresh.fill(reinterpret_cast<OptixQueryFunctionTableFn>(symbol))) return false;
    g_optix_api = fresh;
    return true;
}

}  // namespace vorn
