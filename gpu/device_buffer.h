// One owned block of device memory. The GPU scene and the simulator keep many
// buffers that are replaced on rebuilds and must all be released on every
// exit path, including a throw halfway through a build; this type does that
// and checks every CUDA call with the caller's step name.
#pragma once

#include <cuda_runtime_api.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "gpu/gpu_check.h"
#include "gpu/optix_types.h"

namespace vorn {

class DeviceBuffer {
public:
    DeviceBuffer() = default;
    ~DeviceBuffer() { release(); }
    DeviceBuffer(const DeviceBuffer&) = delete;
    DeviceBuffer& operator=(const DeviceBuffer&) = delete;
    DeviceBuffer(DeviceBuffer&& other) noexcept : ptr_(other.ptr_), bytes_(other.bytes_) {
        other.ptr_ = nullptr;
        other.bytes_ = 0;
    }
    DeviceBuffer& operator=(DeviceBuffer&& other) noexcept {
        if (this != &other) {
            release();
            ptr_ = other.ptr_;
            bytes_ = other.bytes_;
            other.ptr_ = nullptr;
            other.bytes_ = 0;
        }
        return *this;
    }

    /// Releases what is held, then allocates `bytes` (contents undefined).
    void alloc(size_t bytes, const char* step) {
        release();
        void* p = nullptr;
        cuda_check(cudaMalloc(&p, bytes), step);
        ptr_ = p;
        bytes_ = bytes;
    }

    /// Copies `bytes` from host memory to the start of the buffer (synchronous).
    void copy_from_host(const void* src, size_t bytes, const char* step) {
        cuda_check(bytes <= bytes_ ? cudaSuccess : cudaErrorInvalidValue, step);
        cuda_check(cudaMemcpy(ptr_, src, bytes, cudaMemcpyHostToDevice), step);
    }

    /// Copies `bytes` from the start of the buffer to host memory (synchronous).
    void copy_to_host(void* dst, size_t bytes, const char* step) const {
        cuda_check(bytes <= bytes_ ? cudaSuccess : cudaErrorInvalidValue, step);
        cuda_check(cudaMemcpy(dst, ptr_, bytes, cudaMemcpyDeviceToHost), step);
    }

    /// alloc + copy_from_host under one step name.
    void upload(const void* src, size_t bytes, const char* step) {
        alloc(bytes, step);
        copy_from_host(src, bytes, step);
    }

    template <typename T>
    void upload(const std::vector<T>& values, const char* step) {
        upload(values.data(), values.size() * sizeof(T), step);
    }

    /// Sets every byte to `value` (synchronous).
    void fill(int value, const char* step) {
        if (ptr_) cuda_check(cudaMemset(ptr_, value, bytes_), step);
    }

    /// Frees the memory, ignoring the result: also runs in destructors.
    void release() noexcept {
        if (ptr_) cudaFree(ptr_);
        ptr_ = nullptr;
        bytes_ = 0;
    }

    CUdeviceptr get() const { return CUdeviceptr(reinterpret_cast<uintptr_t>(ptr_)); }
    void* data() const { return ptr_; }
    size_t size() const { return bytes_; }
    explicit operator bool() const { return ptr_ != nullptr; }

private:
    void* ptr_ = nullptr;
    size_t bytes_ = 0;
};

}  // namespace vorn
