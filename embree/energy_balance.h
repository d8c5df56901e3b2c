// The CPU energy balance: the model of core/energy_balance.h traced through
// the Embree scene, from the world primitives the GPU scene would upload.
#pragma once

#include <functional>
#include <vector>

#include "embree/scene_manager.h"
#include "scene/energy_balance_params.h"

namespace vorn::embree {

/// Primitive-samples between two progress reports (and Ctrl-C checks).
constexpr long long kEnergyBalanceBatchSamples = 1 << 18;

/// Absorbed flux density per primitive face in one band, W m^-2 of face
/// area: top[p] for the top face (along the primitive's world normal) and,
/// when p.two_sided, bot[p] for the bottom face (bot is emptied otherwise).
/// Short wave uses the optical properties of scene band p.band_type; long
/// wave adds the sky's p.sky_lw_radiance and the emission of surfaces with a
/// temperature, from `overrides` where given (each null or n_primitives
/// values), else from the materials. Primitive p's samples are fixed by (p,
/// sample) and `seed` (0: the standard streams; another seed gives an
/// independent replicate), so the result is the same to the last bit for any `num_threads`
/// (< 1: every hardware thread). `progress`, when set, is called on the
/// calling thread after each batch with (primitives done, primitives, elapsed
/// ms); an exception it throws ends the call after the workers are joined.
/// The output vectors are replaced only when the call succeeds. Throws
/// std::runtime_error for a scene that is not built, the checks of
/// check_energy_balance and check_primitive_overrides, more than 2^31 - 1
/// primitives, and spectral values the materials would read out of range.
void run_energy_balance(EmbreeSceneManager& scene, const EnergyBalanceParams& p,
                        const PrimitiveOverrides& overrides, std::vector<float>& top,
                        std::vector<float>& bot, int num_threads,
                        std::function<void(int, int, float)> progress, uint64_t seed = 0);

/// Short wave only, in scene bands 0 .. n_bands - 1 with the per-band sun
/// irradiance and sky radiance (null: zero) and albedos band-major
/// (b * n_primitives + q); top and bot hold n_bands x n_primitives values
/// band-major. Band b equals run_energy_balance with band_type b, that band's
/// inputs and no long wave, to the last bit. The overrides' emissivities do
/// not enter short wave; temperatures are not read.
void run_energy_balance_multiband(EmbreeSceneManager& scene,
                                  const EnergyBalanceMultibandParams& p,
                                  const PrimitiveOverrides& overrides,
                                  std::vector<float>& top, std::vector<float>& bot,
                                  int num_threads,
                                  std::function<void(int, int, float)> progress,
                                  uint64_t seed = 0);

}  // namespace vorn::embree
