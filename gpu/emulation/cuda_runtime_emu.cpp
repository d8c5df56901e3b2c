// Host stand-in of the CUDA runtime calls the GPU backend makes, for test
// builds on machines without a GPU. It emulates one device:
//
//   name "VORN emulated device", compute capability 8.6,
//   24 GiB (25,769,803,776 bytes) of global memory.
//
// Device memory is host memory (256-byte aligned) handed out by cudaMalloc
// and accounted against those 24 GiB, so cudaMemGetInfo reports the total
// minus what is allocated. Copies check that the device side of a transfer
// lies inside a live allocation, which is where a real device would fault.
// Every call is synchronous; streams are bookkeeping only. Error codes and
// their strings are the runtime's own.
#include <cuda_runtime_api.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <mutex>
#include <set>

#include "gpu/emulation/cuda_emu.h"

namespace {

constexpr int kDeviceCount = 1;
constexpr size_t kTotalMemory = size_t(24) << 30;
constexpr size_t kAlignment = 256;

struct Runtime {
    std::mutex mutex;
    std::map<uintptr_t, size_t> allocations;  // start -> requested bytes
    std::set<const void*> streams;
    size_t allocated = 0;
    int current_device = -1;
    std::atomic<cudaError_t> last_error{cudaSuccess};
};

Runtime& runtime() {
    static Runtime* r = new Runtime();  // never destroyed: may be used at exit
    return *r;
}

cudaError_t record(cudaError_t e) {
    if (e != cudaSuccess) runtime().last_error = e;
    return e;
}

// Caller holds the mutex.
bool inside_allocation(const Runtime& r, const void* ptr, size_t bytes) {
    const uintptr_t p = reinterpret_cast<uintptr_t>(ptr);
    auto it = r.allocations.upper_bound(p);
    if (it == r.allocations.begin()) return false;
    --it;
    return p >= it->first && bytes <= it->second && p - it->first <= it->second - bytes;
}

bool is_stream(const Runtime& r, const void* s) { return !s || r.streams.count(s) != 0; }

}  // namespace

extern "C" {

int vorn_cuda_emu_is_device_range(const void* ptr, size_t bytes) {
    Runtime& r = runtime();
    std::lock_guard<std::mutex> lock(r.mutex);
    return ptr && inside_allocation(r, ptr, bytes) ? 1 : 0;
}

int vorn_cuda_emu_is_stream(const void* stream) {
    Runtime& r = runtime();
    std::lock_guard<std::mutex> lock(r.mutex);
    return is_stream(r, stream) ? 1 : 0;
}

int vorn_cuda_emu_current_device(void) {
    Runtime& r = runtime();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.current_device;
}

}  // extern "C"

// ---- device selection and properties --------------------------------------

cudaError_t cudaGetDeviceCount(int* count) {
    if (!count) return record(cudaErrorInvalidValue);
    *count = kDeviceCount;
    return cudaSuccess;
}

cudaError_t cudaSetDevice(int device) {
    if (device < 0 || device >= kDeviceCount) return record(cudaErrorInvalidDevice);
    Runtime& r = runtime();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.current_device = device;
    return cudaSuccess;
}

cudaError_t cudaGetDevice(int* device) {
    if (!device) return record(cudaErrorInvalidValue);
    const int current = vorn_cuda_emu_current_device();
    *device = current < 0 ? 0 : current;
    return cudaSuccess;
}

cudaError_t cudaGetDeviceProperties(cudaDeviceProp* prop, int device) {
    if (!prop) return record(cudaErrorInvalidValue);
    if (device < 0 || device >= kDeviceCount) return record(cudaErrorInvalidDevice);
    std::memset(prop, 0, sizeof *prop);
    std::strncpy(prop->name, "VORN emulated device", sizeof prop->name - 1);
    prop->totalGlobalMem = kTotalMemory;
    prop->major = 8;
    prop->minor = 6;
    prop->multiProcessorCount = 1;
    prop->warpSize = 32;
    return cudaSuccess;
}

cudaError_t cudaMemGetInfo(size_t* free_bytes, size_t* total_bytes) {
    if (!free_bytes || !total_bytes) return record(cudaErrorInvalidValue);
    Runtime& r = runtime();
    std::lock_guard<std::mutex> lock(r.mutex);
    *free_bytes = kTotalMemory - r.allocated;
    *total_bytes = kTotalMemory;
    return cudaSuccess;
}

cudaError_t cudaDeviceSynchronize(void) { return cudaSuccess; }

// ---- memory --------------------------------------------------------------

cudaError_t cudaMalloc(void** ptr, size_t bytes) {
    if (!ptr) return record(cudaErrorInvalidValue);
    *ptr = nullptr;
    if (bytes == 0) return cudaSuccess;
    Runtime& r = runtime();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (bytes > kTotalMemory - r.allocated) return record(cudaErrorMemoryAllocation);
    const size_t rounded = (bytes + kAlignment - 1) / kAlignment * kAlignment;
    void* p = std::aligned_alloc(kAlignment, rounded);
    if (!p) return record(cudaErrorMemoryAllocation);
    r.allocations[reinterpret_cast<uintptr_t>(p)] = bytes;
    r.allocated += bytes;
    *ptr = p;
    return cudaSuccess;
}

