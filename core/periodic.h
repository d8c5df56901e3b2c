// Rays through the periodic scene tile [0, sx] x [0, sy]: a ray that leaves
// the tile through a side re-enters through the opposite one, a bounded
// number of times per ray.
#pragma once

#include "core/hd.h"
#include "scene/settings.h"
#include "scene/types.h"

namespace vorn {

/// Length used for "unbounded" rays; larger tile crossings do not count.
constexpr float kPeriodicFar = 1e16f;
/// Crossings closer than this are the side the ray has just entered through.
constexpr float kPeriodicMinT = 1e-4f;
/// Direction components below this never reach a side of the tile.
constexpr float kPeriodicMinDir = 1e-8f;

/// Which side of the tile a ray leaves through.
enum class TileAxis : int { None = -1, X = 0, Y = 1 };

struct TileExit {
    float t;        ///< distance along d to the exit (valid when axis != None)
    TileAxis axis;  ///< slab crossed
};

/// Nearest crossing of a tile side ahead of o. x is examined first, so on an
/// exact tie (a corner) the x side wins.
VORN_HD TileExit tile_exit(const PeriodicTile& tile, float3 o, float3 d) {
    TileExit best{kPeriodicFar, TileAxis::None};
    auto consider = [&best](float t, TileAxis axis) {
        if (t > kPeriodicMinT && t < kPeriodicFar && t < best.t) best = TileExit{t, axis};
    };
    if (f_abs(d.x) > kPeriodicMinDir) {
        consider(-o.x / d.x, TileAxis::X);
        consider((tile.scene_x_size - o.x) / d.x, TileAxis::X);
    }
    if (f_abs(d.y) > kPeriodicMinDir) {
        consider(-o.y / d.y, TileAxis::Y);
        consider((tile.scene_y_size - o.y) / d.y, TileAxis::Y);
    }
    return best;
}

/// Moves o to where the ray leaves the tile and wraps the crossed coordinate
/// to the opposite side. Returns false (o untouched) when the ray never
/// reaches a side; otherwise *t holds the distance travelled.
VORN_HD bool exit_and_wrap(const PeriodicTile& tile, float3& o, float3 d, float* t) {
    TileExit ex = tile_exit(tile, o, d);
    if (ex.axis == TileAxis::None) return false;
    o = o + ex.t * d;
    if (ex.axis == TileAxis::X) {
        o.x += d.x > 0.0f ? -tile.scene_x_size : tile.scene_x_size;
    } else {
        o.y += d.y > 0.0f ? -tile.scene_y_size : tile.scene_y_size;
    }
    *t = ex.t;
    return true;
}

/// Shadow test through the repeated tile. Tracer supplies
/// `bool trace_shadow(const float3& o, const float3& d, float tfar) const`
/// (the CPU scene, or a device-side wrapper around the ray-tracing call).
template <class Tracer>
VORN_HD bool occluded_periodic(const Tracer& tracer, const PeriodicTile& tile, float3 d,
                               float3 o) {
    if (tracer.trace_shadow(o, d, kPeriodicFar)) return true;
    if (!tile.active()) return false;
    float remaining = kPeriodicFar;
    for (int i = 0; i < tile.num_repetitions; ++i) {
        float t = 0.0f;
        if (!exit_and_wrap(tile, o, d, &t)) return false;
        remaining -= t;
        if (remaining <= 0.0f) return false;
        if (tracer.trace_shadow(o, d, remaining)) return true;
    }
    return false;
}

}  // namespace vorn
