// CPU forward photon tracer throughput on the canopy benchmark scene (sun and
// sky photons, several bands, periodic tile, fPAR grid, terrain, two BRF
// directions with albedo): photons and ray queries per second of
// render_forward, beside plain rtcIntersect1 / rtcOccluded1 on exactly the
// queries the tracer makes (recorded once, replayed on the same number of
// threads against an identical Embree scene), and beside the tracer as it ran
// before single-use instances were flattened (the same canopy built as a
// two-level scene).
//   bench_forward [photons=500000] [threads=0 (all)] [bands=3] [per_leaf=0]
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench/canopy_scene.h"
#include "bench/raw_embree.h"
#include "core/forward_photon.h"
#include "embree/forward.h"
#include "embree/scene_view.h"
#include "embree/workers.h"

using namespace vorn;
using vorn::embree::EmbreeSceneManager;

namespace {

constexpr int kMaxDepth = 16;  // the Python binding's defaults
constexpr int kRrDepth = 3;
constexpr float kProbSun = 0.8f;
constexpr int kGridXY = 20;
constexpr int kRepeats = 3;

/// Takes the tallies the engine would keep and drops them: which queries a
/// photon makes does not depend on what it adds where.
struct NullSink {
    bool leaf;
    bool has_leaf() const { return leaf; }
    bool has_terrain() const { return true; }
    bool has_brf() const { return true; }
    bool has_albedo() const { return true; }
    void add_grid(int64_t, double) {}
    void add_leaf(int64_t, double) {}
    void add_terrain(int, double) {}
    void add_brf(int64_t, double) {}
    void add_albedo(int, double) {}
};

std::vector<float> layer_heights(float top) {
    std::vector<float> layers;
    for (float z = 0.0f; z < top + 0.5f; z += 0.5f) layers.push_back(z);
    return layers;
}

/// Every query of the run, in photon order: the photons are seeded by their
/// index, so they are exactly those render_forward traces.
std::vector<bench::Query> record_queries(const EmbreeSceneManager& scene, int photons,
                                         int bands, bool per_leaf,
                                         const std::vector<float>& layers,
                                         const std::vector<float>& brf, int terrain) {
    SceneView view = embree::make_scene_view(scene);
    view.nb = bands;
    const float e = scene.tile.scene_x_size;
    ForwardConfig cfg{};
    cfg.grid = ForwardGrid{kGridXY,     kGridXY,     int32_t(layers.size()) - 1,
                           e / kGridXY, e / kGridXY, layers.data()};
    cfg.photon_e = double(e) * e / photons;
    cfg.prob_sun = kProbSun;
    cfg.max_depth = kMaxDepth;
    cfg.rr_depth = kRrDepth;
    cfg.brf_dirs = brf.data();
    cfg.num_brf_dirs = int32_t(brf.size() / 3);
    cfg.terrain_instance_id = terrain;
    std::vector<bench::Query> log;
    log.reserve(size_t(photons) * 8);
    bench::RecordingTracer rec{&scene, &log};
    NullSink sink{per_leaf};
    std::vector<double> energy(static_cast<size_t>(bands));
    for (int i = 0; i < photons; ++i)
        trace_photon(rec, view, cfg, uint64_t(i), energy.data(), sink);
    return log;
}

}  // namespace

int main(int argc, char** argv) {
    const int photons = argc > 1 ? std::atoi(argv[1]) : 500000;
    const int threads = embree::resolve_threads(argc > 2 ? std::atoi(argv[2]) : 0);
    const int bands = argc > 3 ? std::atoi(argv[3]) : 3;
    const bool per_leaf = argc > 4 && std::atoi(argv[4]) != 0;

    EmbreeSceneManager scene;
    bench::CanopyOptions opt;
    opt.num_bands = bands;
    opt.num_repetitions = 4;
    const bench::CanopyScene canopy = bench::make_canopy_scene(scene, opt);
    EmbreeSceneManager two_level;
    two_level.flatten_single_instances = false;
    bench::make_canopy_scene(two_level, opt);
    const std::vector<float> layers = layer_heights(canopy.top);
    const std::vector<float> brf = {0.0f, 0.0f, 1.0f, 0.5f, 0.0f, 0.8660254f};
    const int terrain = canopy.ground_instance;

    const std::vector<bench::Query> log =
        record_queries(scene, photons, bands, per_leaf, layers, brf, terrain);
    const long shadow = std::count_if(log.begin(), log.end(),
                                      [](const bench::Query& q) { return q.shadow; });

    // Interleaved repeats, fastest of each: both see the same machine load.
    const bench::RawScene raw(scene);
    long raw_hits = 0;
    double t_forward = 1e30, t_raw = 1e30, t_previous = 1e30;
    for (int r = 0; r < kRepeats; ++r) {
        for (auto [s, t] : {std::pair{&scene, &t_forward}, std::pair{&two_level, &t_previous}})
            bench::time_into(t, [&, s = s] {
                embree::render_forward(*s, kGridXY, kGridXY, layers, photons, bands,
                                       per_leaf, kProbSun, brf.data(), int(brf.size() / 3),
                                       kMaxDepth, kRrDepth, threads, {}, terrain);
            });
        bench::time_into(&t_raw, [&] {
            raw_hits = bench::replay(
                log, threads, [&raw](const bench::Query& q) { return raw.run(q); });
        });
    }

    const double n = double(log.size());
    std::printf(
        "canopy: %u triangles, %d instances, %d bands, tile %.0f m x%d, grid %dx%dx%zu, "
        "%d BRF directions, per-leaf %s, %d photons, %d threads\n",
        canopy.total_triangles, scene.num_instances(), bands, double(canopy.extent),
        opt.num_repetitions, kGridXY, kGridXY, layers.size() - 1, int(brf.size() / 3),
        per_leaf ? "on" : "off", photons, threads);
    std::printf(
        "queries: %.0f (%.0f closest-hit, %ld occlusion), %.2f per photon; hits %ld\n", n,
        n - double(shadow), shadow, n / photons, raw_hits);
    std::printf("render_forward : %8.3f s  %10.0f photons/s  %10.0f rays/s\n", t_forward,
                photons / t_forward, n / t_forward);
    std::printf("two-level scene: %8.3f s  %10.0f photons/s  %10.0f rays/s\n", t_previous,
                photons / t_previous, n / t_previous);
    std::printf("raw Embree     : %8.3f s  %10s            %10.0f rays/s\n", t_raw, "",
                n / t_raw);
    std::printf("forward / raw Embree ray rate: %.1f %%\n", 100.0 * t_raw / t_forward);
    std::printf("forward / previous engine (two-level scene): %.2f\n", t_previous / t_forward);
    return 0;
}
