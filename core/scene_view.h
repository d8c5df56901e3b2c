// What the light-transport loops read of a scene, as plain pointers and
// values. The CPU engines fill it from the Embree scene, the device programs
// from the launch parameters, so one loop serves both.
#pragma once

#include <cstdint>

#include "scene/records.h"
#include "scene/settings.h"

namespace vorn {

struct SceneView {
    const MaterialData* materials = nullptr;  ///< material list
    int32_t num_materials = 0;
    const float* spectral = nullptr;          ///< flat spectral parameter array
    int32_t num_spectral = 0;
    int32_t nb = 0;                           ///< band count used for every spectral index
    EmitterData emitter{};                    ///< the sun (direction towards it, unit)
    SkySettings sky;                          ///< uniform / parametric sky
    PeriodicTile tile;                        ///< periodic tile
    SensorData sensor{};                      ///< camera (backward renderer)
    bool terrain_following = false;           ///< orthographic rays start above the terrain
    bool thermal = false;                     ///< surfaces emit Planck radiation
    const float* wavelengths = nullptr;       ///< band centres in nm, nb values in thermal mode
    float max_height = 0.0f;                  ///< highest scene point (m)
    float measurement_plane_height = 0.0f;    ///< forward photons start 0.1 m above this
};

}  // namespace vorn
