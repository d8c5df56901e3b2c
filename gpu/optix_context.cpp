#include "gpu/optix_context.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "core/diagnostics.h"
#include "gpu/optix_api.h"

namespace vorn {

void optix_log_callback(unsigned int level, const char* tag, const char* message, void*) {
    if (level != 1 && level != 2) return;
    diag_printf(DiagStream::Err, "[OptiX][%s] %s\n", tag ? tag : "", message ? message : "");
}

OptiXContext::OptiXContext(int device_id) : device_id_(device_id) {
    cudaError_t err = cudaSetDevice(device_id);
    if (err != cudaSuccess) {
        throw std::runtime_error(std::string("Failed to set CUDA device: ") +
                                 cudaGetErrorString(err));
    }
    cudaDeviceProp props{};
    (void)cudaGetDeviceProperties(&props, device_id);
    device_name_.assign(props.name, strnlen(props.name, sizeof props.name));
    total_memory_ = props.totalGlobalMem;
    cc_major_ = props.major;
    cc_minor_ = props.minor;

    if (cudaStreamCreate(&stream_) != cudaSuccess) {
        stream_ = nullptr;
        throw std::runtime_error("Failed to create CUDA stream");
    }
    if (!load_optix_api()) {
        release();
        throw std::runtime_error("Failed to initialize OptiX");
    }
    OptixDeviceContextOptions options{};
    options.logCallbackFunction = optix_log_callback;
    options.logCallbackData = nullptr;
    options.logCallbackLevel = 3;  // warnings are requested but not shown
    options.validationMode = OPTIX_DEVICE_CONTEXT_VALIDATION_MODE_OFF;
    // CUDA context 0: the current (primary) context of the device set above.
    if (optix_api().device_context_create(nullptr, &options, &context_) !=
        OPTIX_SUCCESS) {
        context_ = nullptr;
        release();
        throw std::runtime_error("Failed to create OptiX device context");
    }
}

OptiXContext::~OptiXContext() { release(); }

void OptiXContext::release() noexcept {
    if (context_) optix_api().device_context_destroy(context_);
    context_ = nullptr;
    if (stream_) cudaStreamDestroy(stream_);
    stream_ = nullptr;
}

uint64_t OptiXContext::free_vram_mb() const {
    size_t free_bytes = 0, total_bytes = 0;
    if (cudaMemGetInfo(&free_bytes, &total_bytes) != cudaSuccess) return 0;
    return uint64_t(free_bytes) >> 20;
}

}  // namespace vorn
