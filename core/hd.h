// Host/device annotation and the few math wrappers whose spelling differs
// between g++ and nvcc. Every header of the physics core includes this one and
// nothing else decides which compiler is at work.
#pragma once

#include <cstdint>
#include <cstring>

#if defined(__CUDACC__)
#define VORN_HD __host__ __device__ __forceinline__
#define VORN_HD_NOINLINE __host__ __device__
#else
#include <cmath>
#define VORN_HD inline
#define VORN_HD_NOINLINE
#endif

#if defined(__CUDA_ARCH__)
#define VORN_GPU_CODE 1
#endif

namespace vorn {

VORN_HD float f_sqrt(float x) { return sqrtf(x); }
VORN_HD float f_abs(float x) { return fabsf(x); }
VORN_HD float f_floor(float x) { return floorf(x); }
VORN_HD float f_sin(float x) { return sinf(x); }
VORN_HD float f_cos(float x) { return cosf(x); }
VORN_HD float f_tan(float x) { return tanf(x); }
VORN_HD float f_exp(float x) { return expf(x); }
VORN_HD float f_pow(float x, float y) { return powf(x, y); }
VORN_HD float f_acos(float x) { return acosf(x); }
VORN_HD float f_asin(float x) { return asinf(x); }
VORN_HD float f_atan(float x) { return atanf(x); }
VORN_HD float f_atan2(float y, float x) { return atan2f(y, x); }
VORN_HD float f_min(float a, float b) { return a < b ? a : b; }
VORN_HD float f_max(float a, float b) { return a > b ? a : b; }
VORN_HD float f_clamp(float v, float lo, float hi) { return f_min(f_max(v, lo), hi); }
VORN_HD double d_exp(double x) { return exp(x); }

// sin and cos of one angle, computed together where the platform offers it.
VORN_HD void f_sincos(float a, float* s, float* c) {
#if defined(VORN_GPU_CODE)
    sincosf(a, s, c);
#else
    *s = std::sin(a);
    *c = std::cos(a);
#endif
}

VORN_HD int32_t float_as_int(float f) {
#if defined(VORN_GPU_CODE)
    return __float_as_int(f);
#else
    int32_t i;
    std::memcpy(&i, &f, sizeof i);
    return i;
#endif
}

VORN_HD float int_as_float(int32_t i) {
#if defined(VORN_GPU_CODE)
    return __int_as_float(i);
#else
    float f;
    std::memcpy(&f, &i, sizeof f);
    return f;
#endif
}

}  // namespace vorn