cudaError_t cudaFree(void* ptr) {
    if (!ptr) return cudaSuccess;
    Runtime& r = runtime();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.allocations.find(reinterpret_cast<uintptr_t>(ptr));
    if (it == r.allocations.end()) return record(cudaErrorInvalidValue);
    r.allocated -= it->second;
    r.allocations.erase(it);
    std::free(ptr);
    return cudaSuccess;
}

static cudaError_t copy(void* dst, const void* src, size_t bytes, cudaMemcpyKind kind) {
    if (bytes == 0) return cudaSuccess;
    if (!dst || !src) return record(cudaErrorInvalidValue);
    Runtime& r = runtime();
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        const bool dst_dev = inside_allocation(r, dst, bytes);
        const bool src_dev = inside_allocation(r, src, bytes);
        bool ok = false;
        switch (kind) {
            case cudaMemcpyHostToHost:
                ok = true;
                break;
            case cudaMemcpyHostToDevice:
                ok = dst_dev;
                break;
            case cudaMemcpyDeviceToHost:
                ok = src_dev;
                break;
            case cudaMemcpyDeviceToDevice:
                ok = dst_dev && src_dev;
                break;
            case cudaMemcpyDefault:
                ok = true;
                break;
            default:
                ok = false;
        }
        if (!ok) return record(cudaErrorInvalidValue);
    }
    std::memmove(dst, src, bytes);
    return cudaSuccess;
}

cudaError_t cudaMemcpy(void* dst, const void* src, size_t bytes, cudaMemcpyKind kind) {
    return copy(dst, src, bytes, kind);
}

cudaError_t cudaMemcpyAsync(void* dst, const void* src, size_t bytes, cudaMemcpyKind kind,
                            cudaStream_t stream) {
    if (!vorn_cuda_emu_is_stream(stream)) return record(cudaErrorInvalidResourceHandle);
    return copy(dst, src, bytes, kind);
}

cudaError_t cudaMemset(void* ptr, int value, size_t bytes) {
    if (bytes == 0) return cudaSuccess;
    if (!vorn_cuda_emu_is_device_range(ptr, bytes)) return record(cudaErrorInvalidValue);
    std::memset(ptr, value, bytes);
    return cudaSuccess;
}

cudaError_t cudaMemsetAsync(void* ptr, int value, size_t bytes, cudaStream_t stream) {
    if (!vorn_cuda_emu_is_stream(stream)) return record(cudaErrorInvalidResourceHandle);
    return cudaMemset(ptr, value, bytes);
}

// ---- streams ---------------------------------------------------------------

cudaError_t cudaStreamCreate(cudaStream_t* stream) {
    if (!stream) return record(cudaErrorInvalidValue);
    Runtime& r = runtime();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (r.current_device < 0) r.current_device = 0;  // the runtime's implicit device 0
    // A distinct address per stream; the byte itself is never read.
    auto* token = reinterpret_cast<cudaStream_t>(new char(0));
    r.streams.insert(token);
    *stream = token;
    return cudaSuccess;
}

cudaError_t cudaStreamDestroy(cudaStream_t stream) {
    Runtime& r = runtime();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (!stream || !r.streams.erase(stream))
        return record(cudaErrorInvalidResourceHandle);
    delete reinterpret_cast<char*>(stream);
    return cudaSuccess;
}

cudaError_t cudaStreamSynchronize(cudaStream_t stream) {
    return vorn_cuda_emu_is_stream(stream) ? cudaSuccess
                                           : record(cudaErrorInvalidResourceHandle);
}

// ---- errors --------------------------------------------------------------

namespace {

struct ErrorText {
    cudaError_t code;
    const char* name;
    const char* text;
};

constexpr ErrorText kErrors[] = {
    {cudaSuccess, "cudaSuccess", "no error"},
    {cudaErrorInvalidValue, "cudaErrorInvalidValue", "invalid argument"},
    {cudaErrorMemoryAllocation, "cudaErrorMemoryAllocation", "out of memory"},
    {cudaErrorInitializationError, "cudaErrorInitializationError",
     "initialization error"},
    {cudaErrorNoDevice, "cudaErrorNoDevice", "no CUDA-capable device is detected"},
    {cudaErrorInvalidDevice, "cudaErrorInvalidDevice", "invalid device ordinal"},
    {cudaErrorInvalidResourceHandle, "cudaErrorInvalidResourceHandle",
     "invalid resource handle"},
};

const ErrorText* find_error(cudaError_t code) {
    for (const ErrorText& e : kErrors) {
        if (e.code == code) return &e;
    }
    return nullptr;
}

}  // namespace

const char* cudaGetErrorString(cudaError_t code) {
    const ErrorText* e = find_error(code);
    return e ? e->text : "unrecognized error code";
}

const char* cudaGetErrorName(cudaError_t code) {
    const ErrorText* e = find_error(code);
    return e ? e->name : "cudaErrorUnknown";
}

cudaError_t cudaGetLastError(void) { return runtime().last_error.exchange(cudaSuccess); }

cudaError_t cudaPeekAtLastError(void) { return runtime().last_error.load(); }
