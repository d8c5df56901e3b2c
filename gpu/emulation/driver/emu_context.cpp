// Device contexts, the registry of live handles, logging, and the decoding of
// the options whose layout depends on the ABI.
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>

#include "gpu/emulation/cuda_emu.h"
#include "gpu/emulation/driver/emu_driver.h"

namespace vorn::emu {

namespace {

struct HandleInfo {
    Kind kind;
    Context* owner;
};

std::mutex g_handles_mutex;
std::map<const void*, HandleInfo>& handles() {
    static auto* h = new std::map<const void*, HandleInfo>();
    return *h;
}

// Messages the tests ask the driver to emit at context creation, as
// "level:tag:message" items separated by ';' in VORN_OPTIX_EMU_LOG.
void emit_requested_messages(const Context& ctx) {
    const char* spec = std::getenv("VORN_OPTIX_EMU_LOG");
    if (!spec) return;
    std::stringstream items(spec);
    std::string item;
    while (std::getline(items, item, ';')) {
        const size_t a = item.find(':');
        const size_t b = a == std::string::npos ? a : item.find(':', a + 1);
        if (b == std::string::npos) continue;
        const unsigned level = unsigned(std::atoi(item.substr(0, a).c_str()));
        ctx.log(level, item.substr(a + 1, b - a - 1).c_str(), item.substr(b + 1));
    }
}

}  // namespace

// ---- handles ---------------------------------------------------------------

void register_handle(const void* p, Kind kind, Context* owner) {
    std::lock_guard<std::mutex> lock(g_handles_mutex);
    handles()[p] = HandleInfo{kind, owner};
}

void unregister_handle(const void* p) {
    std::lock_guard<std::mutex> lock(g_handles_mutex);
    handles().erase(p);
}

bool is_handle(const void* p, Kind kind) {
    std::lock_guard<std::mutex> lock(g_handles_mutex);
    auto it = handles().find(p);
    return p && it != handles().end() && it->second.kind == kind;
}

void destroy_children(Context* ctx) {
    std::vector<std::pair<const void*, Kind>> doomed;
    {
        std::lock_guard<std::mutex> lock(g_handles_mutex);
        for (auto& [p, info] : handles()) {
            if (info.owner == ctx && info.kind != Kind::Context)
                doomed.push_back({p, info.kind});
        }
    }
    // Pipelines first: they point at groups, which point at modules.
    for (Kind k : {Kind::Pipeline, Kind::ProgramGroup, Kind::Module}) {
        for (auto& [p, kind] : doomed) {
            if (kind != k) continue;
            unregister_handle(p);
            if (k == Kind::Pipeline) delete static_cast<const Pipeline*>(p);
            if (k == Kind::ProgramGroup) delete static_cast<const ProgramGroup*>(p);
            if (k == Kind::Module) delete static_cast<const Module*>(p);
        }
    }
}

// ---- small helpers -----------------------------------------------------------

void write_log(char* log, size_t* log_bytes, const std::string& text) {
    if (!log_bytes) return;
    if (log && *log_bytes > 0) {
        const size_t n = std::min(text.size(), *log_bytes - 1);
        std::memcpy(log, text.data(), n);
        log[n] = '\0';
    }
    *log_bytes = text.size() + 1;
}

bool is_device_range(CUdeviceptr p, size_t bytes) {
    return vorn_cuda_emu_is_device_range(reinterpret_cast<const void*>(uintptr_t(p)),
                                         bytes) != 0;
}

void Context::log(unsigned lvl, const char* tag, const std::string& message) const {
    if (callback && lvl >= 1 && int(lvl) <= level) {
        callback(lvl, tag, message.c_str(), callback_data);
    }
}

std::shared_ptr<Accel> Context::find_accel(OptixTraversableHandle handle) {
    std::shared_lock<std::shared_mutex> lock(accel_mutex);
    auto it = accels.find(CUdeviceptr(handle));
    return it == accels.end() ? nullptr : it->second;
}

Accel::~Accel() {
    if (scene) rtcReleaseScene(scene);
}

bool PipelineOptions::operator==(const PipelineOptions& o) const {
    return uses_motion_blur == o.uses_motion_blur && graph_flags == o.graph_flags &&
           num_payload == o.num_payload && num_attributes == o.num_attributes &&
           exception_flags == o.exception_flags && params_name == o.params_name &&
           has_params_bytes == o.has_params_bytes && params_bytes == o.params_bytes &&
           primitive_flags == o.primitive_flags;
}

PipelineOptions decode_pipeline_options(const void* raw, int abi) {
    PipelineOptions r;
    auto fill = [&r](const auto& o) {
        r.uses_motion_blur = o.usesMotionBlur;
        r.graph_flags = o.traversableGraphFlags;
        r.num_payload = o.numPayloadValues;
        r.num_attributes = o.numAttributeValues;
        r.exception_flags = o.exceptionFlags;
        r.params_name =
            o.pipelineLaunchParamsVariableName ? o.pipelineLaunchParamsVariableName : "";
        r.primitive_flags = o.usesPrimitiveTypeFlags;
    };
    if (abi == 118) {
        const auto& o = *static_cast<const OptixPipelineCompileOptions*>(raw);
        fill(o);
        r.has_params_bytes = true;
        r.params_bytes = o.pipelineLaunchParamsSizeInBytes;
    } else {
        fill(*static_cast<const OptixPipelineCompileOptions105*>(raw));
    }
    return r;
}

// ---- device context ----------------------------------------------------------

OptixResult context_create(CUcontext from, const OptixDeviceContextOptions* options,
                           OptixDeviceContext* out) {
    if (!out) return OPTIX_ERROR_INVALID_VALUE;
    // Context 0 means the current CUDA context, which exists once a device is set.
    if (from != nullptr) return OPTIX_ERROR_NOT_SUPPORTED;
    if (vorn_cuda_emu_current_device() < 0) return OPTIX_ERROR_CUDA_NOT_INITIALIZED;
    if (options && (options->logCallbackLevel < 0 || options->logCallbackLevel > 4)) {
        return OPTIX_ERROR_INVALID_VALUE;
    }
    auto* ctx = new Context();
    if (options) {
        ctx->callback = options->logCallbackFunction;
        ctx->callback_data = options->logCallbackData;
        ctx->level = options->logCallbackLevel;
    }
    ctx->device = rtcNewDevice(nullptr);
    if (!ctx->device) {
        delete ctx;
        return OPTIX_ERROR_INTERNAL_ERROR;
    }
    register_handle(ctx, Kind::Context, ctx);
    emit_requested_messages(*ctx);
    *out = reinterpret_cast<OptixDeviceContext>(ctx);
    return OPTIX_SUCCESS;
}

OptixResult context_destroy(OptixDeviceContext handle) {
    if (!is_handle(handle, Kind::Context)) return OPTIX_ERROR_INVALID_DEVICE_CONTEXT;
    auto* ctx = reinterpret_cast<Context*>(handle);
    destroy_children(ctx);
    unregister_handle(ctx);
    ctx->accels.clear();  // Embree scenes go before their device
    rtcReleaseDevice(ctx->device);
    delete ctx;
    return OPTIX_SUCCESS;
}

OptixResult context_get_property(OptixDeviceContext handle, unsigned property,
                                 void* value, size_t bytes) {
    if (!is_handle(handle, Kind::Context)) return OPTIX_ERROR_INVALID_DEVICE_CONTEXT;
    if (!value || bytes != sizeof(unsigned)) return OPTIX_ERROR_INVALID_VALUE;
    unsigned v = 0;
    switch (property) {
        case OPTIX_DEVICE_PROPERTY_LIMIT_MAX_TRACE_DEPTH:
            v = 31;
            break;
        case OPTIX_DEVICE_PROPERTY_LIMIT_MAX_TRAVERSABLE_GRAPH_DEPTH:
            v = 31;
            break;
        case OPTIX_DEVICE_PROPERTY_LIMIT_NUM_BITS_INSTANCE_VISIBILITY_MASK:
            v = 8;
            break;
        default:
            return OPTIX_ERROR_NOT_SUPPORTED;
    }
    std::memcpy(value, &v, sizeof v);
    return OPTIX_SUCCESS;
}

OptixResult context_set_log_callback(OptixDeviceContext handle, OptixLogCallback cb,
                                     void* data, unsigned level) {
    if (!is_handle(handle, Kind::Context)) return OPTIX_ERROR_INVALID_DEVICE_CONTEXT;
    if (level > 4) return OPTIX_ERROR_INVALID_VALUE;
    auto* ctx = reinterpret_cast<Context*>(handle);
    ctx->callback = cb;
    ctx->callback_data = data;
    ctx->level = int(level);
    return OPTIX_SUCCESS;
}

}  // namespace vorn::emu
