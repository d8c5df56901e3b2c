// What a device program compiled as host C++ calls instead of the OptiX
// intrinsics: plain C functions exported by the host stand-in of the OptiX
// driver (libnvoptix.so.1 of the test builds). Each reads or writes the state
// of the program invocation running on the calling worker thread. Used only
// by test builds; production code never links it.
#pragma once

#include <cstdint>

#if defined(__GNUC__)
#define VORN_EMU_EXPORT __attribute__((visibility("default")))
#else
#define VORN_EMU_EXPORT
#endif

extern "C" {

VORN_EMU_EXPORT void vorn_emu_launch_index(unsigned int xyz[3]);
VORN_EMU_EXPORT void vorn_emu_launch_dimensions(unsigned int xyz[3]);
VORN_EMU_EXPORT unsigned int vorn_emu_get_payload(unsigned int slot);
VORN_EMU_EXPORT void vorn_emu_set_payload(unsigned int slot, unsigned int value);
VORN_EMU_EXPORT unsigned int vorn_emu_primitive_index(void);
VORN_EMU_EXPORT unsigned int vorn_emu_instance_id(void);
VORN_EMU_EXPORT unsigned int vorn_emu_instance_index(void);
VORN_EMU_EXPORT unsigned int vorn_emu_sbt_gas_index(void);
VORN_EMU_EXPORT const void* vorn_emu_sbt_data(void);
VORN_EMU_EXPORT void vorn_emu_triangle_barycentrics(float b[2]);
VORN_EMU_EXPORT float vorn_emu_ray_tmin(void);
VORN_EMU_EXPORT float vorn_emu_ray_tmax(void);
VORN_EMU_EXPORT void vorn_emu_world_ray_origin(float xyz[3]);
VORN_EMU_EXPORT void vorn_emu_world_ray_direction(float xyz[3]);
VORN_EMU_EXPORT unsigned int vorn_emu_hit_kind(void);
/// Rows of the current instance's 3x4 transform; identity outside instances.
VORN_EMU_EXPORT void vorn_emu_object_to_world(float m[12]);
VORN_EMU_EXPORT void vorn_emu_world_to_object(float m[12]);
/// optixTrace: `payload` holds `count` words, read before and written after.
VORN_EMU_EXPORT void vorn_emu_trace(unsigned long long handle, const float origin[3],
                                    const float direction[3], float tmin, float tmax,
                                    float time, unsigned int mask, unsigned int flags,
                                    unsigned int sbt_offset, unsigned int sbt_stride,
                                    unsigned int miss_index, unsigned int count,
                                    unsigned int* payload);

}  // extern "C"
