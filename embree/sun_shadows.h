// Shadow rays towards the sun without the acceleration structure. Every
// shadow ray of next-event estimation runs along one direction, the sun's, so
// seen along that direction the scene is a flat picture: a ray is a point of
// it, and the only triangles it can meet are those whose outline covers that
// point and that lie above its origin. SunShadowGrid keeps, per cell of that
// picture, the triangles overlapping it, highest first, with what each one's
// test needs on one cache line; a query reads one cell and tests a few
// triangles instead of descending Embree's tree.
//
// Its answers are Embree's: a triangle decides a query only when the ray
// clearly passes through it or clearly misses it, by a margin far above the
// rounding of both tests; a ray within that margin of an edge, or meeting a
// triangle within it of tnear or tfar, is handed to trace_shadow. Images are
// therefore the same bit for bit whichever way their shadow rays went.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "embree/scene_manager.h"
#include "scene/world_primitives.h"

namespace vorn::embree {

/// Beyond these a grid answers no faster than Embree's tree: a query tests
/// about half the triangles of its cell, each a memory access, and once the
/// grid outgrows the caches beside Embree's tree those accesses go to memory
/// (a canopy of 100,000 triangles: 5.9 per cell but 17 MB, queries 0.89 of
/// Embree's time alone and slower than Embree among the renderer's rays; of
/// 4,000 triangles: 0.6 MB, 0.4 of Embree's time).
struct SunGridLimits {
    size_t max_bytes = size_t(4) << 20;  ///< about 30,000 sparse triangles
    double max_per_cell = 8.0;           ///< triangles per cell on average
};

class SunShadowGrid {
public:
    /// The grid of `scene`'s triangles as `world` places them (its
    /// fill_world_primitives as the scene is now), for rays along `sun` (a
    /// unit vector). Empty (every query goes to the scene) when the scene has
    /// no triangles or the grid would exceed `limits`.
    SunShadowGrid(const EmbreeSceneManager& scene, const WorldPrimitives& world, float3 sun,
                  SunGridLimits limits = {});

    /// True when the grid holds triangles; otherwise every query is the scene's.
    bool built() const { return !cells_.empty(); }
    /// The direction the grid answers for.
    float3 direction() const { return s_; }
    /// Exactly scene.trace_shadow(o, direction(), tfar).
    bool occluded(const float3& o, float tfar) const;
    /// Bytes the grid holds.
    size_t bytes() const;

    /// One triangle: U = k2 - x2 . o and V = k1 - x1 . o are the ray's
    /// barycentric weights scaled by ad (inside: U, V >= 0, U + V <= ad),
    /// T = kn - n . o its distance scaled by ad; times the reach of the
    /// coordinates, uv_margin and t_margin bound the rounding of U, V and T.
    struct alignas(64) Triangle {
        float x1[3], k1;
        float x2[3], k2;
        float n[3], kn;
        float ad, uv_margin, t_margin, unused;
    };
    /// A triangle in a cell and its highest point over the cell along the sun.
    struct Entry {
        float bound;
        uint32_t triangle;
    };

private:
    const EmbreeSceneManager* scene_;
    float3 s_, a_, b_;  ///< the sun and two directions across it
    float u0_ = 0.0f, v0_ = 0.0f, inv_cell_ = 0.0f;
    int32_t nu_ = 0, nv_ = 0;
    float reach_ = 0.0f;  ///< largest |x| + |y| + |z| of a placed corner
    std::vector<uint32_t> cells_;  ///< cell c's entries are [cells_[c], cells_[c + 1])
    std::vector<Entry> entries_;
    std::vector<Triangle> triangles_;
};

/// The grid for a call casting about `shadow_rays` shadow rays along `sun`,
/// over `world` (the scene's world primitives, when the call has them),
/// or null when the scene's sun_shadows says Embree, when an instance's
/// transform awaits refit_ias, or (Auto) when too few
/// rays would pay for building it or it would exceed the default limits.
/// Grid builds it whatever its density, up to 1 GiB.
std::unique_ptr<SunShadowGrid> sun_grid_for(const EmbreeSceneManager& scene, float3 sun,
                                            double shadow_rays,
                                            const WorldPrimitives* world = nullptr);

/// The CPU scene as a tracer (core/backward_path.h) whose shadow rays along
/// the grid's direction are answered by the grid, when there is one.
struct SunShadowTracer {
    const EmbreeSceneManager& scene;
    const SunShadowGrid* grid;

    RayHit trace_ray(const float3& o, const float3& d) const { return scene.trace_ray(o, d); }
    void trace_rays(const float3* o, const float3* d, int n, RayHit* hits) const {
        scene.trace_rays(o, d, n, hits);
    }
    bool trace_shadow(const float3& o, const float3& d, float tfar) const {
        if (grid && grid->built()) {
            const float3 s = grid->direction();
            if (d.x == s.x && d.y == s.y && d.z == s.z) return grid->occluded(o, tfar);
        }
        return scene.trace_shadow(o, d, tfar);
    }
};

}  // namespace vorn::embree
