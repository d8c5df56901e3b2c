// Scene settings that travel to the engines by value (host and device alike).
// Plain aggregates without member initialisers, so that a __constant__ launch
// record can hold them; the scene description states their defaults.
#pragma once

#include <cstdint>

#include "scene/types.h"

namespace vorn {

/// Sky settings: a parametric sky (offset >= 0) wins over a uniform one.
struct SkySettings {
    int32_t sky_offset;     ///< uniform sky radiance per band at spectral[offset + b], -1: none
    int32_t hw_sky_offset;  ///< ten coefficients per band, band-major, -1: none
    float3 hw_sky_sun;      ///< unit vector towards the sun for the parametric sky
};

/// No sky: both offsets -1, the parametric sun at the zenith.
constexpr SkySettings kNoSky{-1, -1, {0.0f, 0.0f, 1.0f}};

/// The periodic tile [0, scene_x_size] x [0, scene_y_size], repeated in x and y.
struct PeriodicTile {
    int32_t num_repetitions;  ///< tile crossings allowed per ray
    float scene_x_size;       ///< tile size in x, metres
    float scene_y_size;       ///< tile size in y, metres
    VORN_HD bool active() const {
        return num_repetitions >= 1 && scene_x_size > 0.0f && scene_y_size > 0.0f;
    }
};

}  // namespace vorn
