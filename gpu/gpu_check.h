// How the GPU backend turns failing CUDA and OptiX calls into exceptions. Each
// checked call site names a fixed short step ("gas build", "film zero"), so a
// message tells which call failed without a debugger.
#pragma once

#include <cuda_runtime_api.h>

#include <string>

#include "gpu/optix_types.h"

namespace vorn {

/// "CUDA: " + step + " - " + CUDA's error string for `code`.
std::string cuda_error_message(cudaError_t code, const char* step);
/// "OptiX: " + step + " (" + decimal result code + ")".
std::string optix_error_message(OptixResult code, const char* step);

[[noreturn]] void throw_cuda_error(cudaError_t code, const char* step);
[[noreturn]] void throw_optix_error(OptixResult code, const char* step);

/// Throws std::runtime_error with cuda_error_message unless `code` is success.
inline void cuda_check(cudaError_t code, const char* step) {
    if (code != cudaSuccess) throw_cuda_error(code, step);
}

/// Throws std::runtime_error with optix_error_message unless `code` is success.
inline void optix_check(OptixResult code, const char* step) {
    if (code != OPTIX_SUCCESS) throw_optix_error(code, step);
}

}  // namespace vorn
