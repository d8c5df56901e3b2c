#include "embree/forward.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <condition_variable>
#include <initializer_list>
#include <limits>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>

#include "core/diagnostics.h"
#include "core/forward_photon.h"
#include "embree/scene_view.h"
#include "embree/workers.h"
#include "scene/checks.h"
#include "scene/forward_request.h"

namespace vorn::embree {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kWho = "simulate_forward_cpu";
/// Largest tally (values per copy) we accept to allocate: far above any real
/// grid, far below what would overflow the index arithmetic.
constexpr double kMaxTallyValues = 1e12;

std::runtime_error request_error(const std::string& what) {
    return std::runtime_error(std::string(kWho) + ": " + what);
}

/// Number of values of a tally with these dimensions, refusing sizes whose
/// products would overflow the index arithmetic.
size_t tally_size(std::initializer_list<int64_t> dims, const char* what) {
    double n = 1.0;
    std::string shape;
    for (int64_t d : dims) {
        n *= double(d > 0 ? d : 0);
        shape += (shape.empty() ? "" : " x ") + std::to_string(d);
    }
    if (n > kMaxTallyValues)
        throw request_error(std::string(what) + " of " + shape +
                            " values is more than can be allocated");
    size_t out = 1;
    for (int64_t d : dims) out *= size_t(d > 0 ? d : 0);
    return out;
}

// ---- tallies of one chunk of photons ----------------------------------------
// Each chunk of kChunkPhotons consecutive photons is summed on its own and the
// chunks are added to the totals in chunk order, so every tally is the same
// sum of the same numbers whatever the thread count.

/// Photons per chunk; batches hold whole chunks.
constexpr int kChunkPhotons = 4000;
static_assert(kForwardBatchPhotons % kChunkPhotons == 0, "batches of whole chunks");

/// A dense tally summed over one chunk that remembers which entries it
/// touched, so that adding it to the totals (and clearing it) costs only those.
struct ChunkSum {
    std::vector<double> value;
    std::vector<int64_t> touched;

    void add(int64_t i, double e) {  // e > 0: a zero entry is an untouched one
        if (value[size_t(i)] == 0.0) touched.push_back(i);
        value[size_t(i)] += e;
    }
    void flush_into(std::vector<double>& total) {
        for (int64_t i : touched) {
            total[size_t(i)] += value[size_t(i)];
            value[size_t(i)] = 0.0;
        }
        touched.clear();
    }
};

/// What one chunk adds, and the band scratch of the worker tracing it. The
/// per-leaf tally (a value per triangle and band) is too large for a dense
/// copy per chunk: its additions are kept in photon order instead.
struct ChunkTallies {
    ChunkSum grid, brf, albedo, terrain;
    std::vector<std::pair<int64_t, double>> leaf;
    std::vector<double> energy;
};

struct Totals {
    std::vector<double> grid, brf, albedo, terrain, leaf;
};

/// The sink of core/forward_photon.h over one chunk's tallies.
struct ChunkSink {
    ChunkTallies* c;
    bool leaf_on, terrain_on, brf_on, albedo_on;

    bool has_leaf() const { return leaf_on; }
    bool has_terrain() const { return terrain_on; }
    bool has_brf() const { return brf_on; }
    bool has_albedo() const { return albedo_on; }
    void add_grid(int64_t i, double e) { c->grid.add(i, e); }
    void add_brf(int64_t i, double e) { c->brf.add(i, e); }
    void add_albedo(int b, double e) { c->albedo.add(b, e); }
    void add_terrain(int b, double e) { c->terrain.add(b, e); }
    void add_leaf(int64_t i, double e) { c->leaf.emplace_back(i, e); }
};

/// Hands out the chunks of a batch to the workers and adds finished chunks to
/// the totals strictly in chunk order: a chunk finished early waits in
/// `ready_` for its predecessors, and whichever worker finishes the awaited
/// chunk adds every chunk that is then in sequence. A pool of chunk tallies,
/// two more than workers, bounds the memory and the chunks kept waiting.
class ChunkMerger {
public:
    ChunkMerger(std::vector<ChunkTallies>& pool, Totals& totals) : totals_(totals) {
        for (ChunkTallies& c : pool) free_.push_back(&c);
    }

