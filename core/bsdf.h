// Per-band scattering of the three CPU material models: direction sampling,
// evaluation and the absorbed fraction. Types other than Lambertian, Rpv and
// Leaf are black: they neither reflect nor transmit and absorb everything.
#pragma once

#include <cstdint>

#include "core/hd.h"
#include "core/sampling.h"
#include "scene/records.h"
#include "scene/spectral.h"
#include "scene/types.h"

namespace vorn {

/// A leaf whose two sampling weights sum below this cannot choose a lobe.
constexpr float kLeafMinWeight = 1e-8f;

/// Samples a continuation direction in the local frame. u[0..2] come from
/// draw_bsdf_uniforms (core/pcg32.h). Black materials return (0, 0, 1) with
/// pdf 1; their zero evaluation ends the path in the engine.
VORN_HD DirectionSample sample_bsdf(const MaterialData& m, const float u[3]) {
    const DirectionSample none{make_f3(0.0f, 0.0f, 1.0f), 1.0f};
    switch (m.type) {
        case MaterialType::Lambertian:
        case MaterialType::Rpv:
            return sample_cosine_hemisphere(u[0], u[1]);
        case MaterialType::Leaf: {
            float s = m.params[0] + m.params[1];
            if (s < kLeafMinWeight) return none;
            float p_reflect = m.params[0] / s;
            DirectionSample ds = sample_cosine_hemisphere(u[1], u[2]);
            if (u[0] < p_reflect) {
                ds.pdf = ds.w.z * kInvPi * p_reflect;
            } else {
                ds.pdf = ds.w.z * kInvPi * (1.0f - p_reflect);
                ds.w.z = -ds.w.z;
            }
            return ds;
        }
        default:
            return none;
    }
}

/// Rahman-Pinty-Verstraete-type reflectance for local directions a, w, both
/// above the surface. Returns the BRDF itself: unlike the other models it
/// carries no 1/pi.
VORN_HD float eval_rpv(float3 a, float3 w, float rho0, float k, float theta,
                       float rho_c) {
    float ci = a.z;
    float cv = w.z;
    float m = f_pow(ci, k - 1.0f) * f_pow(cv, k - 1.0f);
    float g = dot(a, w);
    float q = 1.0f + theta * theta + 2.0f * theta * g;
    float f = (1.0f - theta * theta) / (q * f_sqrt(f_max(q, 1e-6f)));
    float si = f_sqrt(f_max(1.0f - ci * ci, 0.0f));
    float sv = f_sqrt(f_max(1.0f - cv * cv, 0.0f));
    float ti = f_abs(ci) >= 1e-6f ? si / ci : 0.0f;
    float tv = f_abs(cv) >= 1e-6f ? sv / cv : 0.0f;
    // At the pole the azimuth is undefined, but that tangent is ~0 there, so
    // any cos_phi gives the same G; 0 avoids dividing by si or sv.
    float cos_phi = 0.0f;
    if (si > 1e-6f && sv > 1e-6f) {
        cos_phi = f_clamp((a.x / si) * (w.x / sv) + (a.y / si) * (w.y / sv), -1.0f, 1.0f);
    }
    float big_g = f_sqrt(f_max(ti * ti + tv * tv - 2.0f * ti * tv * cos_phi, 0.0f));
    return f_max(rho0 * m * f * (1.0f + (1.0f - rho_c) / (1.0f + big_g)), 0.0f);
}

/// BSDF value for band b. a points back along the arriving ray, w is the
/// other direction (sun, continuation or view), both local. `complement`
/// turns a Lambertian emissivity slot into reflectance 1 - value (thermal
/// mode); the other models ignore it.
VORN_HD float eval_bsdf(MaterialType type, int32_t off, int b, float3 a, float3 w,
                        const float* spectral, int nb, bool back, bool complement) {
    switch (type) {
        case MaterialType::Lambertian: {
            float r = spectral[material_slot(off, 0, nb, b)];
            if (complement) r = 1.0f - r;
            return (a.z > 0.0f && w.z > 0.0f) ? r * kInvPi : 0.0f;
        }
        case MaterialType::Leaf: {
            if (a.z <= 0.0f) return 0.0f;
            if (w.z > 0.0f)
                return spectral[material_slot(off, back ? 1 : 0, nb, b)] * kInvPi;
            return spectral[material_slot(off, 2, nb, b)] * kInvPi;
        }
        case MaterialType::Rpv: {
            if (a.z <= 0.0f || w.z <= 0.0f) return 0.0f;
            return eval_rpv(a, w, spectral[material_slot(off, 0, nb, b)],
                            spectral[material_slot(off, 1, nb, b)],
                            spectral[material_slot(off, 2, nb, b)],
                            spectral[material_slot(off, 3, nb, b)]);
        }
        default:
            return 0.0f;
    }
}

VORN_HD float eval_bsdf(const MaterialData& m, int b, float3 a, float3 w,
                        const float* spectral, int nb, bool back, bool complement) {
    return eval_bsdf(m.type, m.offset, b, a, w, spectral, nb, back, complement);
}

/// Fraction of the incident energy a surface absorbs in band b (one minus its
/// hemispherical reflectance plus transmittance).
VORN_HD double absorptance(MaterialType type, int32_t off, int b, const float* spectral,
                           int nb, bool back) {
    switch (type) {
        case MaterialType::Lambertian:
        case MaterialType::Rpv:
            return 1.0 - double(spectral[material_slot(off, 0, nb, b)]);
        case MaterialType::Leaf: {
            float r = spectral[material_slot(off, back ? 1 : 0, nb, b)];
            float t = spectral[material_slot(off, 2, nb, b)];
            return 1.0 - double(r + t);
        }
        default:
            return 1.0;
    }
}

VORN_HD double absorptance(const MaterialData& m, int b, const float* spectral, int nb,
                           bool back) {
    return absorptance(m.type, m.offset, b, spectral, nb, back);
}

}  // namespace vorn
