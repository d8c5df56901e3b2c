// Pipelines: program groups linked under one set of compile options. As on a
// device, every module of the pipeline must have been compiled with the
// pipeline's compile options.
#include <algorithm>

#include "gpu/emulation/driver/emu_driver.h"

namespace vorn::emu {

bool Pipeline::has_group(const ProgramGroup* g) const {
    return std::find(groups.begin(), groups.end(), g) != groups.end();
}

OptixResult pipeline_create(int abi, OptixDeviceContext handle, const void* pco,
                            const OptixPipelineLinkOptions* link,
                            const OptixProgramGroup* groups, unsigned count, char* log,
                            size_t* log_bytes, OptixPipeline* out) {
    if (!is_handle(handle, Kind::Context)) return OPTIX_ERROR_INVALID_DEVICE_CONTEXT;
    if (!pco || !link || !groups || !out || count == 0) return OPTIX_ERROR_INVALID_VALUE;
    if (link->maxTraceDepth > 31) return OPTIX_ERROR_INVALID_VALUE;
    auto* ctx = reinterpret_cast<Context*>(handle);
    auto p = std::make_unique<Pipeline>();
    p->context = ctx;
    p->options = decode_pipeline_options(pco, abi);
    p->max_trace_depth = link->maxTraceDepth;
    for (unsigned i = 0; i < count; ++i) {
        if (!is_handle(groups[i], Kind::ProgramGroup)) return OPTIX_ERROR_INVALID_VALUE;
        auto* g = reinterpret_cast<ProgramGroup*>(groups[i]);
        if (g->context != ctx) return OPTIX_ERROR_INVALID_VALUE;
        p->groups.push_back(g);
        if (g->module && std::find(p->modules.begin(), p->modules.end(), g->module) ==
                             p->modules.end()) {
            p->modules.push_back(g->module);
        }
    }
    for (const Module* m : p->modules) {
        if (!(m->options == p->options)) {
            write_log(log, log_bytes,
                      "module compile options differ from the pipeline compile options");
            return OPTIX_ERROR_PIPELINE_LINK_ERROR;
        }
    }
    write_log(log, log_bytes, "");
    register_handle(p.get(), Kind::Pipeline, ctx);
    *out = reinterpret_cast<OptixPipeline>(p.release());
    return OPTIX_SUCCESS;
}

OptixResult pipeline_destroy(OptixPipeline handle) {
    return destroy_handle<Pipeline>(handle, Kind::Pipeline);
}

OptixResult pipeline_set_stack_size(OptixPipeline handle, unsigned dc_traversal,
                                    unsigned dc_state, unsigned continuation,
                                    unsigned graph_depth) {
    if (!is_handle(handle, Kind::Pipeline)) return OPTIX_ERROR_INVALID_VALUE;
    if (graph_depth == 0 || graph_depth > 31) return OPTIX_ERROR_INVALID_VALUE;
    auto* p = reinterpret_cast<Pipeline*>(handle);
    p->stack_sizes[0] = dc_traversal;
    p->stack_sizes[1] = dc_state;
    p->stack_sizes[2] = continuation;
    p->stack_sizes[3] = graph_depth;
    return OPTIX_SUCCESS;
}

}  // namespace vorn::emu
