// The GPU backend's handle on one NVIDIA device: the selected CUDA device, the
// one CUDA stream all of the backend's work is queued on, and the OptiX device
// context. The GPU scene and the simulator refer to one of these, which must
// outlive them.
#pragma once

#include <cuda_runtime_api.h>

#include <cstdint>
#include <string>

#include "gpu/optix_types.h"

namespace vorn {

class OptiXContext {
public:
    /// Selects CUDA device `device_id`, reads its properties, creates the
    /// stream, loads the OptiX driver and creates the OptiX device context.
    explicit OptiXContext(int device_id);
    /// Destroys the OptiX device context, then the stream.
    ~OptiXContext();
    OptiXContext(const OptiXContext&) = delete;
    OptiXContext& operator=(const OptiXContext&) = delete;

    std::string device_name() const { return device_name_; }
    /// Total global memory in whole MiB (rounded down).
    uint64_t total_vram_mb() const { return total_memory_ >> 20; }
    /// Free memory now in whole MiB; 0 when the runtime cannot tell.
    uint64_t free_vram_mb() const;
    int compute_capability_major() const { return cc_major_; }
    int compute_capability_minor() const { return cc_minor_; }

    OptixDeviceContext context() const { return context_; }
    cudaStream_t stream() const { return stream_; }
    int device_id() const { return device_id_; }

private:
    void release() noexcept;

    OptixDeviceContext context_ = nullptr;
    cudaStream_t stream_ = nullptr;
    int device_id_;
    std::string device_name_;
    uint64_t total_memory_ = 0;
    int cc_major_ = 0;
    int cc_minor_ = 0;
};

/// OptiX log callback of every context: fatal (1) and error (2) messages go to
/// standard error as "[OptiX][tag] message"; warnings and prints are dropped.
void optix_log_callback(unsigned int level, const char* tag, const char* message,
                        void* data);

}  // namespace vorn
