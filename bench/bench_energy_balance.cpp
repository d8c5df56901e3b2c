// CPU energy-balance throughput on the canopy benchmark scene (periodic tile,
// sun, short-wave and long-wave sky, second bounce through albedos): primitive
// samples and ray queries per second of run_energy_balance, beside plain
// rtcIntersect1 / rtcOccluded1 on exactly the queries it makes (recorded
// once, replayed on the same number of threads against an identical scene).
//   bench_energy_balance [n_samples=16] [threads=0 (all)]
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench/canopy_scene.h"
#include "bench/raw_embree.h"
#include "core/energy_balance.h"
#include "embree/energy_balance.h"
#include "embree/scene_view.h"
#include "embree/workers.h"
#include "scene/world_primitives.h"

using namespace vorn;
using vorn::embree::EmbreeSceneManager;

namespace {

constexpr int kRepeats = 3;

/// Every query of the run, in primitive and sample order.
std::vector<bench::Query> record_queries(const EmbreeSceneManager& scene,
                                         const EnergyBalanceParams& p) {
    SceneView view = embree::make_scene_view(scene);
    WorldPrimitives w;
    fill_world_primitives(scene.meshes, scene.instances, w);
    const PrimitiveView pv{w.v0.data(), w.v1.data(), w.v2.data(), w.normals.data(),
                           w.material_ids.data(), w.instance_offsets.data(),
                           int32_t(scene.instances.size()), uint32_t(w.areas.size()),
                           nullptr, nullptr};
    const EnergyBalanceConfig cfg = make_energy_balance_config(
        make_f3(p.sun_dir_x, p.sun_dir_y, p.sun_dir_z), p.n_samples, p.two_sided, true, true,
        true, 0.0f);
    std::vector<bench::Query> log;
    bench::RecordingTracer rec{&scene, &log};
    FaceSample top, bot;
    for (uint32_t q = 0; q < pv.n_primitives; ++q)
        for (int32_t s = 0; s < p.n_samples; ++s)
            sample_primitive(rec, view, pv, cfg, q, uint32_t(s), &top, &bot);
    return log;
}

}  // namespace

int main(int argc, char** argv) {
    const int n_samples = argc > 1 ? std::atoi(argv[1]) : 16;
    const int threads = embree::resolve_threads(argc > 2 ? std::atoi(argv[2]) : 0);

    EmbreeSceneManager scene;
    bench::CanopyOptions opt;
    opt.num_repetitions = 4;
    const bench::CanopyScene canopy = bench::make_canopy_scene(scene, opt);
    const uint32_t np = canopy.total_triangles;
    const std::vector<float> albedos(np, 0.2f);
    const EnergyBalanceParams p{0,   n_samples, 800.0f, 40.0f, 110.0f, 0.5f, 0.0f, 0.8660254f,
                                true, albedos.data(), int32_t(np)};
    const std::vector<bench::Query> log = record_queries(scene, p);
    const long shadow = std::count_if(log.begin(), log.end(),
                                      [](const bench::Query& q) { return q.shadow; });

    // Interleaved repeats, fastest of each: both see the same machine load.
    const bench::RawScene raw(scene);
    long raw_hits = 0;
    double t_eb = 1e30, t_raw = 1e30;
    std::vector<float> top, bot;
    for (int r = 0; r < kRepeats; ++r) {
        bench::time_into(&t_eb, [&] {
            embree::run_energy_balance(scene, p, PrimitiveOverrides{}, top, bot, threads, {});
        });
        bench::time_into(&t_raw, [&] {
            raw_hits = bench::replay(
                log, threads, [&raw](const bench::Query& q) { return raw.run(q); });
        });
    }
    const double n = double(log.size()), samples = double(np) * n_samples;
    std::printf("canopy: %u triangles, tile %.0f m x%d, %d samples per primitive, %d threads\n",
                np, double(canopy.extent), opt.num_repetitions, n_samples, threads);
    std::printf("queries: %.0f (%.0f closest-hit, %ld occlusion), %.2f per sample; hits %ld\n",
                n, n - double(shadow), shadow, n / samples, raw_hits);
    std::printf("run_energy_balance : %8.3f s  %10.0f primitive-samples/s  %10.0f rays/s\n",
                t_eb, samples / t_eb, n / t_eb);
    std::printf("raw Embree         : %8.3f s  %10s                       %10.0f rays/s\n",
                t_raw, "", n / t_raw);
    std::printf("energy balance / raw Embree ray rate: %.1f %%\n", 100.0 * t_raw / t_eb);
    return 0;
}
