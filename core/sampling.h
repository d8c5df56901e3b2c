// Direction sampling warps shared by the material models.
#pragma once

#include "core/hd.h"
#include "scene/types.h"

namespace vorn {

/// The float constants every engine uses. The same constants and draws give
/// bit-identical paths in the host-compiled emulation of the device programs;
/// a real device fuses multiply-adds and has its own sinf/cosf/expf, so its
/// paths agree with the CPU's within float rounding, and its images and
/// tallies within Monte Carlo noise.
constexpr float kTwoPi = 6.2831855f;
constexpr float kInvPi = 0.31830987f;

/// A sampled local direction and its solid-angle density.
struct DirectionSample {
    float3 w;   ///< unit direction in the shading frame
    float pdf;  ///< density per steradian
};

VORN_HD float cosine_hemisphere_pdf(float cos_theta) {
    return f_max(cos_theta, 0.0f) * kInvPi;
}

/// Cosine-weighted direction on the local +z hemisphere: a uniform point on the
/// unit disc (polar mapping) lifted onto the hemisphere.
VORN_HD DirectionSample sample_cosine_hemisphere(float u_r, float u_phi) {
    float r = f_sqrt(u_r);
    float phi = kTwoPi * u_phi;
    float x = r * f_cos(phi);
    float y = r * f_sin(phi);
    // The clamp absorbs rounding that would push x^2 + y^2 above 1.
    float z = f_sqrt(f_max(1.0f - x * x - y * y, 0.0f));
    return DirectionSample{make_f3(x, y, z), cosine_hemisphere_pdf(z)};
}

/// Barycentrics (b1, b2) of a uniform point on a triangle,
/// p = (1 - b1 - b2) v0 + b1 v1 + b2 v2: the square root folds the unit
/// square onto the triangle with constant density.
VORN_HD void sample_uniform_triangle(float u1, float u2, float* b1, float* b2) {
    const float su = f_sqrt(u1);
    *b1 = su * (1.0f - u2);
    *b2 = su * u2;
}

}  // namespace vorn
