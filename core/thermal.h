// Thermal emission: Planck band radiance and the temperature a surface emits at.
#pragma once

#include "core/hd.h"
#include "scene/records.h"

namespace vorn {

/// Second radiation constant hc/k in m K.
constexpr double kPlanckC2 = 0.014387768775039337;
/// First radiation constant for radiance, 2hc^2, in W m^2 sr^-1.
constexpr double kPlanckC1 = 1.1910429723971884e-16;
/// Beyond this exponent the emission is negligible and exp() would overflow.
constexpr double kPlanckMaxExponent = 500.0;

/// Spectral radiance of a black body at temperature_k (K) and wavelength_nm,
/// in W m^-2 sr^-1 nm^-1. Double precision: lambda^5 underflows float.
VORN_HD float planck_band_radiance(float wavelength_nm, double temperature_k) {
    double lambda = double(wavelength_nm) * 1e-9;
    double x = kPlanckC2 / (lambda * temperature_k);
    if (x > kPlanckMaxExponent) return 0.0f;
    double lambda2 = lambda * lambda;
    double lambda5 = lambda2 * lambda2 * lambda;
    return float(kPlanckC1 / (lambda5 * (d_exp(x) - 1.0)) * 1e-9);
}

/// True when the material distinguishes sunlit from shaded temperatures, so
/// the engine must run a shadow test towards the sun before choosing.
VORN_HD bool has_sunlit_shaded_temperatures(const MaterialData& m) {
    return m.params[3] > 0.0f && m.params[4] > 0.0f;
}

/// Emission temperature in K: sunlit/shaded pair first, else the uniform one;
/// 0 means the surface does not emit. `shaded` is read only for the pair.
VORN_HD float surface_temperature(const MaterialData& m, bool shaded) {
    if (has_sunlit_shaded_temperatures(m)) return shaded ? m.params[4] : m.params[3];
    return m.params[2] > 0.0f ? m.params[2] : 0.0f;
}

}  // namespace vorn
