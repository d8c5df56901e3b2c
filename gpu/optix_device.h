// Device side of our OptiX layer: the intrinsics the device programs use,
// written once for two compilers. Under nvcc each becomes the PTX call that
// the OptiX compiler resolves (`_optix_*`, see the operand tables in the ABI
// notes); compiled as host C++ the same program calls into the host emulation
// of the driver (gpu/emulation), which runs it on worker threads in tests.
//
// A program file declares its entry functions with VORN_PROGRAM and its
// launch-parameter variable with VORN_LAUNCH_PARAMS, and reaches everything
// else through the functions of vorn::dev below.
#pragma once

#include <cstdint>
#include <cstring>

#include "gpu/optix_types.h"
#include "scene/types.h"

#if defined(__CUDACC__)
#define VORN_DEVICE __device__ __forceinline__
/// An entry function; its name prefix (__raygen__, __miss__, __closesthit__)
/// gives OptiX its program type.
#define VORN_PROGRAM(name) extern "C" __global__ void name()
/// The launch-parameter variable; the braces make it a definition, so the PTX
/// holds `.const .b8 name[sizeof(Type)]` for the size check at module creation.
#define VORN_LAUNCH_PARAMS(Type, name) \
    extern "C" {                       \
    __constant__ Type name;            \
    }
#else
#include "gpu/emulation/emu_device_api.h"
#define VORN_DEVICE inline
#define VORN_PROGRAM(name) extern "C" __attribute__((visibility("default"))) void name()
#define VORN_LAUNCH_PARAMS(Type, name)                     \
    extern "C" {                                           \
    __attribute__((visibility("default"))) Type name = {}; \
    }
#endif

