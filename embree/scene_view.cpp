#include "embree/scene_view.h"

namespace vorn::embree {

SceneView make_scene_view(const EmbreeSceneManager& scene) {
    SceneView v;
    v.materials = scene.materials.data();
    v.num_materials = int32_t(scene.materials.size());
    v.spectral = scene.spectral_params.data();
    v.num_spectral = int32_t(scene.spectral_params.size());
    v.nb = scene.num_bands;
    v.emitter = scene.emitter;
    v.sky = scene.sky;
    v.tile = scene.tile;
    v.sensor = scene.sensor;
    v.terrain_following = scene.terrain_following;
    v.thermal = scene.thermal;
    v.wavelengths = scene.wavelengths.data();
    // Measured afresh, not the value of the last build: refit_ias may have
    // raised instances above it, and the engines rely on nothing lying above
    // max_height (photons climbing from there escape without crossing the
    // tile; terrain following backs off only to 1 m above it).
    v.max_height = scene.measure_max_height();
    v.measurement_plane_height = scene.measurement_plane_height;
    return v;
}

}  // namespace vorn::embree
