// Internals of the host stand-in of the OptiX driver (libnvoptix.so.1 of the
// test builds). The objects behind the opaque OptiX handles live here; the
// entry points are split by concern over emu_*.cpp and gathered into the
// function tables of both ABIs by emu_table.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <shared_mutex>
#include <string>
#include <vector>

#include "embree/embree_compat.h"
#include "gpu/optix_types.h"

namespace vorn::emu {

using ProgramFn = void (*)();

/// Pipeline compile options with the ABI-specific layout decoded.
struct PipelineOptions {
    int uses_motion_blur = 0;
    unsigned graph_flags = 0;
    int num_payload = 0;
    int num_attributes = 0;
    unsigned exception_flags = 0;
    std::string params_name;
    bool has_params_bytes = false;  ///< only ABI 118 states the variable's size
    size_t params_bytes = 0;
    unsigned primitive_flags = 0;
    bool operator==(const PipelineOptions& o) const;
};
PipelineOptions decode_pipeline_options(const void* raw, int abi);

struct Context;

struct Module {
    Context* context = nullptr;
    std::vector<std::string> entries;  ///< `.entry` names of the PTX
    size_t params_bytes = 0;           ///< size of the launch variable; 0 = none declared
    void* library = nullptr;           ///< host build of the same program
    void* params = nullptr;            ///< its launch variable
    PipelineOptions options;
    bool has_entry(const std::string& name) const;
};

struct ProgramGroup {
    Context* context = nullptr;
    unsigned kind = 0;            ///< OPTIX_PROGRAM_GROUP_KIND_*
    Module* module = nullptr;     ///< of the program; null for an empty miss or hit group
    ProgramFn program = nullptr;  ///< raygen, miss or closest hit
    std::string entry;
};

struct Pipeline {
    Context* context = nullptr;
    PipelineOptions options;
    unsigned max_trace_depth = 0;
    std::vector<ProgramGroup*> groups;
    std::vector<Module*> modules;  ///< distinct modules of the groups
    unsigned stack_sizes[4] = {};
    bool has_group(const ProgramGroup* g) const;
};

/// One triangle build input of a GAS, kept for the face test of hits.
struct Geometry {
    std::vector<float> vertices;    ///< xyz per vertex, object space
    std::vector<uint32_t> indices;  ///< three per triangle
    unsigned sbt_base = 0;          ///< SBT record index of this input within the GAS
    unsigned prim_offset = 0;       ///< primitiveIndexOffset
};

struct Accel;

struct InstanceRec {
    float xform[12];    ///< object-to-world rows
    float inverse[12];  ///< world-to-object rows
    unsigned id = 0, sbt_offset = 0, mask = 0, flags = 0;
    std::shared_ptr<Accel> gas;
};

/// A built acceleration structure: an Embree scene plus what hits need.
struct Accel {
    bool is_ias = false;
    unsigned build_flags = 0;
    size_t output_bytes = 0;
    RTCScene scene = nullptr;
    std::vector<Geometry> geometries;    ///< GAS
    std::vector<InstanceRec> instances;  ///< IAS, in build-input order
    ~Accel();
};

struct Context {
    OptixLogCallback callback = nullptr;
    void* callback_data = nullptr;
    int level = 0;
    RTCDevice device = nullptr;
    std::shared_mutex accel_mutex;
    /// Builds by output address; a traversable handle is that address.
    std::map<CUdeviceptr, std::shared_ptr<Accel>> accels;

