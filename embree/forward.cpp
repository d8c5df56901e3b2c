#include "embree/forward.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <initializer_list>
#include <mutex>
#include <stdexcept>
#include <string>

#include "core/diagnostics.h"
#include "core/forward_photon.h"
#include "embree/scene_view.h"
#include "embree/workers.h"

namespace vorn::embree {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kWho = "simulate_forward_cpu";
/// Largest tally (values per thread) we agree to allocate: far above any real
/// grid, far below what would overflow the index arithmetic.
constexpr double kMaxTallyValues = 1e12;

std::runtime_error request_error(const std::string& what) {
    return std::runtime_error(std::string(kWho) + ": " + what);
}

/// Number of values of a tally with these dimensions, refusing sizes whose
/// products would overflow the index arithmetic.
size_t tally_size(std::initializer_list<int64_t> dims, const char* what) {
    double n = 1.0;
    for (int64_t d : dims) n *= double(d > 0 ? d : 0);
    if (n > kMaxTallyValues)
        throw request_error(std::string(what) + " would hold " + std::to_string(n) +
                            " values, more than can be allocated");
    size_t out = 1;
    for (int64_t d : dims) out *= size_t(d > 0 ? d : 0);
    return out;
}

/// The extent the photons are spread over: the periodic tile when it has a
/// size, else the sensor footprint.
void scene_extent(const EmbreeSceneManager& scene, float* w, float* h) {
    if (scene.tile.scene_x_size > 0.0f && scene.tile.scene_y_size > 0.0f) {
        *w = scene.tile.scene_x_size;
        *h = scene.tile.scene_y_size;
    } else {
        *w = scene.sensor.ortho_w;
        *h = scene.sensor.ortho_h;
    }
}

void check_request(const EmbreeSceneManager& scene, int nx, int ny, size_t num_layers,
                   float prob_sun, float w, float h) {
    if (num_layers < 2)
        throw std::runtime_error("layer_heights must have at least 2 entries");
    if (nx < 1 || ny < 1)
        throw request_error("nx and ny must be at least 1, got " + std::to_string(nx) +
                            " x " + std::to_string(ny));
    if (!(w > 0.0f) || !(h > 0.0f) || !std::isfinite(w) || !std::isfinite(h))
        throw request_error(
            "the scene extent must be positive (set_repetitive tile sizes, or "
            "the sensor's ortho_w and ortho_h), got " +
            std::to_string(w) + " x " + std::to_string(h));
    if (!(prob_sun >= 0.0f && prob_sun <= 1.0f))
        throw request_error("prob_sun must lie in [0, 1], got " +
                            std::to_string(prob_sun));
    const bool sky = scene.sky.hw_sky_offset >= 0 || scene.sky.sky_offset >= 0;
    if (!sky && prob_sun <= 0.0f)
        throw request_error(
            "prob_sun must be above 0 when no sky is set (every photon is a "
            "sun photon of weight photon_e / prob_sun)");
}

/// One worker's private tallies and its band scratch.
struct ThreadTallies {
    std::vector<double> grid, brf, albedo, terrain, energy;
};

/// Adds into one worker's arrays; the shared per-leaf tally under its lock.
/// A null array means the feature is off for this run.
struct CpuForwardSink {
    double* grid;
    double* brf;
    double* albedo;
    double* terrain;
    double* leaf;
    std::mutex* leaf_lock;

