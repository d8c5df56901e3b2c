// What the light-transport loops read of a scene, as plain pointers and
// values, and the one routine that builds it from the scene record. The CPU
// engines fill a record with host addresses, the device programs get theirs
// in the launch parameters with device addresses; both then read the scene
// through the same view, so one loop serves both.
#pragma once

#include <cstdint>

#include "core/hd.h"
#include "scene/records.h"
#include "scene/settings.h"

namespace vorn {

/// Per-primitive emission of the backward renderer (temperatures, long-wave
/// emissivities, SIF), read at a hit through the
/// primitive's number instance_offsets[instance] + triangle (instances in
/// order, each instance's triangles in index order: the numbering of the GPU
/// scene's n_primitives()). A null array is "not given"; all null (the zero
/// value) is a scene without per-primitive data.
struct PrimitiveEmission {
    const int32_t* instance_offsets;  ///< first primitive of each instance, instances + 1
    uint32_t n_primitives;            ///< length of each per-primitive array
    const float* temperatures;        ///< emission temperature (K), thermal mode
    const float* emissivities;        ///< long-wave emissivity, every band, thermal mode
    const float* sif;                 ///< SIF radiance of the emitting face, [b * n_primitives + p]
    uint32_t n_sif_bands;             ///< bands of `sif`
    bool sif_only;                    ///< camera rays see the first hit's SIF alone
};

/// A plain aggregate without member initialisers: a device program may keep
/// one in local or constant memory.
struct SceneView {
    const MaterialData* materials;    ///< material list
    int32_t num_materials;            ///< entries of `materials`
    const float* spectral;            ///< flat spectral parameter array
    int32_t nb;                       ///< band count used for every spectral index
    EmitterData emitter;              ///< the sun (direction towards it, unit)
    SkySettings sky;                  ///< uniform / parametric sky
    PeriodicTile tile;                ///< periodic tile
    SensorData sensor;                ///< camera (backward renderer)
    bool terrain_following;           ///< orthographic rays start above the terrain
    bool thermal;                     ///< surfaces emit Planck radiation
    const float* wavelengths;         ///< band centres in nm, nb values in thermal mode
    float max_height;                 ///< highest scene point (m)
    float measurement_plane_height;   ///< forward photons start 0.1 m above this
    PrimitiveEmission prims;         ///< per-primitive data (backward renderer)
    uint64_t seed;                    ///< set of random streams (seed_stream); 0: the standard one
};

/// An address field of the scene record as a pointer: the record may hold it
/// as a typed pointer or as a 64-bit integer (a device address).
template <class T, class Field>
VORN_HD const T* record_pointer(Field f) {
    return (const T*)(f);
}

/// The view of a scene record, read by the names of the scene record's fields
/// (`materials`, `num_materials`, `spectral_params`, `emitter` (address of one
/// EmitterData), `sensor`, `num_bands`, `sky_offset`, `hw_sky_offset`,
/// `hw_sky_sun`, `num_repetitions`, `scene_x_size`, `scene_y_size`,
/// `max_height`, `thermal`, `wavelengths`, `terrain_following`,
/// `measurement_height`). A record without an emitter gives the zero emitter.
/// The view has no per-primitive data (see primitive_emission_from_record)
/// and the standard random streams (seed 0).
template <class Record>
VORN_HD SceneView scene_view_from_record(const Record& r) {
    SceneView v;
    v.materials = record_pointer<MaterialData>(r.materials);
    v.num_materials = int32_t(r.num_materials);
    v.spectral = record_pointer<float>(r.spectral_params);
    v.nb = int32_t(r.num_bands);
    const EmitterData* e = record_pointer<EmitterData>(r.emitter);
    v.emitter = e ? *e : EmitterData{};
    v.sky = SkySettings{int32_t(r.sky_offset), int32_t(r.hw_sky_offset), r.hw_sky_sun};
    v.tile = PeriodicTile{int32_t(r.num_repetitions), r.scene_x_size, r.scene_y_size};
    v.sensor = r.sensor;
    v.terrain_following = r.terrain_following != 0;
    v.thermal = r.thermal != 0;
    v.wavelengths = record_pointer<float>(r.wavelengths);
    v.max_height = r.max_height;
    v.measurement_plane_height = r.measurement_height;
    v.prims = PrimitiveEmission{};
    v.seed = 0;
    return v;
}

/// The per-primitive data of a scene record holding the GPU scene's fields
/// (`instance_offsets`, `n_primitives`, `prim_temperatures`,
/// `prim_emissivities`, `prim_sif`, `n_sif_bands`, `sif_only`).
template <class Record>
VORN_HD PrimitiveEmission primitive_emission_from_record(const Record& r) {
    PrimitiveEmission p;
    p.instance_offsets = record_pointer<int32_t>(r.instance_offsets);
    p.n_primitives = uint32_t(r.n_primitives);
    p.temperatures = record_pointer<float>(r.prim_temperatures);
    p.emissivities = record_pointer<float>(r.prim_emissivities);
    p.sif = record_pointer<float>(r.prim_sif);
    p.n_sif_bands = p.sif ? uint32_t(r.n_sif_bands) : 0u;
    p.sif_only = r.sif_only != 0;
    return p;
}

}  // namespace vorn
