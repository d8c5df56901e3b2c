// Wire-format records: copied byte for byte to the GPU and read by the device
// programs, so every size and offset below is pinned.
#pragma once

#include <cstddef>
#include <cstdint>

#include "scene/types.h"

namespace vorn {

/// Surface model. Values other than the named ones are stored and uploaded
/// unchanged; the CPU engines treat them as black.
enum class MaterialType : int32_t {
    Lambertian = 0,  ///< 1 spectral quantity: reflectance (emissivity in thermal mode)
    Rpv = 1,         ///< 4 quantities: rho0, k, Theta, rho_c
    Leaf = 13,       ///< 3 quantities: front reflectance, back reflectance, transmittance
};

/// Emitter kind; the host never interprets it (the CPU engines treat every
/// emitter as the sun, a distant directional source).
enum class EmitterType : int32_t {
    Sun = 0,
};

struct MaterialData {
    MaterialType type;  ///< kind of material
    int32_t offset;     ///< start of this material's per-band values in the spectral array
    int32_t reserved;   ///< always 0
    /// [0], [1] leaf reflection / transmission sampling weights; [2] uniform,
    /// [3] sunlit, [4] shaded temperature in K; [5] long-wave emissivity of the
    /// energy balance (used when in (0, 1], else 1); [6..18] passed to the
    /// device only.
    float params[19];
};
static_assert(sizeof(MaterialData) == 88, "MaterialData is 88 bytes");
static_assert(offsetof(MaterialData, type) == 0, "MaterialData.type");
static_assert(offsetof(MaterialData, offset) == 4, "MaterialData.offset");
static_assert(offsetof(MaterialData, reserved) == 8, "MaterialData.reserved");
static_assert(offsetof(MaterialData, params) == 12, "MaterialData.params");

struct EmitterData {
    EmitterType type;          ///< kind of emitter
    float3 direction;          ///< unit vector from the scene towards the source
    int32_t reserved0[3];      ///< 0
    int32_t spectral_offset;   ///< start of the per-band irradiance (W m^-2 per band, normal incidence)
    int32_t reserved1[12];     ///< 0
};
static_assert(sizeof(EmitterData) == 80, "EmitterData is 80 bytes");
static_assert(offsetof(EmitterData, type) == 0, "EmitterData.type");
static_assert(offsetof(EmitterData, direction) == 4, "EmitterData.direction");
static_assert(offsetof(EmitterData, reserved0) == 16, "EmitterData.reserved0");
static_assert(offsetof(EmitterData, spectral_offset) == 28, "EmitterData.spectral_offset");
static_assert(offsetof(EmitterData, reserved1) == 32, "EmitterData.reserved1");

/// Sensor kinds interpreted by the CPU backward renderer.
enum SensorType : int32_t {
    kSensorOrthographic = 0,
    kSensorPerspective = 1,
    kSensorFisheye = 4,
};

/// Fisheye mappings from normalised image radius to zenith angle.
enum FisheyeProjection : int32_t {
    kFisheyeEquisolid = 0,
    kFisheyeEquidistant = 1,
    kFisheyeOrthographic = 2,
    kFisheyeStereographic = 3,
};

struct SensorData {
    int32_t type;            ///< SensorType
    int32_t width;           ///< image width in pixels
    int32_t height;          ///< image height in pixels
    /// Camera-to-world 4x4 row-major: columns are the camera x, y, z axes and
    /// the position; the camera looks along -z. Row 3 is not read on the CPU.
    float cam_xform[16];
    float fov;               ///< full field of view in radians
    int32_t reserved0[3];    ///< 0
    float ortho_w;           ///< orthographic footprint width, world units
    float ortho_h;           ///< orthographic footprint height, world units
    int32_t reserved1[7];    ///< 0
    int32_t projection_type; ///< FisheyeProjection (fisheye only)
    int32_t reserved2;       ///< 0
};
static_assert(sizeof(SensorData) == 136, "SensorData is 136 bytes");
static_assert(offsetof(SensorData, type) == 0, "SensorData.type");
static_assert(offsetof(SensorData, width) == 4, "SensorData.width");
static_assert(offsetof(SensorData, height) == 8, "SensorData.height");
static_assert(offsetof(SensorData, cam_xform) == 12, "SensorData.cam_xform");
static_assert(offsetof(SensorData, fov) == 76, "SensorData.fov");
static_assert(offsetof(SensorData, reserved0) == 80, "SensorData.reserved0");
static_assert(offsetof(SensorData, ortho_w) == 92, "SensorData.ortho_w");
static_assert(offsetof(SensorData, ortho_h) == 96, "SensorData.ortho_h");
static_assert(offsetof(SensorData, reserved1) == 100, "SensorData.reserved1");
static_assert(offsetof(SensorData, projection_type) == 128, "SensorData.projection_type");
static_assert(offsetof(SensorData, reserved2) == 132, "SensorData.reserved2");

}  // namespace vorn