    bool has_leaf() const { return leaf != nullptr; }
    bool has_terrain() const { return terrain != nullptr; }
    bool has_brf() const { return brf != nullptr; }
    bool has_albedo() const { return albedo != nullptr; }
    void add_grid(int64_t i, double e) { grid[i] += e; }
    void add_brf(int64_t i, double e) { brf[i] += e; }
    void add_albedo(int b, double e) { albedo[b] += e; }
    void add_terrain(int b, double e) { terrain[b] += e; }
    void add_leaf(int64_t i, double e) {
        std::lock_guard<std::mutex> guard(*leaf_lock);
        leaf[i] += e;
    }
};

/// What the workers of one call share. They read it, except for the photon
/// counter and the per-leaf tally.
struct RunContext {
    const EmbreeSceneManager* scene = nullptr;
    SceneView view;
    ForwardConfig cfg{};
    std::vector<float> layers;
    std::vector<int64_t> leaf_offsets;
    std::vector<double> leaf;
    std::mutex leaf_lock;
    bool brf_on = false, albedo_on = false, terrain_on = false;
    int64_t batch_start = 0;
    int batch_size = 0;
    std::atomic<int> next{0};
    std::atomic<bool> stop{false};  ///< raised when a worker fails
};

void trace_photons(RunContext& ctx, ThreadTallies& t) {
    CpuForwardSink sink{t.grid.data(),
                        ctx.brf_on ? t.brf.data() : nullptr,
                        ctx.albedo_on ? t.albedo.data() : nullptr,
                        ctx.terrain_on ? t.terrain.data() : nullptr,
                        ctx.leaf.empty() ? nullptr : ctx.leaf.data(),
                        &ctx.leaf_lock};
    for (int i = ctx.next.fetch_add(1); i < ctx.batch_size && !ctx.stop;
         i = ctx.next.fetch_add(1))
        trace_photon(*ctx.scene, ctx.view, ctx.cfg, uint64_t(ctx.batch_start + i),
                     t.energy.data(), sink);
}

/// Runs one batch on fresh threads and joins them all; a failed start or a
/// throwing worker stops the others and leaves after the join.
void run_batch(RunContext& ctx, std::vector<ThreadTallies>& tallies) {
    ctx.next.store(0);
    run_workers(int(tallies.size()), ctx.stop,
                [&](int t) { trace_photons(ctx, tallies[size_t(t)]); });
}

/// Sum of one tally over the workers, in worker order, as float.
std::vector<float> merge(const std::vector<ThreadTallies>& tallies,
                         std::vector<double> ThreadTallies::*member, size_t n) {
    std::vector<double> sum(n, 0.0);
    for (const ThreadTallies& t : tallies)
        for (size_t i = 0; i < n; ++i) sum[i] += (t.*member)[i];
    return std::vector<float>(sum.begin(), sum.end());
}

void setup_leaf_tally(RunContext& ctx, const EmbreeSceneManager& scene, int nb) {
    const std::vector<int> counts = scene.instance_triangle_counts();
    ctx.leaf_offsets.assign(counts.size() + 1, 0);
    for (size_t i = 0; i < counts.size(); ++i)
        ctx.leaf_offsets[i + 1] = ctx.leaf_offsets[i] + counts[i];
    const int64_t total = ctx.leaf_offsets.back();
    ctx.leaf.assign(tally_size({total, nb}, "the per-leaf tally"), 0.0);
    ctx.cfg.leaf_offsets = ctx.leaf_offsets.data();
    ctx.cfg.num_instances = int32_t(counts.size());
    ctx.cfg.num_leaf_values = int64_t(ctx.leaf.size());
}

/// Per-worker tallies of the sizes the run needs (a feature that is off
/// keeps a one-value placeholder the worker is never handed).
std::vector<ThreadTallies> make_thread_tallies(const RunContext& ctx, int threads,
                                               const ForwardTallies& sizes) {
    std::vector<ThreadTallies> tallies(static_cast<size_t>(threads));
    const size_t nb = size_t(sizes.nb);
    for (ThreadTallies& t : tallies) {
        t.grid.assign(sizes.grid.size(), 0.0);
        t.brf.assign(ctx.brf_on ? sizes.brf.size() : 1, 0.0);
        t.albedo.assign(ctx.albedo_on ? nb : 1, 0.0);
        t.terrain.assign(ctx.terrain_on ? nb : 1, 0.0);
        t.energy.assign(nb > 0 ? nb : 1, 0.0);
    }
    return tallies;
}

/// Fills everything the workers share from the request.
void setup_context(RunContext& ctx, const EmbreeSceneManager& scene, int nx, int ny,
                   const std::vector<float>& layer_heights, int num_photons, int nb,
                   bool per_leaf, float prob_sun, const float* brf_directions,
                   int num_brf_dirs, int max_depth, int rr_depth,
                   int terrain_instance_id) {
    float w = 0.0f, h = 0.0f;
    scene_extent(scene, &w, &h);
    check_request(scene, nx, ny, layer_heights.size(), prob_sun, w, h);
    const int nz = int(layer_heights.size()) - 1;
    ctx.scene = &scene;
    ctx.view = make_scene_view(scene);
    ctx.view.nb = nb;  // the request's band count, not the scene's
    ctx.layers = layer_heights;
    ForwardConfig& cfg = ctx.cfg;
    cfg.grid = ForwardGrid{nx, ny, nz, w / float(nx), h / float(ny), ctx.layers.data()};
    cfg.photon_e = num_photons > 0 ? double(w) * double(h) / double(num_photons) : 0.0;
    cfg.prob_sun = prob_sun;
    cfg.max_depth = max_depth;
    cfg.rr_depth = rr_depth;
    cfg.brf_dirs = num_brf_dirs >= 1 ? brf_directions : nullptr;
    cfg.num_brf_dirs = num_brf_dirs >= 1 ? num_brf_dirs : 0;
    cfg.terrain_instance_id = terrain_instance_id;
    if (per_leaf) setup_leaf_tally(ctx, scene, nb);
    ctx.brf_on = int64_t(cfg.num_brf_dirs) * nb >= 1;
    ctx.albedo_on = cfg.num_brf_dirs >= 1;
    ctx.terrain_on = terrain_instance_id >= 0;
}

/// The result record, zero-filled with the documented sizes.
ForwardTallies empty_result(const RunContext& ctx, int nb) {
    const ForwardGrid& g = ctx.cfg.grid;
    ForwardTallies out;
    out.nx = g.nx;
    out.ny = g.ny;
    out.nz = g.nz;
    out.nb = nb;
    out.grid.assign(tally_size({g.nx, g.ny, g.nz, nb}, "the grid"), 0.0f);
    if (ctx.brf_on)
        out.brf.assign(tally_size({ctx.cfg.num_brf_dirs, nb}, "the BRF tally"), 0.0f);
    if (ctx.albedo_on) out.albedo.assign(size_t(nb), 0.0f);
    if (ctx.terrain_on) out.terrain.assign(size_t(nb), 0.0f);
    return out;
}

}  // namespace

