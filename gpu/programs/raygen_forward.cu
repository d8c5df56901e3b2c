// Forward ray generation: one photon per launch index, batch `sample_index`
// of photons laid out 1024 to a row. Photon i of batch k is photon
// k * batch_stride + i of the whole run, seeded as the CPU tracer seeds that
// photon, and transported by the CPU tracer's own loop
// (core/forward_photon.h). Tallies go straight into the global buffers with
// double-precision atomics, so only their order of summation differs from
// the CPU's.
#include "core/forward_photon.h"
#include "core/scene_view.h"
#include "gpu/programs/device_tracer.h"

VORN_LAUNCH_PARAMS(vorn::LaunchParams, params)

namespace vorn::dev {

/// The forward block's tallies; a null buffer switches its tally off.
struct AtomicSink {
    double *grid, *leaf, *terrain, *brf, *albedo;
    VORN_DEVICE bool has_leaf() const { return leaf != nullptr; }
    VORN_DEVICE bool has_terrain() const { return terrain != nullptr; }
    VORN_DEVICE bool has_brf() const { return brf != nullptr; }
    VORN_DEVICE bool has_albedo() const { return albedo != nullptr; }
    VORN_DEVICE void add_grid(int64_t i, double e) { atomic_add(grid + i, e); }
    VORN_DEVICE void add_leaf(int64_t i, double e) { atomic_add(leaf + i, e); }
    VORN_DEVICE void add_terrain(int b, double e) { atomic_add(terrain + b, e); }
    VORN_DEVICE void add_brf(int64_t i, double e) { atomic_add(brf + i, e); }
    VORN_DEVICE void add_albedo(int b, double e) { atomic_add(albedo + b, e); }
};

VORN_DEVICE ForwardConfig forward_config(const ForwardBlock& f, int nb) {
    ForwardConfig cfg;
    cfg.grid = ForwardGrid{int32_t(f.grid_nx), int32_t(f.grid_ny), int32_t(f.grid_nz),
                           f.grid_dx, f.grid_dy, f.layers};
    cfg.photon_e = f.photon_e;
    cfg.prob_sun = f.prob_sun;
    cfg.max_depth = params.max_depth;
    cfg.rr_depth = params.rr_depth;
    cfg.brf_dirs = f.brf_dirs;
    cfg.num_brf_dirs = f.brf_dirs ? f.num_brf_dirs : 0;
    cfg.terrain_instance_id = f.terrain_instance_id;
    const bool leaf = f.per_leaf && f.leaf && f.leaf_offsets && f.num_triangles > 0;
    cfg.leaf_offsets = leaf ? f.leaf_offsets : nullptr;
    // Hit instances come from the IAS and are valid indices; the tally index
    // itself is bounded by num_leaf_values.
    cfg.num_instances = leaf ? INT32_MAX : 0;
    cfg.num_leaf_values = leaf ? int64_t(f.num_triangles) * nb : 0;
    return cfg;
}

VORN_DEVICE void raygen_forward() {
    const ForwardBlock& f = params.forward;
    const UInt3 li = launch_index();
    const uint32_t i = li.y * params.launch_width + li.x;
    if (int64_t(i) >= int64_t(f.batch_photons)) return;
    // The tallies' band count, which the host may take from the request.
    SceneView sv = scene_view_from_record(params.scene);
    sv.nb = int32_t(params.num_bands);
    if (sv.nb > kMaxDeviceBands || f.fpar == nullptr || f.layers == nullptr) return;
    const ForwardConfig cfg = forward_config(f, sv.nb);
    AtomicSink sink{f.fpar, cfg.leaf_offsets ? f.leaf : nullptr, f.terrain,
                    f.brf_dirs ? f.brf : nullptr, f.albedo};
    // Full batches hold batch_stride photons; every batch but the last is full.
    const uint64_t stride = f.batch_stride ? f.batch_stride : params.num_rays;
    const uint64_t index = uint64_t(params.sample_index) * stride + i;
    double energy[kMaxDeviceBands];
    trace_photon(OptixTracer{params.scene.ias_handle}, sv, cfg, index, energy, sink);
}

}  // namespace vorn::dev

VORN_PROGRAM(__raygen__forward) { vorn::dev::raygen_forward(); }