namespace vorn::dev {

struct UInt3 {
    unsigned int x, y, z;
};

/// Hit point = (1 - b1 - b2) * v0 + b1 * v1 + b2 * v2.
struct Barycentrics {
    float b1, b2;
};

// ---- launch grid -----------------------------------------------------------

VORN_DEVICE UInt3 launch_index() {
    UInt3 r;
#if defined(__CUDACC__)
    asm volatile("call (%0), _optix_get_launch_index_x, ();" : "=r"(r.x) :);
    asm volatile("call (%0), _optix_get_launch_index_y, ();" : "=r"(r.y) :);
    asm volatile("call (%0), _optix_get_launch_index_z, ();" : "=r"(r.z) :);
#else
    vorn_emu_launch_index(&r.x);
#endif
    return r;
}

VORN_DEVICE UInt3 launch_dimensions() {
    UInt3 r;
#if defined(__CUDACC__)
    asm volatile("call (%0), _optix_get_launch_dimension_x, ();" : "=r"(r.x) :);
    asm volatile("call (%0), _optix_get_launch_dimension_y, ();" : "=r"(r.y) :);
    asm volatile("call (%0), _optix_get_launch_dimension_z, ();" : "=r"(r.z) :);
#else
    vorn_emu_launch_dimensions(&r.x);
#endif
    return r;
}

// ---- payload registers (closest hit and miss) ------------------------------

/// Payload word `slot` (a constant below the pipeline's numPayloadValues).
VORN_DEVICE uint32_t get_payload(unsigned int slot) {
    uint32_t v;
#if defined(__CUDACC__)
    asm volatile("call (%0), _optix_get_payload, (%1);" : "=r"(v) : "r"(slot));
#else
    v = vorn_emu_get_payload(slot);
#endif
    return v;
}

VORN_DEVICE void set_payload(unsigned int slot, uint32_t value) {
#if defined(__CUDACC__)
    asm volatile("call _optix_set_payload, (%0, %1);" : : "r"(slot), "r"(value));
#else
    vorn_emu_set_payload(slot, value);
#endif
}

// ---- what was hit (closest hit) ------------------------------------------

/// Triangle index within its build input, plus the input's primitiveIndexOffset.
VORN_DEVICE unsigned int primitive_index() {
    unsigned int v;
#if defined(__CUDACC__)
    asm volatile("call (%0), _optix_read_primitive_idx, ();" : "=r"(v) :);
#else
    v = vorn_emu_primitive_index();
#endif
    return v;
}

/// The instanceId field of the hit instance (0 without instancing).
VORN_DEVICE unsigned int instance_id() {
    unsigned int v;
#if defined(__CUDACC__)
    asm volatile("call (%0), _optix_read_instance_id, ();" : "=r"(v) :);
#else
    v = vorn_emu_instance_id();
#endif
    return v;
}

/// Position of the hit instance in the IAS build input (0 without instancing).
VORN_DEVICE unsigned int instance_index() {
    unsigned int v;
#if defined(__CUDACC__)
    asm volatile("call (%0), _optix_read_instance_idx, ();" : "=r"(v) :);
#else
    v = vorn_emu_instance_index();
#endif
    return v;
}

/// SBT record index of the hit geometry within its GAS.
VORN_DEVICE unsigned int sbt_gas_index() {
    unsigned int v;
#if defined(__CUDACC__)
    asm volatile("call (%0), _optix_read_sbt_gas_idx, ();" : "=r"(v) :);
#else
    v = vorn_emu_sbt_gas_index();
#endif
    return v;
}

/// The user data of the running program's SBT record (record address + 32).
template <typename T>
VORN_DEVICE const T* sbt_data() {
#if defined(__CUDACC__)
    unsigned long long p;
    asm volatile("call (%0), _optix_get_sbt_data_ptr_64, ();" : "=l"(p) :);
    return reinterpret_cast<const T*>(p);
#else
    return static_cast<const T*>(vorn_emu_sbt_data());
#endif
}

VORN_DEVICE Barycentrics triangle_barycentrics() {
    Barycentrics b;
#if defined(__CUDACC__)
    asm volatile("call (%0, %1), _optix_get_triangle_barycentrics, ();"
                 : "=f"(b.b1), "=f"(b.b2)
                 :);
#else
    float v[2];
    vorn_emu_triangle_barycentrics(v);
    b.b1 = v[0];
    b.b2 = v[1];
#endif
    return b;
}

VORN_DEVICE float ray_tmin() {
    float t;
#if defined(__CUDACC__)
    asm volatile("call (%0), _optix_get_ray_tmin, ();" : "=f"(t) :);
#else
    t = vorn_emu_ray_tmin();
#endif
    return t;
}

/// In closest hit: the distance of the hit, in units of the world direction.
VORN_DEVICE float ray_tmax() {
    float t;
#if defined(__CUDACC__)
    asm volatile("call (%0), _optix_get_ray_tmax, ();" : "=f"(t) :);
#else
    t = vorn_emu_ray_tmax();
#endif
    return t;
}

VORN_DEVICE float3 world_ray_origin() {
    float3 o;
#if defined(__CUDACC__)
    asm volatile("call (%0), _optix_get_world_ray_origin_x, ();" : "=f"(o.x) :);
    asm volatile("call (%0), _optix_get_world_ray_origin_y, ();" : "=f"(o.y) :);
    asm volatile("call (%0), _optix_get_world_ray_origin_z, ();" : "=f"(o.z) :);
#else
    vorn_emu_world_ray_origin(&o.x);
#endif
    return o;
}

VORN_DEVICE float3 world_ray_direction() {
    float3 d;
#if defined(__CUDACC__)
    asm volatile("call (%0), _optix_get_world_ray_direction_x, ();" : "=f"(d.x) :);
    asm volatile("call (%0), _optix_get_world_ray_direction_y, ();" : "=f"(d.y) :);
    asm volatile("call (%0), _optix_get_world_ray_direction_z, ();" : "=f"(d.z) :);
#else
    vorn_emu_world_ray_direction(&d.x);
#endif
    return d;
}

/// OPTIX_HIT_KIND_TRIANGLE_FRONT_FACE (0xFE) or _BACK_FACE (0xFF) for triangles.
VORN_DEVICE unsigned int hit_kind() {
    unsigned int k;
#if defined(__CUDACC__)
    asm volatile("call (%0), _optix_get_hit_kind, ();" : "=r"(k) :);
#else
    k = vorn_emu_hit_kind();
#endif
    return k;
}

/// Front face: the ray arrives from the side cross(v1 - v0, v2 - v0) points
/// to, judged in object space (a mirroring instance flips it in world space).
VORN_DEVICE bool is_front_face_hit() {
#if defined(__CUDACC__)
    unsigned int back;
    asm volatile("call (%0), _optix_get_backface_from_hit_kind, (%1);"
                 : "=r"(back)
                 : "r"(hit_kind()));
    return back == 0;
#else
    return hit_kind() == OPTIX_HIT_KIND_TRIANGLE_FRONT_FACE;
#endif
}

// ---- the hit instance's transform ------------------------------------------

#if defined(__CUDACC__)
// Rows of the instance at the top of the transform list: with one IAS above
// the GAS the list has exactly that one entry. `inverse` picks world->object.
__device__ __forceinline__ void instance_rows(float m[12], bool inverse) {
    unsigned int size;
    asm volatile("call (%0), _optix_get_transform_list_size, ();" : "=r"(size) :);
    if (size == 0) {
        for (int i = 0; i < 12; ++i) m[i] = (i % 5 == 0) ? 1.0f : 0.0f;
        return;
    }
    unsigned long long handle, rows;
    unsigned int index = 0;
    asm volatile("call (%0), _optix_get_transform_list_handle, (%1);"
                 : "=l"(handle)
                 : "r"(index));
    if (inverse) {
        asm volatile("call (%0), _optix_get_instance_inverse_transform_from_handle, (%1);"
                     : "=l"(rows)
                     : "l"(handle));
    } else {
        asm volatile("call (%0), _optix_get_instance_transform_from_handle, (%1);"
                     : "=l"(rows)
                     : "l"(handle));
    }
    const float4* r = reinterpret_cast<const float4*>(rows);
    for (int i = 0; i < 3; ++i) {
        const float4 v = r[i];
        m[4 * i + 0] = v.x;
        m[4 * i + 1] = v.y;
        m[4 * i + 2] = v.z;
        m[4 * i + 3] = v.w;
    }
}
#endif

/// Object-to-world rows (3x4, row-major) of the hit instance.
VORN_DEVICE void object_to_world(float m[12]) {
#if defined(__CUDACC__)
    instance_rows(m, false);
#else
    vorn_emu_object_to_world(m);
#endif
}

/// World-to-object rows (3x4, row-major) of the hit instance.
VORN_DEVICE void world_to_object(float m[12]) {
#if defined(__CUDACC__)
    instance_rows(m, true);
#else
    vorn_emu_world_to_object(m);
#endif
}

// ---- atomics ---------------------------------------------------------------
// Launch indices run concurrently on the device and on the emulation's worker
// threads alike, so tallies shared between them go through these.

VORN_DEVICE unsigned int atomic_add(unsigned int* address, unsigned int value) {
#if defined(__CUDACC__)
    return atomicAdd(address, value);
#else
    return __atomic_fetch_add(address, value, __ATOMIC_RELAXED);
#endif
}

VORN_DEVICE unsigned long long atomic_add(unsigned long long* address,
                                          unsigned long long value) {
#if defined(__CUDACC__)
    return atomicAdd(address, value);
#else
    return __atomic_fetch_add(address, value, __ATOMIC_RELAXED);
#endif
}

#if !defined(__CUDACC__)
// Floating-point add as a compare-and-swap loop on the value's bits.
template <typename F, typename Bits>
inline F host_atomic_add(F* address, F value) {
    Bits* bits = reinterpret_cast<Bits*>(address);
    Bits old = __atomic_load_n(bits, __ATOMIC_RELAXED);
    for (;;) {
        F current, next;
        std::memcpy(&current, &old, sizeof current);
        next = current + value;
        Bits desired;
        std::memcpy(&desired, &next, sizeof desired);
        if (__atomic_compare_exchange_n(bits, &old, desired, true, __ATOMIC_RELAXED,
                                        __ATOMIC_RELAXED)) {
            return current;
        }
    }
}
#endif

VORN_DEVICE float atomic_add(float* address, float value) {
#if defined(__CUDACC__)
    return atomicAdd(address, value);
#else
    return host_atomic_add<float, uint32_t>(address, value);
#endif
}

/// Double-precision add (native from compute capability 6.0 on).
VORN_DEVICE double atomic_add(double* address, double value) {
#if defined(__CUDACC__)
    return atomicAdd(address, value);
#else
    return host_atomic_add<double, uint64_t>(address, value);
#endif
}

/// Makes this thread's earlier memory writes visible to every thread of the
/// launch before its later ones (a device-wide fence).
VORN_DEVICE void thread_fence() {
#if defined(__CUDACC__)
    __threadfence();
#else
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
#endif
}

// ---- tracing -------------------------------------------------------------

/// Casts one ray against `handle`. The hit group record used is
/// instance.sbtOffset + sbt_gas_index * sbt_stride + sbt_offset, the miss
/// record is `miss_index`. The N payload words are passed in and come back
/// as the closest-hit or miss program left them.
template <unsigned int N>
VORN_DEVICE void trace(OptixTraversableHandle handle, float3 origin, float3 direction,
                       float tmin, float tmax, unsigned int ray_flags,
                       unsigned int sbt_offset, unsigned int sbt_stride,
                       unsigned int miss_index, uint32_t (&payload)[N],
                       unsigned int visibility_mask = 0xFFu, float ray_time = 0.0f) {
    static_assert(N <= OPTIX_MAX_PAYLOAD_VALUES, "at most 32 payload words");
#if defined(__CUDACC__)
    unsigned int in[32], out[32];
#pragma unroll
    for (unsigned int i = 0; i < 32; ++i) in[i] = i < N ? payload[i] : 0u;
    unsigned int payload_type = 0, count = N;
    asm volatile(
        "call (%0, %1, %2, %3, %4, %5, %6, %7, %8, %9, %10, %11, %12, %13, %14, "
        "%15, %16, %17, %18, %19, %20, %21, %22, %23, %24, %25, %26, %27, %28, "
        "%29, %30, %31), _optix_trace_typed_32, (%32, %33, %34, %35, %36, %37, "
        "%38, %39, %40, %41, %42, %43, %44, %45, %46, %47, %48, %49, %50, %51, "
        "%52, %53, %54, %55, %56, %57, %58, %59, %60, %61, %62, %63, %64, %65, "
        "%66, %67, %68, %69, %70, %71, %72, %73, %74, %75, %76, %77, %78, %79, "
        "%80);"
        : "=r"(out[0]), "=r"(out[1]), "=r"(out[2]), "=r"(out[3]), "=r"(out[4]),
          "=r"(out[5]), "=r"(out[6]), "=r"(out[7]), "=r"(out[8]), "=r"(out[9]),
          "=r"(out[10]), "=r"(out[11]), "=r"(out[12]), "=r"(out[13]), "=r"(out[14]),
          "=r"(out[15]), "=r"(out[16]), "=r"(out[17]), "=r"(out[18]), "=r"(out[19]),
          "=r"(out[20]), "=r"(out[21]), "=r"(out[22]), "=r"(out[23]), "=r"(out[24]),
          "=r"(out[25]), "=r"(out[26]), "=r"(out[27]), "=r"(out[28]), "=r"(out[29]),
          "=r"(out[30]), "=r"(out[31])
        : "r"(payload_type), "l"(handle), "f"(origin.x), "f"(origin.y), "f"(origin.z),
          "f"(direction.x), "f"(direction.y), "f"(direction.z), "f"(tmin), "f"(tmax),
          "f"(ray_time), "r"(visibility_mask), "r"(ray_flags), "r"(sbt_offset),
          "r"(sbt_stride), "r"(miss_index), "r"(count), "r"(in[0]), "r"(in[1]),
          "r"(in[2]), "r"(in[3]), "r"(in[4]), "r"(in[5]), "r"(in[6]), "r"(in[7]),
          "r"(in[8]), "r"(in[9]), "r"(in[10]), "r"(in[11]), "r"(in[12]), "r"(in[13]),
          "r"(in[14]), "r"(in[15]), "r"(in[16]), "r"(in[17]), "r"(in[18]), "r"(in[19]),
          "r"(in[20]), "r"(in[21]), "r"(in[22]), "r"(in[23]), "r"(in[24]), "r"(in[25]),
          "r"(in[26]), "r"(in[27]), "r"(in[28]), "r"(in[29]), "r"(in[30]), "r"(in[31])
        :);
#pragma unroll
    for (unsigned int i = 0; i < N; ++i) payload[i] = out[i];
#else
    vorn_emu_trace(handle, &origin.x, &direction.x, tmin, tmax, ray_time, visibility_mask,
                   ray_flags, sbt_offset, sbt_stride, miss_index, N, payload);
#endif
}

}  // namespace vorn::dev