    void start_batch(int64_t first_chunk, int64_t end_chunk) {
        next_chunk_ = next_flush_ = first_chunk;
        end_chunk_ = end_chunk;
    }

    /// The next chunk and a free tally for it; false when none is left or
    /// the run was aborted.
    bool take(int64_t* chunk, ChunkTallies** c) {
        std::unique_lock<std::mutex> lk(lock_);
        freed_.wait(lk, [&] { return aborted_ || next_chunk_ >= end_chunk_ || !free_.empty(); });
        if (aborted_ || next_chunk_ >= end_chunk_) return false;
        *chunk = next_chunk_++;
        *c = free_.back();
        free_.pop_back();
        return true;
    }

    void finish(int64_t chunk, ChunkTallies* c) {
        std::unique_lock<std::mutex> lk(lock_);
        ready_[chunk] = c;
        if (flushing_) return;  // the worker flushing now will reach it
        flushing_ = true;
        while (!ready_.empty() && ready_.begin()->first == next_flush_) {
            ChunkTallies* done = ready_.begin()->second;
            ready_.erase(ready_.begin());
            lk.unlock();
            flush(*done);
            lk.lock();
            free_.push_back(done);
            ++next_flush_;
            freed_.notify_all();  // a waiter may also learn that no chunk is left
        }
        flushing_ = false;
    }

    /// Wakes every waiting worker for good (a worker failed).
    void abort() {
        std::lock_guard<std::mutex> g(lock_);
        aborted_ = true;
        freed_.notify_all();
    }

private:
    void flush(ChunkTallies& c) {
        c.grid.flush_into(totals_.grid);
        c.brf.flush_into(totals_.brf);
        c.albedo.flush_into(totals_.albedo);
        c.terrain.flush_into(totals_.terrain);
        for (const auto& [i, e] : c.leaf) totals_.leaf[size_t(i)] += e;
        c.leaf.clear();
    }

