#include "embree/scene_view.h"

namespace vorn::embree {

namespace {

/// The fields of the scene record that the view reads, holding host
/// addresses: the CPU engines take the same road to their view as the
/// device programs do from the GPU scene's record.
struct HostSceneRecord {
    const MaterialData* materials;
    uint32_t num_materials;
    const float* spectral_params;
    const EmitterData* emitter;
    SensorData sensor;
    int32_t num_bands;
    float scene_x_size, scene_y_size;
    float max_height;
    int32_t sky_offset, hw_sky_offset;
    float3 hw_sky_sun;
    int32_t num_repetitions;
    bool thermal;
    const float* wavelengths;
    bool terrain_following;
    float measurement_height;
};

}  // namespace

SceneView make_scene_view(const EmbreeSceneManager& scene) {
    HostSceneRecord r;
    r.materials = scene.materials.data();
    r.num_materials = uint32_t(scene.materials.size());
    r.spectral_params = scene.spectral_params.data();
    r.emitter = &scene.emitter;
    r.sensor = scene.sensor;
    r.num_bands = scene.num_bands;
    r.scene_x_size = scene.tile.scene_x_size;
    r.scene_y_size = scene.tile.scene_y_size;
    // Measured afresh, not the value of the last build: refit_ias may have
    // raised instances above it, and the engines rely on nothing lying above
    // max_height (photons and shadow rays climbing from there escape without
    // crossing the tile; terrain following backs off only to 1 m above it).
    r.max_height = scene.measure_max_height();
    r.sky_offset = scene.sky.sky_offset;
    r.hw_sky_offset = scene.sky.hw_sky_offset;
    r.hw_sky_sun = scene.sky.hw_sky_sun;
    r.num_repetitions = scene.tile.num_repetitions;
    r.thermal = scene.thermal;
    r.wavelengths = scene.wavelengths.data();
    r.terrain_following = scene.terrain_following;
    r.measurement_height = scene.measurement_plane_height;
    return scene_view_from_record(r);
}

}  // namespace vorn::embree
