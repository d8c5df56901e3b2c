// Queries the host stand-in of the CUDA runtime offers to the stand-in OptiX
// driver, so the driver can reject what a real GPU would fault on (host
// pointers passed as device pointers, unknown streams, no device selected).
#pragma once

#include <cstddef>

#include "gpu/emulation/emu_device_api.h"

extern "C" {

/// 1 when [ptr, ptr + bytes) lies inside one live device allocation.
VORN_EMU_EXPORT int vorn_cuda_emu_is_device_range(const void* ptr, size_t bytes);
/// 1 for the default stream (null) and for every created, not yet destroyed stream.
VORN_EMU_EXPORT int vorn_cuda_emu_is_stream(const void* stream);
/// The device selected by cudaSetDevice, or -1 before the first successful call.
VORN_EMU_EXPORT int vorn_cuda_emu_current_device(void);

}  // extern "C"
