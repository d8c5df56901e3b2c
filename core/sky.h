// Parametric all-weather sky: a nine-coefficient angular gradation per band,
// normalised so that the zenith radiance equals the band's Lz.
#pragma once

#include <cstdint>

#include "core/hd.h"
#include "scene/spectral.h"
#include "scene/types.h"

namespace vorn {

/// Coefficients A..I and the zenith radiance Lz of one band.
struct HwSkyBand {
    float a, b, c, d, e, f, g, h, i;
    float lz;
};

VORN_HD HwSkyBand load_hw_sky_band(const float* spectral, int32_t hw_offset, int b) {
    const float* p = spectral + hw_sky_slot(hw_offset, b, 0);
    return HwSkyBand{p[0], p[1], p[2], p[3], p[4], p[5], p[6], p[7], p[8], p[9]};
}

/// Gradation for a sky point at zenith cosine cos_theta and angle gamma from
/// the sun. One routine serves the sample point and the zenith, so the
/// normalisation at d = (0, 0, 1) is exact.
VORN_HD float hw_sky_gradation(const HwSkyBand& k, float cos_theta, float gamma,
                               float cos_gamma) {
    float zenith_term = 1.0f + k.a * f_exp(k.b / cos_theta);
    float sun_term = 1.0f + k.c * f_exp(k.d * gamma) + k.e * cos_gamma * cos_gamma +
                     k.f * f_exp(k.g * gamma * gamma) + k.h * f_sqrt(cos_theta) + k.i;
    return zenith_term * sun_term;
}

/// Sky radiance of band b seen along d (unit, towards the sky) with the sun
/// towards s. Directions at or below the horizon are evaluated just above it.
VORN_HD float hw_sky_radiance(const float* spectral, int32_t hw_offset, float3 d, int b,
                              float3 s) {
    HwSkyBand k = load_hw_sky_band(spectral, hw_offset, b);
    if (k.lz <= 0.0f) return 0.0f;
    float cos_theta = f_max(0.001f, d.z);
    float cos_gamma = f_clamp(dot(d, s), -1.0f, 1.0f);
    float f = hw_sky_gradation(k, cos_theta, f_acos(cos_gamma), cos_gamma);
    // At the zenith the angle to the sun is the sun's zenith angle; a sun
    // below the horizon is taken on it.
    float cos_theta_s = f_clamp(s.z, 0.0f, 1.0f);
    float f0 = hw_sky_gradation(k, 1.0f, f_acos(cos_theta_s), cos_theta_s);
    f0 = f_max(f0, 0.001f);
    return f_max(0.0f, k.lz * (f / f0));
}

}  // namespace vorn
