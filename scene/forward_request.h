// The request checks of the forward photon tracer that both backends make
// before a photon is traced, so that the CPU and the GPU spread photons over
// the same extent and refuse the same input with the same message.
#pragma once

#include <cstddef>

#include "scene/scene_description.h"

namespace vorn {

/// The extent W x H photons are spread over: the periodic tile when both of
/// its sizes are positive, else the sensor's ortho_w x ortho_h.
void forward_extent(const SceneDescription& scene, float* w, float* h);

/// Throws std::runtime_error "<who>: ..." for a grid of fewer than 1 x 1
/// columns, an extent that is not positive and finite, and prob_sun outside
/// [0, 1]. (Fewer than two layer heights is the caller's own message.)
void check_forward_request(const char* who, int nx, int ny, float prob_sun, float w, float h);

/// With a sky, a sun photon weighs photon_e / prob_sun, which must stay a
/// finite float, or the tallies turn infinite. (Sky photons weigh
/// photon_e / (1 - prob_sun): below 1, a float prob_sun leaves
/// 1 - prob_sun >= 6e-8, and the extent and photon count keep photon_e far
/// below 6e-8 times the largest float. Without a sky every photon is a sun
/// photon of weight photon_e.) Throws "<who>: prob_sun must lie in ...".
void check_photon_weights(const char* who, const SceneDescription& scene, float prob_sun,
                          double photon_e);

}  // namespace vorn
