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

/// True when coordinate c (direction component dc) lies outside [0, size]
/// further than the tile exit can tell apart from "just entered".
VORN_HD bool outside_tile_axis(float c, float size, float dc) {
    if (c < 0.0f) return !(dc > 0.0f && -c <= kPeriodicMinT * dc);
    if (c > size) return !(dc < 0.0f && c - size <= -kPeriodicMinT * dc);
    return false;
}

/// c brought into [0, size) by whole periods. A point closer to the side it
/// heads for than the tile exit resolves goes one period further, just
/// outside the opposite side, where the exit skips the side behind it.
VORN_HD float wrap_coordinate(float c, float size, float dc) {
    float r = c - f_floor(c / size) * size;
    if (!(r >= 0.0f && r < size)) r = 0.0f;  // rounding of the product at the far side
    if (dc < 0.0f && r <= -kPeriodicMinT * dc) r += size;
    if (dc > 0.0f && size - r <= kPeriodicMinT * dc) r -= size;
    return r;
}

/// A ray starting outside the tile (a photon start displaced sideways past a
/// side, a scattering point or shadow-ray origin on geometry that sticks out
/// of the tile) would take the side it enters through for its exit and be
/// wrapped away from the scene for good. Under periodicity the same origin
/// whole tiles over is the same ray, so it is moved there. Returns false when
/// the origin lies in the tile and needs no move.
VORN_HD bool shift_into_tile(const PeriodicTile& tile, float3& o, float3 d) {
    const float sx = tile.scene_x_size, sy = tile.scene_y_size;
    const bool out_x = outside_tile_axis(o.x, sx, d.x);
    const bool out_y = outside_tile_axis(o.y, sy, d.y);
    if (!out_x && !out_y) return false;
    if (out_x) o.x = wrap_coordinate(o.x, sx, d.x);
    if (out_y) o.y = wrap_coordinate(o.y, sy, d.y);
    return true;
}

/// One tile crossing of a ray that found nothing: from outside the tile the
/// origin is shifted into it by whole periods (*t = 0), from inside it moves
/// to the exit and wraps (*t = distance). Returns false when neither applies.
VORN_HD bool continue_through_tile(const PeriodicTile& tile, float3& o, float3 d, float* t) {
    if (shift_into_tile(tile, o, d)) {
        *t = 0.0f;
        return true;
    }
    return exit_and_wrap(tile, o, d, t);
}

/// True while a ray that has crossed the tile `wraps` times may cross it again.
VORN_HD bool may_cross_tile(const PeriodicTile& tile, int wraps) {
    return wraps < tile.num_repetitions && tile.active();
}

/// True when a ray at o heading along d has left everything below top behind:
/// it climbs and already lies above the scene's highest point.
VORN_HD bool above_scene(float3 o, float3 d, float top) {
    return d.z > 0.0f && o.z > top;
}

/// Shadow test through the repeated tile. Tracer supplies
/// `bool trace_shadow(const float3& o, const float3& d, float tfar) const`
/// (the CPU scene, or a device-side wrapper around the ray-tracing call).
/// `max_height` is the scene's highest point: once the ray climbs above it, it
/// can meet nothing in any further tile copy, so it is not wrapped on.
template <class Tracer>
VORN_HD bool occluded_periodic(const Tracer& tracer, const PeriodicTile& tile, float3 d,
                               float3 o, float max_height) {
    if (tracer.trace_shadow(o, d, kPeriodicFar)) return true;
    if (!tile.active()) return false;
    float remaining = kPeriodicFar;
    for (int i = 0; i < tile.num_repetitions; ++i) {
        float t = 0.0f;
        if (!continue_through_tile(tile, o, d, &t)) return false;
        remaining -= t;
        if (remaining <= 0.0f || above_scene(o, d, max_height)) return false;
        if (tracer.trace_shadow(o, d, remaining)) return true;
    }
    return false;
}

}  // namespace vorn
