// The CPU scene: the shared scene description turned into a two-level Embree
// acceleration structure (one Embree scene per mesh, a top-level scene of
// instances), and the two ray queries every CPU engine uses.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "core/hit.h"
#include "embree/embree_compat.h"
#include "scene/scene_description.h"

namespace vorn::embree {

/// Hits closer than this (in units of the direction's length) are the
/// surface a ray starts on.
constexpr float kTnear = 1e-4f;

/// Ready-to-shade closest hit (core/hit.h, shared with the device programs).
/// On a miss every field is zero or false.
using RayHit = SurfaceHit;

/// Per instance, filled by build: which mesh and which material a hit means,
/// and how its normals reach world space.
struct InstanceInfo {
    int32_t mesh_id;
    int32_t material_id;
    bool flat;                        ///< its mesh's triangles sit in the top scene itself
    NormalTransform normal_to_world;  ///< of its current transform
    const float3* corners;            ///< its mesh's triangle corners, 3 per triangle
};

class EmbreeSceneManager : public SceneDescription {
public:
    EmbreeSceneManager();
    ~EmbreeSceneManager();
    EmbreeSceneManager(const EmbreeSceneManager&) = delete;
    EmbreeSceneManager& operator=(const EmbreeSceneManager&) = delete;

    void build();
    void build_reuse_gas();
    void clear_for_reuse();
    void update_instance_transform(int id, const float xform[12]);
    void refit_ias();
    /// When set (the default) and every mesh is shown by exactly one instance,
    /// untransformed, build puts the meshes straight into the top scene
    /// instead of behind instances of their own: the same hits, one
    /// acceleration structure fewer to descend. Cleared, every instance is an
    /// Embree instance (the two-level layout); benchmarks and tests compare
    /// the two.
    bool flatten_single_instances = true;
    /// How shadow rays towards the sun are traced: Auto through a
    /// SunShadowGrid (embree/sun_shadows.h) when a call casts enough of them
    /// to pay for one, Grid always, Embree never. The answers are the same;
    /// benchmarks and tests compare the two.
    enum class SunShadows { Auto, Grid, Embree };
    SunShadows sun_shadows = SunShadows::Auto;
    /// True when the scene holds at least one mesh.
    bool has_gpu_meshes() const { return !meshes.empty(); }

    /// Closest hit from tnear = 1e-4; t is in units of |direction|. A ray
    /// Embree cannot take (see ray_in_range) is a miss, counted in
    /// rejected_rays().
    RayHit trace_ray(const float3& origin, const float3& direction) const;
    /// trace_ray of n rays (hits[i] for origins[i], directions[i]), traced as
    /// packets: rays that start together in nearly one direction stay together
    /// through the acceleration structure. Each hit is exactly trace_ray's.
    void trace_rays(const float3* origins, const float3* directions, int n,
                    RayHit* hits) const;
    /// True when anything lies between 1e-4 and tfar (units of |direction|).
    /// A ray Embree cannot take is unoccluded, counted in rejected_rays().
    bool trace_shadow(const float3& origin, const float3& direction, float tfar) const;
    /// True when an instance's transform changed since the last build or
    /// refit_ias: Embree's top scene does not know it yet.
    bool transforms_pending() const { return transforms_pending_; }
    /// Rays refused by trace_ray and trace_shadow since the scene was made.
    uint64_t rejected_rays() const { return rejected_rays_.load(); }

    const std::vector<InstanceInfo>& instance_infos() const { return instance_infos_; }

private:
    /// What Embree reports of a closest hit.
    struct EmbreeHit {
        float t, u, v;
        unsigned geom_id, inst_id, prim_id;
    };
    RayHit surface_hit(const float3& origin, const float3& direction, const EmbreeHit& e) const;
    void release_scenes();
    RTCGeometry new_mesh_geometry(const Mesh& mesh);
    RTCScene mesh_scene(size_t m);
    void attach_instance_geometry(size_t i);
    void check_device_error(const char* step);

    RTCDevice device_ = nullptr;
    RTCScene top_scene_ = nullptr;
    std::vector<InstanceInfo> instance_infos_;
    std::vector<RTCScene> mesh_scenes_;  ///< per mesh, made when an instance needs it
    /// Per mesh, the corners of each triangle in index order, copied at build
    /// (36 bytes a triangle): a hit reads its triangle from one place instead
    /// of its indices first and then three vertices, which for a mesh larger
    /// than the caches costs two dependent misses per hit.
    std::vector<std::vector<float3>> corners_;
    std::string embree_error_;  ///< first message of Embree's error callback
    mutable std::atomic<uint64_t> rejected_rays_{0};
    bool transforms_pending_ = false;
};

}  // namespace vorn::embree
