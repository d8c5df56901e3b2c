#include "gpu/gpu_check.h"

#include <stdexcept>

namespace vorn {

std::string cuda_error_message(cudaError_t code, const char* step) {
    const char* text = cudaGetErrorString(code);
    return std::string("CUDA: ") + (step ? step : "") + " - " + (text ? text : "");
}

std::string optix_error_message(OptixResult code, const char* step) {
    return std::string("OptiX: ") + (step ? step : "") + " (" +
           std::to_string(int(code)) + ")";
}

void throw_cuda_error(cudaError_t code, const char* step) {
    throw std::runtime_error(cuda_error_message(code, step));
}

void throw_optix_error(OptixResult code, const char* step) {
    throw std::runtime_error(optix_error_message(code, step));
}

}  // namespace vorn
