// The camera side of a backward sample: its random stream, the camera ray of
// a pixel for each sensor type, terrain following and the entry of the ray
// into the periodic scene tile. Shared by the CPU renderer and the device
// programs through core/backward_path.h.
#pragma once

#include <cstdint>

#include "core/hd.h"
#include "core/pcg32.h"
#include "core/periodic.h"
#include "scene/records.h"
#include "scene/settings.h"
#include "scene/types.h"

namespace vorn {

/// Terrain following starts the orthographic ray this far back along -d.
constexpr float kTerrainBackoff = 100000.0f;
/// Tile entry keeps the origin this far inside the tile sides.
constexpr float kTileInset = 0.001f;

// ---- seeding ---------------------------------------------------------------

/// The stream of one pixel sample: depends only on the pass, the pixel and
/// the call's seed, so the image does not depend on which thread (or launch
/// index) renders it.
VORN_HD void seed_pixel_sample(Pcg32& rng, int pass, int32_t pixel_index, uint64_t seed = 0) {
    seed_stream(rng, StreamKind::CameraSample, uint64_t(uint32_t(pass)),
                uint64_t(uint32_t(pixel_index)), seed);
}

// ---- camera ----------------------------------------------------------------

/// Column c (camera x, y, z axis or position) of the row-major camera matrix.
VORN_HD float3 camera_column(const SensorData& s, int c) {
    return make_f3(s.cam_xform[c], s.cam_xform[4 + c], s.cam_xform[8 + c]);
}

VORN_HD float3 camera_to_world(const SensorData& s, float3 v) {
    return normalize(v.x * camera_column(s, 0) + v.y * camera_column(s, 1) +
                     v.z * camera_column(s, 2));
}

/// Zenith angle of a fisheye sample at normalised radius r. Returns false
/// when r lies outside the mapping's image circle.
VORN_HD bool fisheye_theta(int projection, float r, float fov, float* theta) {
    switch (projection) {
        case kFisheyeEquisolid: {
            float q = 2.0f * r * f_sin(0.25f * fov);
            if (q > 1.0f) return false;
            *theta = 2.0f * f_asin(q);
            return true;
        }
        case kFisheyeEquidistant:
            *theta = 2.0f * r * (0.5f * fov);
            return true;
        case kFisheyeOrthographic: {
            float q = 2.0f * r * f_sin(0.5f * fov);
            if (q > 1.0f) return false;
            *theta = f_asin(q);
            return true;
        }
        default:  // stereographic
            *theta = 2.0f * f_atan(2.0f * r * f_tan(0.25f * fov));
            return true;
    }
}

/// The camera ray through (u, v) in [-0.5, 0.5]^2. Returns false when the
/// sample has no ray (outside the fisheye circle, degenerate direction).
/// *check_ray is cleared for unknown sensor types, whose fixed nadir ray
/// skips the direction check and terrain following.
VORN_HD bool camera_ray(const SensorData& s, float u, float v, float3* o, float3* d,
                        bool* check_ray) {
    *check_ray = true;
    switch (s.type) {
        case kSensorPerspective: {
            float tau = f_tan(0.5f * s.fov);
            float aspect = float(s.width) / float(s.height);
            float3 dc =
                normalize(make_f3(2.0f * u * tau * aspect, 2.0f * v * tau, -1.0f));
            *d = camera_to_world(s, dc);
            *o = camera_column(s, 3);
            return true;
        }
        case kSensorOrthographic:
            *o = (u * s.ortho_w) * camera_column(s, 0) +
                 (v * s.ortho_h) * camera_column(s, 1) + camera_column(s, 3);
            *d = normalize(-camera_column(s, 2));
            return true;
        case kSensorFisheye: {
            float theta = 0.0f;
            if (!fisheye_theta(s.projection_type, f_sqrt(u * u + v * v), s.fov, &theta))
                return false;
            if (theta > 0.5f * s.fov) return false;
            float phi = f_atan2(v, u);
            float st, ct, sp, cp;
            f_sincos(theta, &st, &ct);
            f_sincos(phi, &sp, &cp);
            *d = camera_to_world(s, make_f3(st * cp, st * sp, -ct));
            *o = camera_column(s, 3);
            return true;
        }
        default:
            *o = make_f3(0.0f, 0.0f, 100.0f);
            *d = make_f3(0.0f, 0.0f, -1.0f);
            *check_ray = false;
            return true;
    }
}

/// Orthographic rays of a terrain-following sensor start back along -d from
/// the terrain below their ground-plane crossing, so relief never hides under
/// the camera plane. The back-off is 1e5, but never more than it takes to
/// climb 1 m above the highest scene point: beyond that the ray only crosses
/// empty space, while at 1e5 a float origin carries about 8 mm of rounding,
/// enough to put the hit point under the surface it found.
template <class Tracer>
VORN_HD void follow_terrain(const Tracer& tracer, float3& o, float3 d, float max_height) {
    // A ray that never crosses the ground plane (d.z = 0: looking sideways)
    // has no terrain below it to follow.
    const float t_ground = -o.z / d.z;
    if (!(f_abs(t_ground) < 1e30f)) return;
    float3 ground = o + t_ground * d;
    auto h =
        tracer.trace_ray(make_f3(ground.x, ground.y, o.z), make_f3(0.0f, 0.0f, -1.0f));
    if (!h.hit) return;
    const float3 terrain = make_f3(ground.x, ground.y, o.z - h.t);
    float backoff = kTerrainBackoff;
    if (d.z < 0.0f) backoff = f_min(backoff, (max_height + 1.0f - terrain.z) / -d.z);
    o = terrain - f_max(backoff, 0.0f) * d;
}

/// Whole part of x (an int32 conversion towards zero), saturating where the
/// conversion would overflow.
VORN_HD float whole_part(float x) {
    if (x >= 2147483520.0f) return 2147483520.0f;
    if (x <= -2147483648.0f) return -2147483648.0f;
    return float(int32_t(x));
}

/// Shifts a reference coordinate q back into [0, size] by whole tiles.
VORN_HD float tile_shift(float q, float size) {
    if (q > size) return -whole_part(q / size) * size;
    if (q < 0.0f) return whole_part((size - q) / size) * size;
    return 0.0f;
}

/// Distance along d to where a ray from o outside [0, size] enters it on
/// one axis, or a negative value when it does not head inwards.
VORN_HD float tile_entry_t(float o, float d, float size) {
    float t = -1.0f;
    if (o > size && d < -kPeriodicMinDir)
        t = (size - o) / d;
    else if (o < 0.0f && d > kPeriodicMinDir)
        t = -o / d;
    return t > 0.0f ? t : -1.0f;
}

/// Keeps a coordinate just inside [0, size].
VORN_HD float tile_inset(float q, float size) {
    if (q < kTileInset) return kTileInset;
    if (q > size - kTileInset) return size - kTileInset;
    return q;
}

/// Brings a camera ray into the periodic tile: the whole-tile shift is taken
/// where the ray crosses the canopy top (the part of the scene it will see),
/// then a ray still outside the tile is advanced to its entry point.
VORN_HD void enter_tile(const PeriodicTile& tile, float max_height, float3& o, float3 d) {
    if (!tile.active()) return;
    const float sx = tile.scene_x_size, sy = tile.scene_y_size;
    float xq = o.x, yq = o.y;
    if (o.z > max_height && d.z < -kPeriodicMinDir) {
        float t = (max_height - o.z) / d.z;
        xq = o.x + t * d.x;
        yq = o.y + t * d.y;
    }
    o.x += tile_shift(xq, sx);
    o.y += tile_shift(yq, sy);
    if (o.x >= 0.0f && o.x <= sx && o.y >= 0.0f && o.y <= sy) return;
    float t = f_max(tile_entry_t(o.x, d.x, sx), tile_entry_t(o.y, d.y, sy));
    if (t <= 0.0f) return;
    o = o + t * d;
    o.x = tile_inset(o.x, sx);
    o.y = tile_inset(o.y, sy);
}

}  // namespace vorn
