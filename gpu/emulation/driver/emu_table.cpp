// The driver's one export: optixQueryFunctionTable, serving ABI 118 (60
// slots) and ABI 105 (52 slots, another order and another pipeline compile
// options layout). Slots the backend never calls answer NOT_SUPPORTED.
//
// VORN_OPTIX_EMU_ABIS lists the ABIs served (default "118,105"); the tests set
// it to "105" to play a driver of the 570/580 branches and to "" to play one
// too old for both.
#include <cstdlib>
#include <sstream>

#include "gpu/emulation/driver/emu_driver.h"
#include "gpu/emulation/emu_device_api.h"

namespace vorn::emu {

namespace {

struct Code {
    OptixResult code;
    const char* name;
    const char* text;
};

constexpr Code kCodes[] = {
    {OPTIX_SUCCESS, "OPTIX_SUCCESS", "Success"},
    {OPTIX_ERROR_INVALID_VALUE, "OPTIX_ERROR_INVALID_VALUE", "Invalid value"},
    {OPTIX_ERROR_INVALID_OPERATION, "OPTIX_ERROR_INVALID_OPERATION", "Invalid operation"},
    {OPTIX_ERROR_LAUNCH_FAILURE, "OPTIX_ERROR_LAUNCH_FAILURE", "Launch failure"},
    {OPTIX_ERROR_INVALID_DEVICE_CONTEXT, "OPTIX_ERROR_INVALID_DEVICE_CONTEXT",
     "Invalid device context"},
    {OPTIX_ERROR_CUDA_NOT_INITIALIZED, "OPTIX_ERROR_CUDA_NOT_INITIALIZED",
     "CUDA not initialized"},
    {OPTIX_ERROR_INVALID_INPUT, "OPTIX_ERROR_INVALID_INPUT", "Invalid input"},
    {OPTIX_ERROR_INVALID_LAUNCH_PARAMETER, "OPTIX_ERROR_INVALID_LAUNCH_PARAMETER",
     "Invalid launch parameter"},
    {OPTIX_ERROR_PIPELINE_LINK_ERROR, "OPTIX_ERROR_PIPELINE_LINK_ERROR",
     "Pipeline link error"},
    {OPTIX_ERROR_NOT_SUPPORTED, "OPTIX_ERROR_NOT_SUPPORTED", "Not supported"},
    {OPTIX_ERROR_UNSUPPORTED_ABI_VERSION, "OPTIX_ERROR_UNSUPPORTED_ABI_VERSION",
     "Unsupported ABI version"},
    {OPTIX_ERROR_FUNCTION_TABLE_SIZE_MISMATCH, "OPTIX_ERROR_FUNCTION_TABLE_SIZE_MISMATCH",
     "Function table size mismatch"},
    {OPTIX_ERROR_INTERNAL_ERROR, "OPTIX_ERROR_INTERNAL_ERROR", "Internal error"},
};

template <int Abi>
OptixResult module_create_abi(OptixDeviceContext ctx,
                              const OptixModuleCompileOptions* mco, const void* pco,
                              const char* ptx, size_t ptx_bytes, char* log,
                              size_t* log_bytes, OptixModule* out) {
    return module_create(Abi, ctx, mco, pco, ptx, ptx_bytes, log, log_bytes, out);
}

template <int Abi>
OptixResult pipeline_create_abi(OptixDeviceContext ctx, const void* pco,
                                const OptixPipelineLinkOptions* link,
                                const OptixProgramGroup* groups, unsigned count,
                                char* log, size_t* log_bytes, OptixPipeline* out) {
    return pipeline_create(Abi, ctx, pco, link, groups, count, log, log_bytes, out);
}

bool abi_served(int abi) {
    const char* spec = std::getenv("VORN_OPTIX_EMU_ABIS");
    std::stringstream items(spec ? spec : "118,105");
    std::string item;
    while (std::getline(items, item, ',')) {
        if (!item.empty() && std::atoi(item.c_str()) == abi) return true;
    }
    return false;
}

template <typename Fn>
void* slot(Fn fn) {
    return reinterpret_cast<void*>(fn);
}

// Slot positions of the entry points we serve: {slot at 118, slot at 105, fn}.
struct Served {
    int abi118, abi105;
    void* fn118;
    void* fn105;
};

const std::vector<Served>& served_slots() {
    static const std::vector<Served> s = {
        {0, 0, slot(error_name), slot(error_name)},
        {1, 1, slot(error_string), slot(error_string)},
        {2, 2, slot(context_create), slot(context_create)},
        {3, 3, slot(context_destroy), slot(context_destroy)},
        {4, 4, slot(context_get_property), slot(context_get_property)},
        {5, 5, slot(context_set_log_callback), slot(context_set_log_callback)},
        {12, 12, slot(module_create_abi<118>), slot(module_create_abi<105>)},
        {18, 15, slot(module_destroy), slot(module_destroy)},
        {24, 18, slot(program_group_create), slot(program_group_create)},
        {25, 19, slot(program_group_destroy), slot(program_group_destroy)},
        {26, 20, slot(program_group_get_stack_size), slot(program_group_get_stack_size)},
        {27, 21, slot(pipeline_create_abi<118>), slot(pipeline_create_abi<105>)},
        {28, 22, slot(pipeline_destroy), slot(pipeline_destroy)},
        {30, 23, slot(pipeline_set_stack_size), slot(pipeline_set_stack_size)},
        {32, 24, slot(accel_compute_memory_usage), slot(accel_compute_memory_usage)},
        {33, 25, slot(accel_build), slot(accel_build)},
        {48, 40, slot(sbt_record_pack_header), slot(sbt_record_pack_header)},
        {49, 41, slot(launch), slot(launch)},
    };
    return s;
}

}  // namespace

const char* error_name(OptixResult r) {
    for (const Code& c : kCodes) {
        if (c.code == r) return c.name;
    }
    return "OPTIX_ERROR_UNKNOWN";
}

const char* error_string(OptixResult r) {
    for (const Code& c : kCodes) {
        if (c.code == r) return c.text;
    }
    return "Unknown error";
}

OptixResult unsupported() { return OPTIX_ERROR_NOT_SUPPORTED; }

}  // namespace vorn::emu

extern "C" VORN_EMU_EXPORT OptixResult
optixQueryFunctionTable(int abi, unsigned int num_options, void* option_keys,
                        const void** option_values, void* table, size_t table_bytes) {
    using namespace vorn::emu;
    if (abi != 118 && abi != 105) return OPTIX_ERROR_UNSUPPORTED_ABI_VERSION;
    if (!abi_served(abi)) return OPTIX_ERROR_UNSUPPORTED_ABI_VERSION;
    const size_t slots = abi == 118 ? 60 : 52;
    if (table_bytes != slots * sizeof(void*))
        return OPTIX_ERROR_FUNCTION_TABLE_SIZE_MISMATCH;
    if (!table || num_options != 0 || option_keys || option_values) {
        return OPTIX_ERROR_INVALID_VALUE;
    }
    void** out = static_cast<void**>(table);
    for (size_t i = 0; i < slots; ++i) out[i] = slot(unsupported);
    for (const Served& s : served_slots()) {
        if (abi == 118)
            out[s.abi118] = s.fn118;
        else
            out[s.abi105] = s.fn105;
    }
    return OPTIX_SUCCESS;
}
