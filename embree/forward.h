// The CPU forward photon tracer: photons from the sun and the sky shot down
// onto the Embree scene, their absorbed energy tallied in a grid of cells over
// the scene (fPAR), per triangle, in a terrain instance, and their scattered
// energy towards chosen view directions (BRF) and upwards (albedo).
#pragma once

#include <functional>
#include <vector>

#include "embree/scene_manager.h"

namespace vorn::embree {

/// Photons per batch: progress is reported (and Ctrl-C noticed) between batches.
constexpr int kForwardBatchPhotons = 1000000;

/// Tallies of one forward run, as sums of photon energies (no division by
/// photon count or area: each photon carries W * H / num_photons).
struct ForwardTallies {
    /// grid[((iz * ny + iy) * nx + ix) * nb + b]; nx * ny * nz * nb values.
    std::vector<float> grid;
    /// leaf[(first triangle of instance + prim) * nb + b]; T * nb values or empty.
    std::vector<float> leaf;
    /// brf[k * nb + b] for BRF direction k; num_brf_dirs * nb values or empty.
    std::vector<float> brf;
    /// Energy escaping upwards per band; nb values when BRF directions were asked for.
    std::vector<float> albedo;
    /// Energy absorbed by the terrain instance per band; nb values or empty.
    std::vector<float> terrain;
    int nx = 0;
    int ny = 0;
    int nz = 0;
    int nb = 0;
};

/// Traces `num_photons` photons in batches of kForwardBatchPhotons. Photon i
/// is fixed by its index and `seed` (0: the standard streams; another seed
/// gives an independent replicate), and the tallies are summed in fixed chunks of
/// photons added up in chunk order, so the result is the same to the last bit
/// for any `num_threads`.
/// - The extent W x H is the periodic tile when both its sizes are positive,
///   else the sensor's ortho_w x ortho_h; the grid divides it into nx x ny
///   columns and the layers bounded by `layer_heights`.
/// - `num_bands` is the band count of the tallies and of every spectral index.
/// - `brf_directions` holds 3 * num_brf_dirs floats, or is null (the BRF tally
///   then stays zero while the albedo is still tallied).
/// - `prob_sun` is the probability of a sun photon when a sky is set; without
///   a sky every photon is a sun photon of weight 1 and prob_sun is not read.
/// - `max_depth` counts scattering events per photon; it is replaced by
///   VORN_MAX_DEPTH when that is a decimal number above 0; Russian roulette
///   applies from `rr_depth`; `num_threads` < 1 uses every hardware thread.
/// - `progress`, when set, is called on the calling thread after every batch
///   with (photons done, num_photons, elapsed ms); an exception it throws
///   leaves the call after the workers are joined and the tallies are lost.
/// Throws std::runtime_error for num_bands < 1, fewer than two layer heights, a
/// grid or extent that is not positive, prob_sun outside [0, 1] or so close to
/// 0 that a sun photon's weight photon_e / prob_sun would overflow a float, a
/// per-leaf tally over more than 2^31 - 1 triangles, and a scene that is not
/// built or would be read out of range; AllocationError when the tallies do not
/// fit in memory. While it runs, every operation that changes the scene is
/// refused.
ForwardTallies render_forward(EmbreeSceneManager& scene, int nx, int ny,
                              const std::vector<float>& layer_heights, int num_photons,
                              int num_bands, bool per_leaf, float prob_sun,
                              const float* brf_directions, int num_brf_dirs,
                              int max_depth, int rr_depth, int num_threads,
                              std::function<void(int, int, float)> progress,
                              int terrain_instance_id, uint64_t seed = 0);

}  // namespace vorn::embree