    /// Hands `message` to the log callback when `level` is enabled.
    void log(unsigned level, const char* tag, const std::string& message) const;
    std::shared_ptr<Accel> find_accel(OptixTraversableHandle handle);
};

// ---- live handles ---------------------------------------------------------
enum class Kind { Context, Module, ProgramGroup, Pipeline };
void register_handle(const void* p, Kind kind, Context* owner);
void unregister_handle(const void* p);
bool is_handle(const void* p, Kind kind);
/// Deletes every module, group and pipeline created on `ctx`.
void destroy_children(Context* ctx);

/// Destroys a live module, group or pipeline handle whose object is a T;
/// anything else (stale, foreign or of another kind) is an invalid value.
template <class T, class Handle>
OptixResult destroy_handle(Handle handle, Kind kind) {
    if (!is_handle(handle, kind)) return OPTIX_ERROR_INVALID_VALUE;
    unregister_handle(handle);
    delete reinterpret_cast<T*>(handle);
    return OPTIX_SUCCESS;
}

/// Writes `text` to an OptiX log buffer (truncated to its capacity) and
/// reports the full size, NUL included, as OptiX does.
void write_log(char* log, size_t* log_bytes, const std::string& text);

// Device pointers handed to the driver must be live emulated allocations.
bool is_device_range(CUdeviceptr p, size_t bytes);

// ---- entry points (one per table slot we serve) ----------------------------
const char* error_name(OptixResult r);
const char* error_string(OptixResult r);
OptixResult unsupported();
OptixResult context_create(CUcontext from, const OptixDeviceContextOptions* options,
                           OptixDeviceContext* out);
OptixResult context_destroy(OptixDeviceContext ctx);
OptixResult context_get_property(OptixDeviceContext ctx, unsigned property, void* value,
                                 size_t bytes);
OptixResult context_set_log_callback(OptixDeviceContext ctx, OptixLogCallback cb,
                                     void* data, unsigned level);
OptixResult module_create(int abi, OptixDeviceContext ctx,
                          const OptixModuleCompileOptions* mco, const void* pco,
                          const char* ptx, size_t ptx_bytes, char* log, size_t* log_bytes,
                          OptixModule* out);
OptixResult module_destroy(OptixModule module);
OptixResult program_group_create(OptixDeviceContext ctx,
                                 const OptixProgramGroupDesc* descs, unsigned count,
                                 const OptixProgramGroupOptions* options, char* log,
                                 size_t* log_bytes, OptixProgramGroup* out);
OptixResult program_group_destroy(OptixProgramGroup group);
OptixResult program_group_get_stack_size(OptixProgramGroup group, OptixStackSizes* sizes,
                                         OptixPipeline pipeline);
OptixResult pipeline_create(int abi, OptixDeviceContext ctx, const void* pco,
                            const OptixPipelineLinkOptions* link,
                            const OptixProgramGroup* groups, unsigned count, char* log,
                            size_t* log_bytes, OptixPipeline* out);
OptixResult pipeline_destroy(OptixPipeline pipeline);
OptixResult pipeline_set_stack_size(OptixPipeline pipeline, unsigned dc_traversal,
                                    unsigned dc_state, unsigned continuation,
                                    unsigned graph_depth);
OptixResult accel_compute_memory_usage(OptixDeviceContext ctx,
                                       const OptixAccelBuildOptions* options,
                                       const OptixBuildInput* inputs, unsigned count,
                                       OptixAccelBufferSizes* sizes);
OptixResult accel_build(OptixDeviceContext ctx, CUstream stream,
                        const OptixAccelBuildOptions* options,
                        const OptixBuildInput* inputs, unsigned count, CUdeviceptr temp,
                        size_t temp_bytes, CUdeviceptr output, size_t output_bytes,
                        OptixTraversableHandle* handle, const OptixAccelEmitDesc* emitted,
                        unsigned num_emitted);
OptixResult sbt_record_pack_header(OptixProgramGroup group, void* header);
OptixResult launch(OptixPipeline pipeline, CUstream stream, CUdeviceptr params,
                   size_t params_bytes, const OptixShaderBindingTable* sbt,
                   unsigned width, unsigned height, unsigned depth);

/// The group a packed SBT header names, or null when the header was not
/// packed by this driver from one of the pipeline's groups.
const ProgramGroup* group_from_header(const void* header, const Pipeline& pipeline);

}  // namespace vorn::emu
