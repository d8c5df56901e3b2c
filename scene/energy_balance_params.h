// The requests of the energy balance (core/energy_balance.h), as both
// backends receive them, and the checks every backend applies to them before
// a ray is traced, so that the CPU and the GPU refuse the same input with the
// same message.
#pragma once

#include <cstddef>
#include <cstdint>

#include "scene/types.h"

namespace vorn {

/// One band. The sun direction is the caller's, normalised by the engine.
struct EnergyBalanceParams {
    int32_t band_type;           ///< scene band whose optical properties apply
    int32_t n_samples;           ///< samples per primitive
    float sun_irradiance;        ///< W m^-2 on a surface facing the sun
    float sky_diffuse_radiance;  ///< short-wave sky radiance, W m^-2 sr^-1
    float sky_lw_radiance;       ///< long-wave sky radiance, W m^-2 sr^-1
    float sun_dir_x, sun_dir_y, sun_dir_z;  ///< towards the sun
    bool two_sided;              ///< bottom faces too
    const float* sw_albedos;     ///< n_primitives albedos, or null (no second bounce)
    int32_t n_sw_albedos;        ///< values behind sw_albedos
};

/// Bands 0 .. n_bands - 1, short wave only.
struct EnergyBalanceMultibandParams {
    int32_t n_bands;                    ///< bands
    int32_t n_samples;                  ///< samples per primitive
    float sun_dir_x, sun_dir_y, sun_dir_z;  ///< towards the sun
    bool two_sided;                     ///< bottom faces too
    const float* sun_irradiance;        ///< n_bands values, or null (all zero)
    const float* sky_diffuse_radiance;  ///< n_bands values, or null (all zero)
    const float* sw_albedos;            ///< n_bands x n_primitives, band-major, or null
    int32_t n_sw_albedos;               ///< values behind sw_albedos
};

/// Per-primitive long-wave overrides: null pointers mean "from the materials".
struct PrimitiveOverrides {
    const float* temperatures;  ///< K
    size_t n_temperatures;
    const float* emissivities;  ///< in [0, 1]
    size_t n_emissivities;
};

/// Spectral band count of the energy balance: the scene's, at least 1.
inline int energy_balance_bands(int scene_bands) { return scene_bands > 0 ? scene_bands : 1; }

/// Throws std::runtime_error, prefixed "run_energy_balance: ", for 0
/// primitives, n_samples < 1 (in this order), then a band_type outside the
/// scene's bands, an irradiance or radiance that is negative or not finite, a
/// zero or non-finite sun direction, and albedos that are not n_primitives
/// values in [0, 1].
void check_energy_balance(const EnergyBalanceParams& p, uint32_t n_primitives,
                          int scene_bands);
/// The same for the multiband call (prefix "run_energy_balance_multiband: "),
/// n_bands < 1 checked between the primitives and the samples; n_bands may not
/// exceed the scene's bands, and albedos must be n_bands x n_primitives values.
void check_energy_balance(const EnergyBalanceMultibandParams& p, uint32_t n_primitives,
                          int scene_bands);
/// Overrides must hold n_primitives values each: temperatures in [0, 1e6] K,
/// emissivities in [0, 1].
void check_primitive_overrides(const char* who, const PrimitiveOverrides& o,
                               uint32_t n_primitives);

}  // namespace vorn
