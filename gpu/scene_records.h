// The two records the GPU scene hands to the device programs: the scene record
// copied into the launch parameters at every launch, and the per-mesh payload
// of the hit-group records. Both are read by PTX we compile separately, so
// their layout is a wire format: every field offset is pinned below, and the
// host code and the device programs include this one header.
#pragma once

#include <cstddef>
#include <cstdint>

#include "gpu/optix_types.h"
#include "scene/records.h"
#include "scene/types.h"

namespace vorn {

/// Scene record, 400 bytes, filled fresh (all zero first) by
/// SceneManager::get_scene_data(). Pointers are device addresses; 0 means
/// "not present".
struct SceneData {
    OptixTraversableHandle ias_handle;  ///< top-level traversable
    const MaterialData* materials;      ///< num_materials records
    uint32_t num_materials;
    uint32_t reserved0;                ///< 0
    const float* spectral_params;      ///< the flat spectral array
    const EmitterData* emitter;        ///< one record
    uint32_t num_emitters;             ///< always 1
    SensorData sensor;                 ///< byte copy of the scene's sensor
    uint32_t reserved1;                ///< 0
    int32_t num_bands;                 ///< band count nb (<= 128)
    uint32_t reserved2[10];            ///< 0; free for the device programs
    float scene_x_size;                ///< periodic tile size x, metres
    float scene_y_size;                ///< periodic tile size y, metres
    float max_height;                  ///< highest world z of the scene, >= 0
    int32_t sky_offset;                ///< uniform sky radiance offset, -1 for none
    int32_t hw_sky_offset;             ///< parametric sky offset, -1 for none
    float3 hw_sky_sun;                 ///< unit vector towards the parametric sky's sun
    int32_t num_repetitions;           ///< tile crossings allowed per ray
    float tile_x_size;                 ///< scene_x_size again
    float tile_y_size;                 ///< scene_y_size again
    uint32_t reserved3[2];             ///< 0; free for the device programs
    uint32_t num_meshes;               ///< GPU meshes (hit-group record pairs)
    bool thermal;                      ///< surfaces emit Planck radiation
    uint8_t reserved4[3];              ///< 0
    const float* wavelengths;          ///< band centres in nm, one per band; 0 when none
    bool terrain_following;            ///< orthographic rays start above the terrain
    uint8_t reserved5[3];              ///< 0
    float measurement_height;          ///< forward tracer's start plane, metres
    const float3* prim_v0;             ///< world vertex 0 per primitive
    const float3* prim_v1;             ///< world vertex 1 per primitive
    const float3* prim_v2;             ///< world vertex 2 per primitive
    const float3* prim_normals;        ///< unit world face normal per primitive
    const float* prim_areas;           ///< world area per primitive, m^2
    const int32_t* prim_material_ids;  ///< material per primitive
    uint32_t n_primitives;             ///< triangles over all instances
    uint32_t reserved6;                ///< 0
    const float* prim_temperatures;    ///< K per primitive; 0: material params[2..4]
    const int32_t* instance_offsets;   ///< first primitive of each instance, instances + 1
    const float* prim_emissivities;    ///< long-wave emissivity per primitive; 0 when none
    const float* prim_sif;             ///< SIF emission, band-major [b * n_primitives + p]
    uint32_t n_sif_bands;              ///< bands of prim_sif
    bool sif_only;                     ///< backward kernel returns SIF emission only
    uint8_t reserved7[3];              ///< 0
};
static_assert(sizeof(SceneData) == 400, "SceneData is 400 bytes");
static_assert(offsetof(SceneData, ias_handle) == 0, "SceneData.ias_handle");
static_assert(offsetof(SceneData, materials) == 8, "SceneData.materials");
static_assert(offsetof(SceneData, num_materials) == 16, "SceneData.num_materials");
static_assert(offsetof(SceneData, reserved0) == 20, "SceneData.reserved0");
static_assert(offsetof(SceneData, spectral_params) == 24, "SceneData.spectral_params");
static_assert(offsetof(SceneData, emitter) == 32, "SceneData.emitter");
static_assert(offsetof(SceneData, num_emitters) == 40, "SceneData.num_emitters");
static_assert(offsetof(SceneData, sensor) == 44, "SceneData.sensor");
static_assert(offsetof(SceneData, reserved1) == 180, "SceneData.reserved1");
static_assert(offsetof(SceneData, num_bands) == 184, "SceneData.num_bands");
static_assert(offsetof(SceneData, reserved2) == 188, "SceneData.reserved2");
static_assert(offsetof(SceneData, scene_x_size) == 228, "SceneData.scene_x_size");
static_assert(offsetof(SceneData, scene_y_size) == 232, "SceneData.scene_y_size");
static_assert(offsetof(SceneData, max_height) == 236, "SceneData.max_height");
static_assert(offsetof(SceneData, sky_offset) == 240, "SceneData.sky_offset");
static_assert(offsetof(SceneData, hw_sky_offset) == 244, "SceneData.hw_sky_offset");
static_assert(offsetof(SceneData, hw_sky_sun) == 248, "SceneData.hw_sky_sun");
static_assert(offsetof(SceneData, num_repetitions) == 260, "SceneData.num_repetitions");
static_assert(offsetof(SceneData, tile_x_size) == 264, "SceneData.tile_x_size");
static_assert(offsetof(SceneData, tile_y_size) == 268, "SceneData.tile_y_size");
static_assert(offsetof(SceneData, reserved3) == 272, "SceneData.reserved3");
static_assert(offsetof(SceneData, num_meshes) == 280, "SceneData.num_meshes");
static_assert(offsetof(SceneData, thermal) == 284, "SceneData.thermal");
static_assert(offsetof(SceneData, reserved4) == 285, "SceneData.reserved4");
static_assert(offsetof(SceneData, wavelengths) == 288, "SceneData.wavelengths");
static_assert(offsetof(SceneData, terrain_following) == 296, "SceneData.terrain_following");
static_assert(offsetof(SceneData, reserved5) == 297, "SceneData.reserved5");
static_assert(offsetof(SceneData, measurement_height) == 300, "SceneData.measurement_height");
static_assert(offsetof(SceneData, prim_v0) == 304, "SceneData.prim_v0");
static_assert(offsetof(SceneData, prim_v1) == 312, "SceneData.prim_v1");
static_assert(offsetof(SceneData, prim_v2) == 320, "SceneData.prim_v2");
static_assert(offsetof(SceneData, prim_normals) == 328, "SceneData.prim_normals");
static_assert(offsetof(SceneData, prim_areas) == 336, "SceneData.prim_areas");
static_assert(offsetof(SceneData, prim_material_ids) == 344, "SceneData.prim_material_ids");
static_assert(offsetof(SceneData, n_primitives) == 352, "SceneData.n_primitives");
static_assert(offsetof(SceneData, reserved6) == 356, "SceneData.reserved6");
static_assert(offsetof(SceneData, prim_temperatures) == 360, "SceneData.prim_temperatures");
static_assert(offsetof(SceneData, instance_offsets) == 368, "SceneData.instance_offsets");
static_assert(offsetof(SceneData, prim_emissivities) == 376, "SceneData.prim_emissivities");
static_assert(offsetof(SceneData, prim_sif) == 384, "SceneData.prim_sif");
static_assert(offsetof(SceneData, n_sif_bands) == 392, "SceneData.n_sif_bands");
static_assert(offsetof(SceneData, sif_only) == 396, "SceneData.sif_only");
static_assert(offsetof(SceneData, reserved7) == 397, "SceneData.reserved7");
static_assert(sizeof(bool) == 1, "the scene record's flags are single bytes");

/// Per-mesh payload of the hit-group records, 40 bytes; records 2m and 2m + 1
/// (radiance, shadow) of the table carry mesh m's.
struct HitGroupData {
    const float3* vertices;  ///< object-space vertices of the mesh
    const float3* normals;   ///< per-vertex shading normals; 0 when the mesh has none
    uint64_t reserved0;      ///< 0
    const int3* indices;     ///< triangles of the mesh
    uint32_t material_id;    ///< material of the mesh
    uint32_t reserved1;      ///< 0
};
static_assert(sizeof(HitGroupData) == 40, "HitGroupData is 40 bytes");
static_assert(offsetof(HitGroupData, vertices) == 0, "HitGroupData.vertices");
static_assert(offsetof(HitGroupData, normals) == 8, "HitGroupData.normals");
static_assert(offsetof(HitGroupData, reserved0) == 16, "HitGroupData.reserved0");
static_assert(offsetof(HitGroupData, indices) == 24, "HitGroupData.indices");
static_assert(offsetof(HitGroupData, material_id) == 32, "HitGroupData.material_id");
static_assert(offsetof(HitGroupData, reserved1) == 36, "HitGroupData.reserved1");
static_assert(sizeof(SbtRecord<HitGroupData>) == 80, "a hit-group record is 80 bytes");
static_assert(offsetof(SbtRecord<HitGroupData>, data) == OPTIX_SBT_RECORD_HEADER_SIZE,
              "hit-group data follows the 32-byte header");

}  // namespace vorn
