#include "embree/energy_balance.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <memory>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

#include "core/energy_balance.h"
#include "embree/scene_view.h"
#include "embree/sun_shadows.h"
#include "embree/workers.h"
#include "scene/world_primitives.h"

namespace vorn::embree {

namespace {

using Clock = std::chrono::steady_clock;

/// Primitives a worker takes at a time.
constexpr int64_t kChunkPrimitives = 16;

/// What the workers of one call share; they only read it, apart from the
/// output vectors (each primitive written by one worker) and the stop flag.
struct Run {
    const EmbreeSceneManager* scene = nullptr;
    SceneView view{};
    WorldPrimitives prims;
    PrimitiveView pv{};
    EnergyBalanceConfig cfg{};
    std::vector<ShortwaveBand> bands;  ///< output band b
    std::vector<int> scene_band;       ///< scene band of output band b
    float sky_lw_radiance = 0.0f;
    std::vector<float> top, bot;       ///< band-major results
    std::unique_ptr<SunShadowGrid> sun_grid;  ///< or null: shadow rays go to Embree
    std::atomic<bool> stop{false};
};

/// The primitive count of a built scene, at most 2^31 - 1 (the width of the
/// primitive indices both backends use).
uint32_t count_primitives(const EmbreeSceneManager& scene, const char* who) {
    if (!scene.is_built()) throw std::runtime_error("Scene not built. Call scene.build() first.");
    scene.validate_geometry();  // instances added since the build must name meshes too
    int64_t total = 0;
    for (int c : scene.instance_triangle_counts()) total += c;
    if (total > INT32_MAX)
        throw std::runtime_error(std::string(who) + ": the scene holds " + std::to_string(total) +
                                 " primitives, more than 2^31 - 1");
    return uint32_t(total);
}

/// Scene view, world primitives and configuration, after the request passed
/// its checks.
void prepare(Run& r, const EmbreeSceneManager& scene, const char* who,
             const PrimitiveOverrides& o, float3 sun, int32_t n_samples, bool two_sided,
             bool second_bounce, bool longwave) {
    const int nb = energy_balance_bands(scene.num_bands);
    check_primitive_overrides(who, o, r.pv.n_primitives);
    scene.validate_for_engine(nb, who, false);
    r.scene = &scene;
    r.view = make_scene_view(scene);
    r.view.nb = nb;
    fill_world_primitives(scene.meshes, scene.instances, r.prims);
    const WorldPrimitives& w = r.prims;
    r.pv = PrimitiveView{w.v0.data(), w.v1.data(), w.v2.data(), w.normals.data(),
                         w.material_ids.data(), w.instance_offsets.data(),
                         int32_t(scene.instances.size()), uint32_t(w.areas.size()),
                         o.temperatures, o.emissivities};
    float low = w.v0[0].z;
    for (const auto* v : {&w.v0, &w.v1, &w.v2})
        for (const float3& x : *v) low = std::min(low, x.z);
    bool sun_on = false;
    for (const ShortwaveBand& b : r.bands) sun_on = sun_on || b.sun_irradiance > 0.0f;
    r.cfg = make_energy_balance_config(sun, n_samples, two_sided, sun_on, second_bounce,
                                       longwave, low);
    // Every sample of every face looks for the sun (twice with a second bounce).
    if (r.cfg.sun_on)
        r.sun_grid = sun_grid_for(scene, r.cfg.sun,
                                  double(r.pv.n_primitives) * double(r.cfg.n_samples), &r.prims);
    const size_t n = r.bands.size() * size_t(r.pv.n_primitives);
    r.top.assign(n, 0.0f);
    r.bot.assign(two_sided ? n : 0, 0.0f);
}

/// All samples of primitive p, summed in sample order in every band.
void balance_primitive(Run& r, uint32_t p, std::vector<double>& sum,
                       std::vector<FaceCoefficients>& k) {
    const size_t nb = r.bands.size();
    for (size_t b = 0; b < nb; ++b) k[b] = face_coefficients(r.view, r.pv, p, r.scene_band[b]);
    std::fill(sum.begin(), sum.end(), 0.0);
    FaceSample top{}, bot{};
    for (int32_t s = 0; s < r.cfg.n_samples; ++s) {
        sample_primitive(SunShadowTracer{*r.scene, r.sun_grid.get()}, r.view, r.pv, r.cfg, p,
                         uint32_t(s), &top, &bot);
        for (size_t b = 0; b < nb; ++b) {
            sum[2 * b] += face_absorbed(r.cfg, top, r.bands[b], k[b].top, k[b].emissivity,
                                        r.sky_lw_radiance);
            if (r.cfg.two_sided)
                sum[2 * b + 1] += face_absorbed(r.cfg, bot, r.bands[b], k[b].bottom,
                                                k[b].emissivity, r.sky_lw_radiance);
        }
    }
    const size_t np = r.pv.n_primitives;
    for (size_t b = 0; b < nb; ++b) {
        r.top[b * np + p] = float(sum[2 * b]);
        if (r.cfg.two_sided) r.bot[b * np + p] = float(sum[2 * b + 1]);
    }
}

/// Runs every primitive in batches on one worker pool, reporting after each.
void execute(Run& r, int num_threads, const std::function<void(int, int, float)>& progress) {
    const int64_t np = r.pv.n_primitives;
    const int64_t per_batch =
        std::max<int64_t>(1, kEnergyBalanceBatchSamples / std::max<int32_t>(1, r.cfg.n_samples));
    const Clock::time_point start = Clock::now();
    WorkerPool workers(resolve_threads(num_threads));
    for (int64_t done = 0; done < np;) {
        const int64_t end = std::min(np, done + per_batch);
        std::atomic<int64_t> next{done};
        workers.run(r.stop, [&](int) {
            std::vector<double> sum(2 * r.bands.size());
            std::vector<FaceCoefficients> k(r.bands.size());
            for (;;) {
                const int64_t first = next.fetch_add(kChunkPrimitives);
                if (first >= end) return;
                const int64_t last = std::min(end, first + kChunkPrimitives);
                for (int64_t p = first; p < last && !r.stop; ++p)
                    balance_primitive(r, uint32_t(p), sum, k);
            }
        });
        done = end;
        if (progress) {
            const std::chrono::duration<double, std::milli> ms = Clock::now() - start;
            progress(int(done), int(np), float(ms.count()));
        }
    }
}

}  // namespace

void run_energy_balance(EmbreeSceneManager& scene, const EnergyBalanceParams& p,
                        const PrimitiveOverrides& overrides, std::vector<float>& top,
                        std::vector<float>& bot, int num_threads,
                        std::function<void(int, int, float)> progress, uint64_t seed) {
    const SceneDescription::InUse in_use(scene);  // the scene cannot change under the workers
    const char* who = "run_energy_balance";
    Run r;
    r.pv.n_primitives = count_primitives(scene, who);
    check_energy_balance(p, r.pv.n_primitives, scene.num_bands);
    const bool albedos = p.sw_albedos && p.n_sw_albedos > 0;
    r.bands = {ShortwaveBand{p.sun_irradiance, p.sky_diffuse_radiance,
                             albedos ? p.sw_albedos : nullptr}};
    r.scene_band = {p.band_type};
    r.sky_lw_radiance = p.sky_lw_radiance;
    prepare(r, scene, who, overrides, make_f3(p.sun_dir_x, p.sun_dir_y, p.sun_dir_z),
            p.n_samples, p.two_sided, albedos, true);
    r.view.seed = seed;
    execute(r, num_threads, progress);
    top = std::move(r.top);
    bot = std::move(r.bot);
}

void run_energy_balance_multiband(EmbreeSceneManager& scene,
                                  const EnergyBalanceMultibandParams& p,
                                  const PrimitiveOverrides& overrides,
                                  std::vector<float>& top, std::vector<float>& bot,
                                  int num_threads,
                                  std::function<void(int, int, float)> progress,
                                  uint64_t seed) {
    const SceneDescription::InUse in_use(scene);  // the scene cannot change under the workers
    const char* who = "run_energy_balance_multiband";
    Run r;
    r.pv.n_primitives = count_primitives(scene, who);
    check_energy_balance(p, r.pv.n_primitives, scene.num_bands);
    const bool albedos = p.sw_albedos && p.n_sw_albedos > 0;
    for (int32_t b = 0; b < p.n_bands; ++b) {
        r.bands.push_back(ShortwaveBand{
            p.sun_irradiance ? p.sun_irradiance[b] : 0.0f,
            p.sky_diffuse_radiance ? p.sky_diffuse_radiance[b] : 0.0f,
            albedos ? p.sw_albedos + size_t(b) * r.pv.n_primitives : nullptr});
        r.scene_band.push_back(b);
    }
    prepare(r, scene, who, overrides, make_f3(p.sun_dir_x, p.sun_dir_y, p.sun_dir_z),
            p.n_samples, p.two_sided, albedos, false);
    r.view.seed = seed;
    execute(r, num_threads, progress);
    top = std::move(r.top);
    bot = std::move(r.bot);
}

}  // namespace vorn::embree
