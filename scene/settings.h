// Scene settings that travel to the engines by value (host and device alike).
#pragma once

#include <cstdint>

#include "scene/types.h"

namespace vorn {

/// Sky settings: a parametric sky (offset >= 0) wins over a uniform one.
struct SkySettings {
    int32_t sky_offset = -1;     ///< uniform sky radiance per band at spectral[offset + b]
    int32_t hw_sky_offset = -1;  ///< ten coefficients per band, band-major
    float3 hw_sky_sun{0.0f, 0.0f, 1.0f};  ///< unit vector towards the sun for the parametric sky
};

/// The periodic tile [0, scene_x_size] x [0, scene_y_size], repeated in x and y.
struct PeriodicTile {
    int32_t num_repetitions = 0;  ///< tile crossings allowed per ray
    float scene_x_size = 0.0f;    ///< tile size in x, metres
    float scene_y_size = 0.0f;    ///< tile size in y, metres
    VORN_HD bool active() const {
        return num_repetitions >= 1 && scene_x_size > 0.0f && scene_y_size > 0.0f;
    }
};

}  // namespace vorn