    Totals& totals_;
    std::mutex lock_;
    std::condition_variable freed_;
    std::vector<ChunkTallies*> free_;
    std::map<int64_t, ChunkTallies*> ready_;
    int64_t next_chunk_ = 0, end_chunk_ = 0, next_flush_ = 0;
    bool flushing_ = false, aborted_ = false;
};

// ---- the run -----------------------------------------------------------------

/// What the workers of one call share; they only read it, apart from the
/// merger and the stop flag.
struct RunContext {
    const EmbreeSceneManager* scene = nullptr;
    SceneView view;
    ForwardConfig cfg{};
    int64_t num_photons = 0;
    std::vector<float> layers;
    std::vector<int32_t> leaf_offsets;
    bool leaf_on = false, brf_on = false, albedo_on = false, terrain_on = false;
    std::atomic<bool> stop{false};  ///< raised when a worker fails
};

/// One worker: traces chunks until none is left.
void trace_chunks(RunContext& ctx, ChunkMerger& merger) {
    try {
        int64_t chunk = 0;
        ChunkTallies* c = nullptr;
        while (merger.take(&chunk, &c)) {
            ChunkSink sink{c, ctx.leaf_on, ctx.terrain_on, ctx.brf_on, ctx.albedo_on};
            const int64_t first = chunk * kChunkPhotons;
            const int64_t end = std::min<int64_t>(first + kChunkPhotons, ctx.num_photons);
            for (int64_t i = first; i < end && !ctx.stop; ++i)
                trace_photon(*ctx.scene, ctx.view, ctx.cfg, uint64_t(i), c->energy.data(),
                             sink);
            merger.finish(chunk, c);
        }
    } catch (...) {
        merger.abort();
        throw;
    }
}

/// Per-leaf offsets in the width the device buffers use; the total triangle
/// count must fit it.
void setup_leaf_tally(RunContext& ctx, const EmbreeSceneManager& scene) {
    const std::vector<int> counts = scene.instance_triangle_counts();
    int64_t total = 0;
    ctx.leaf_offsets.assign(1, 0);
    for (int c : counts) {
        total += c;
        if (total > INT32_MAX)
            throw request_error("the scene holds more than 2^31 - 1 triangles, more than "
                                "per-leaf offsets can index");
        ctx.leaf_offsets.push_back(int32_t(total));
    }
    ctx.cfg.leaf_offsets = ctx.leaf_offsets.data();
    ctx.cfg.num_instances = int32_t(counts.size());
}

/// Fills everything the workers share from the request.
void setup_context(RunContext& ctx, const EmbreeSceneManager& scene, int nx, int ny,
                   const std::vector<float>& layer_heights, int num_photons, int nb,
                   bool per_leaf, float prob_sun, const float* brf_directions,
                   int num_brf_dirs, int max_depth, int rr_depth,
                   int terrain_instance_id) {
    float w = 0.0f, h = 0.0f;
    forward_extent(scene, &w, &h);
    if (layer_heights.size() < 2)
        throw std::runtime_error("layer_heights must have at least 2 entries");
    check_forward_request(kWho, nx, ny, prob_sun, w, h);
    const int nz = int(layer_heights.size()) - 1;
    ctx.scene = &scene;
    ctx.view = make_scene_view(scene);
    ctx.view.nb = nb;  // the request's band count, not the scene's
    ctx.num_photons = num_photons > 0 ? num_photons : 0;
    ctx.layers = layer_heights;
    ForwardConfig& cfg = ctx.cfg;
    cfg.grid = ForwardGrid{nx, ny, nz, w / float(nx), h / float(ny), ctx.layers.data()};
    cfg.photon_e = num_photons > 0 ? double(w) * double(h) / double(num_photons) : 0.0;
    check_photon_weights(kWho, scene, prob_sun, cfg.photon_e);
    cfg.prob_sun = prob_sun;
    cfg.max_depth = max_depth;
    cfg.rr_depth = rr_depth;
    cfg.brf_dirs = num_brf_dirs >= 1 ? brf_directions : nullptr;
    cfg.num_brf_dirs = num_brf_dirs >= 1 ? num_brf_dirs : 0;
    cfg.terrain_instance_id = terrain_instance_id;
    cfg.leaf_offsets = nullptr;
    cfg.num_instances = 0;
    cfg.num_leaf_values = 0;
    if (per_leaf) setup_leaf_tally(ctx, scene);
    ctx.brf_on = int64_t(cfg.num_brf_dirs) * nb >= 1;
    ctx.albedo_on = cfg.num_brf_dirs >= 1;
    ctx.terrain_on = terrain_instance_id >= 0;
}

/// The result record, zero-filled with the documented sizes.
ForwardTallies empty_result(RunContext& ctx, int nb, bool per_leaf) {
    const ForwardGrid& g = ctx.cfg.grid;
    ForwardTallies out;
    out.nx = g.nx;
    out.ny = g.ny;
    out.nz = g.nz;
    out.nb = nb;
    allocate(out.grid, tally_size({g.nx, g.ny, g.nz, nb}, "the grid"), 0.0f, kWho, "the grid");
    if (ctx.brf_on)
        out.brf.assign(tally_size({ctx.cfg.num_brf_dirs, nb}, "the BRF tally"), 0.0f);
    if (ctx.albedo_on) out.albedo.assign(size_t(nb), 0.0f);
    if (ctx.terrain_on) out.terrain.assign(size_t(nb), 0.0f);
    if (per_leaf)
        allocate(out.leaf, tally_size({ctx.leaf_offsets.back(), nb}, "the per-leaf tally"),
                 0.0f, kWho, "the per-leaf tally");
    ctx.leaf_on = !out.leaf.empty();
    ctx.cfg.num_leaf_values = int64_t(out.leaf.size());
    return out;
}

/// A chunk tally of the sizes the run needs (a feature that is off keeps a
/// one-value placeholder the sink never writes).
ChunkTallies make_chunk_tallies(const ForwardTallies& sizes) {
    ChunkTallies c;
    auto dense = [](const std::vector<float>& v) { return std::vector<double>(v.empty() ? 1 : v.size(), 0.0); };
    c.grid.value = dense(sizes.grid);
    c.brf.value = dense(sizes.brf);
    c.albedo.value = dense(sizes.albedo);
    c.terrain.value = dense(sizes.terrain);
    c.energy.assign(sizes.nb > 0 ? size_t(sizes.nb) : 1, 0.0);
    return c;
}

std::vector<float> to_float(const std::vector<double>& v) {
    return std::vector<float>(v.begin(), v.end());
}

}  // namespace

