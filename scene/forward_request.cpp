#include "scene/forward_request.h"

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "scene/checks.h"

namespace vorn {

void forward_extent(const SceneDescription& scene, float* w, float* h) {
    if (scene.tile.scene_x_size > 0.0f && scene.tile.scene_y_size > 0.0f) {
        *w = scene.tile.scene_x_size;
        *h = scene.tile.scene_y_size;
    } else {
        *w = scene.sensor.ortho_w;
        *h = scene.sensor.ortho_h;
    }
}

void check_forward_request(const char* who, int nx, int ny, float prob_sun, float w, float h) {
    if (nx < 1 || ny < 1)
        fail_input(who, "nx and ny must be at least 1, got " + std::to_string(nx) + " x " +
                            std::to_string(ny));
    if (!(w > 0.0f) || !(h > 0.0f) || !std::isfinite(w) || !std::isfinite(h))
        fail_input(who,
                   "the scene extent must be positive (set_repetitive tile sizes, or the "
                   "sensor's ortho_w and ortho_h), got " +
                       std::to_string(w) + " x " + std::to_string(h));
    if (!(prob_sun >= 0.0f && prob_sun <= 1.0f))
        fail_input(who, "prob_sun must lie in [0, 1], got " + std::to_string(prob_sun));
}

void check_photon_weights(const char* who, const SceneDescription& scene, float prob_sun,
                          double photon_e) {
    const bool sky = scene.sky.hw_sky_offset >= 0 || scene.sky.sky_offset >= 0;
    if (!sky) return;
    const double lo = photon_e / double(std::numeric_limits<float>::max());
    if (prob_sun <= 0.0f || double(prob_sun) >= lo) return;
    fail_input(who, "prob_sun must lie in [" + show_value(lo) +
                        ", 1] (or be 0: sky photons only) for this extent and photon "
                        "count, or a sun photon's weight photon_e / prob_sun overflows "
                        "a float; got " +
                        show_value(prob_sun));
}

}  // namespace vorn
