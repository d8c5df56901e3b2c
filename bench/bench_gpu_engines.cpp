// GPU forward photons, LiDAR and energy balance beside the CPU engines, on the
// canopy benchmark scene built identically on both backends (sun, sky,
// several bands, periodic tile): photons/s, pulses/s and primitive-samples/s
// of the same request. Each pair of results must agree (absorbed energy,
// returned waveform energy, mean absorbed flux) to 1 %; exit status 2 when
// one does not.
//   bench_gpu_engines <ptx_dir> [photons=4000000] [pulses=20000] [eb_samples=16]
//                     [bands=3] [threads=0 (all)]
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <string>
#include <vector>

#include "bench/canopy_scene.h"
#include "core/diagnostics.h"
#include "embree/energy_balance.h"
#include "embree/forward.h"
#include "embree/lidar.h"
#include "embree/workers.h"
#include "gpu/simulator.h"

using namespace vorn;

namespace {

constexpr int kMaxDepth = 8;
constexpr double kMaxDifference = 0.01;

template <class F>
double seconds(F&& f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double sum(const std::vector<float>& v) { return std::accumulate(v.begin(), v.end(), 0.0); }

int worst = 0;

/// One line per engine pair; `g` and `c` are the compared totals.
void report(const char* what, const char* unit, double work, double t_gpu, double t_cpu,
            double g, double c) {
    const double diff = std::fabs(g / c - 1.0);
    std::printf("gpu %-16s: %8.3f s  %12.0f %s\n", what, t_gpu, work / t_gpu, unit);
    std::printf("cpu %-16s: %8.3f s  %12.0f %s\n", what, t_cpu, work / t_cpu, unit);
    std::printf("gpu / cpu %-10s: %.1fx; totals gpu %.6g cpu %.6g (%.3f %%)\n", what,
                t_cpu / t_gpu, g, c, 100.0 * diff);
    if (!(diff <= kMaxDifference)) worst = 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <ptx_dir> [photons] [pulses] [eb_samples] [bands] [threads]\n",
                     argv[0]);
        return 1;
    }
    const std::string ptx_dir = argv[1];
    const int photons = argc > 2 ? std::atoi(argv[2]) : 4000000;
    const int pulses = argc > 3 ? std::atoi(argv[3]) : 20000;
    const int samples = argc > 4 ? std::atoi(argv[4]) : 16;
    const int bands = argc > 5 ? std::atoi(argv[5]) : 3;
    const int threads = embree::resolve_threads(argc > 6 ? std::atoi(argv[6]) : 0);
    set_diagnostics_enabled(false);  // the engines' own lines would interleave with ours

    bench::CanopyOptions opt;
    opt.num_bands = bands;
    opt.num_repetitions = 2;
    embree::EmbreeSceneManager cpu;
    const bench::CanopyScene canopy = bench::make_canopy_scene(cpu, opt);
    OptiXContext ctx(0);
    SceneManager gpu(ctx);
    bench::make_canopy_scene(gpu, opt);
    Simulator sim(ctx, ptx_dir);
    std::printf("canopy: %u triangles, %d instances, %d bands, tile x%d; %s, %d cpu threads\n",
                canopy.total_triangles, cpu.num_instances(), bands, opt.num_repetitions,
                ctx.device_name().c_str(), threads);

    // Forward: a 20 x 20 x 4 grid, per-leaf tallies, one BRF direction.
    ForwardParams fp;
    fp.nx = fp.ny = 20;
    fp.layer_heights = {0.0f, 2.0f, 4.0f, 6.0f, canopy.top + 1.0f};
    fp.num_photons = photons;
    fp.per_leaf = true;
    fp.brf_directions = {0.0f, 0.0f, 1.0f};
    fp.num_brf_dirs = 1;
    fp.prob_sun = 0.7f;
    fp.max_depth = kMaxDepth;
    fp.num_bands = bands;
    std::vector<float> leaf, brf, albedo, grid_gpu;
    sim.simulate_forward(gpu, ForwardParams{fp.nx, fp.ny, fp.layer_heights, 1024}, nullptr,
                         nullptr, nullptr, nullptr);  // pipeline and first-launch costs
    const double t_fg =
        seconds([&] { grid_gpu = sim.simulate_forward(gpu, fp, &leaf, &brf, &albedo, nullptr); });
    embree::ForwardTallies cpu_fwd;
    const double t_fc = seconds([&] {
        cpu_fwd = embree::render_forward(cpu, fp.nx, fp.ny, fp.layer_heights, photons, bands,
                                         true, fp.prob_sun, fp.brf_directions.data(), 1,
                                         kMaxDepth, 3, threads, {}, -1);
    });
    report("forward", "photons/s", photons, t_fg, t_fc, sum(grid_gpu), sum(cpu_fwd.grid));

    // LiDAR: airborne pulses 100 m up, up to ~2 degrees off nadir, waveform mode.
    bench::BenchRng rng{777};
    LiDARLaunchParams lp;
    lp.num_pulses = pulses;
    lp.num_wavelengths = bands;
    lp.max_range = 120.0f;
    for (int p = 0; p < pulses; ++p) {
        const vorn::float3 d =
            normalize({rng.uniform(-0.03f, 0.03f), rng.uniform(-0.03f, 0.03f), -1.0f});
        const float e = canopy.extent;
        lp.origins.insert(lp.origins.end(),
                          {rng.uniform(0.2f * e, 0.8f * e), rng.uniform(0.2f * e, 0.8f * e), 100.0f});
        lp.directions.insert(lp.directions.end(), {d.x, d.y, d.z});
    }
    LiDARResult lg, lc;
    const double t_lg = seconds([&] { lg = sim.simulate_lidar(gpu, lp); });
    const double t_lc = seconds([&] {
        lc = embree::simulate_lidar(cpu, lp.origins.data(), lp.directions.data(), pulses,
                                    lp.beam_half_angle_rad, lp.beam_samples_per_dim,
                                    lp.pulse_energy, lp.sensor_area, lp.range_resolution,
                                    lp.min_range, lp.max_range, bands, lp.pulse_fwhm_ns,
                                    lp.peak_threshold, lp.max_returns_per_pulse, false,
                                    threads, {});
    });
    report("lidar", "pulses/s", pulses, t_lg, t_lc, sum(lg.waveform), sum(lc.waveform));

    // Energy balance: sun, sky, long-wave sky, second bounce (band 0).
    const uint32_t np = gpu.n_primitives();
    std::vector<float> albedos(np, 0.2f), tg, bg, tc, bc;
    const EnergyBalanceParams ep{0, samples, 800.0f, 40.0f, 30.0f, 0.3f, 0.2f, 0.9f, true,
                                 albedos.data(), int32_t(np)};
    const double t_eg = seconds([&] { sim.run_energy_balance(gpu, ep, tg, bg); });
    const double t_ec = seconds([&] {
        embree::run_energy_balance(cpu, ep, PrimitiveOverrides{}, tc, bc, threads, {});
    });
    report("energy balance", "primitive-samples/s", double(np) * samples, t_eg, t_ec,
           sum(tg) + sum(bg), sum(tc) + sum(bc));
    return worst;
}