ForwardTallies render_forward(EmbreeSceneManager& scene, int nx, int ny,
                              const std::vector<float>& layer_heights, int num_photons,
                              int num_bands, bool per_leaf, float prob_sun,
                              const float* brf_directions, int num_brf_dirs,
                              int max_depth, int rr_depth, int num_threads,
                              std::function<void(int, int, float)> progress,
                              int terrain_instance_id, uint64_t seed) {
    const SceneDescription::InUse in_use(scene);  // the scene cannot change under the workers
    const int nb = num_bands;
    if (nb < 1) throw request_error("num_bands must be at least 1, got " + std::to_string(nb));
    scene.validate_for_engine(nb, kWho, false);
    max_depth = max_depth_override(max_depth, "[CPU fwd]");
    RunContext ctx;
    setup_context(ctx, scene, nx, ny, layer_heights, num_photons, nb, per_leaf, prob_sun,
                  brf_directions, num_brf_dirs, max_depth, rr_depth, terrain_instance_id);
    ctx.view.seed = seed;
    ForwardTallies out = empty_result(ctx, nb, per_leaf);
    const int threads = resolve_threads(num_threads);
    // The totals and a chunk tally per thread (and two spare), in double.
    check_allocation(double(threads + 3) * double(out.grid.size() + out.brf.size()) * 8.0,
                     kWho, "the grid and BRF tallies of " + std::to_string(threads) +
                               " threads");
    Totals totals{std::vector<double>(out.grid.size()), std::vector<double>(out.brf.size()),
                  std::vector<double>(out.albedo.size()),
                  std::vector<double>(out.terrain.size()),
                  std::vector<double>(out.leaf.size())};
    std::vector<ChunkTallies> pool(size_t(threads) + 2, make_chunk_tallies(out));
    ChunkMerger merger(pool, totals);

    diag_printf(DiagStream::Out,
                "Forward fPAR (CPU): %d photons, grid %dx%dx%d, %d bands, %d threads\n",
                num_photons, nx, ny, out.nz, nb, threads);
    const Clock::time_point start = Clock::now();
    WorkerPool workers(threads);  // one set of threads for every batch
    for (int64_t done = 0; done < ctx.num_photons;) {
        const int64_t end = std::min<int64_t>(done + kForwardBatchPhotons, ctx.num_photons);
        merger.start_batch(done / kChunkPhotons, (end + kChunkPhotons - 1) / kChunkPhotons);
        workers.run(ctx.stop, [&](int) { trace_chunks(ctx, merger); });
        done = end;
        if (progress) {
            const std::chrono::duration<double, std::milli> ms = Clock::now() - start;
            progress(int(done), num_photons, float(ms.count()));
        }
    }
    out.grid = to_float(totals.grid);
    out.brf = to_float(totals.brf);
    out.albedo = to_float(totals.albedo);
    out.terrain = to_float(totals.terrain);
    out.leaf = to_float(totals.leaf);
    return out;
}

}  // namespace vorn::embree