ForwardTallies render_forward(EmbreeSceneManager& scene, int nx, int ny,
                              const std::vector<float>& layer_heights, int num_photons,
                              int num_bands, bool per_leaf, float prob_sun,
                              const float* brf_directions, int num_brf_dirs,
                              int max_depth, int rr_depth, int num_threads,
                              std::function<void(int, int, float)> progress,
                              int terrain_instance_id) {
    const int nb = num_bands;
    scene.validate_for_engine(nb, kWho, false);
    max_depth = max_depth_override(max_depth, "[CPU fwd]");
    RunContext ctx;
    setup_context(ctx, scene, nx, ny, layer_heights, num_photons, nb, per_leaf, prob_sun,
                  brf_directions, num_brf_dirs, max_depth, rr_depth, terrain_instance_id);
    ForwardTallies out = empty_result(ctx, nb);
    const int threads = resolve_threads(num_threads);
    std::vector<ThreadTallies> tallies = make_thread_tallies(ctx, threads, out);

    diag_printf(DiagStream::Out,
                "Forward fPAR (CPU): %d photons, grid %dx%dx%d, %d bands, %d threads\n",
                num_photons, nx, ny, out.nz, nb, threads);
    const Clock::time_point start = Clock::now();
    for (int64_t done = 0; done < num_photons;) {
        ctx.batch_start = done;
        ctx.batch_size = int(std::min<int64_t>(kForwardBatchPhotons, num_photons - done));
        run_batch(ctx, tallies);
        done += ctx.batch_size;
        if (progress) {
            const std::chrono::duration<double, std::milli> ms = Clock::now() - start;
            progress(int(done), num_photons, float(ms.count()));
        }
    }

    out.grid = merge(tallies, &ThreadTallies::grid, out.grid.size());
    out.brf = merge(tallies, &ThreadTallies::brf, out.brf.size());
    out.albedo = merge(tallies, &ThreadTallies::albedo, out.albedo.size());
    out.terrain = merge(tallies, &ThreadTallies::terrain, out.terrain.size());
    out.leaf.assign(ctx.leaf.begin(), ctx.leaf.end());
    return out;
}

}  // namespace vorn::embree
