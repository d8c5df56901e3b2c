// The energy balance on the GPU: the model of core/energy_balance.h run by
// the energy-balance pipelines (gpu/programs/raygen_eb_rrt.cu), one launch
// index per (primitive, sample). The host checks the request with the CPU
// engine's checks (scene/energy_balance_params.h), keeps the output and input
// buffers cached by size, and downloads the results unscaled.
#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

#include "gpu/optix_api.h"
#include "gpu/simulator.h"
#include "scene/checks.h"

namespace vorn {

namespace {

/// OptiX launches at most 2^30 indices.
constexpr int64_t kMaxLaunchIndices = int64_t(1) << 30;
constexpr const char* kSingle = "run_energy_balance";
constexpr const char* kMulti = "run_energy_balance_multiband";

/// The scene's per-primitive overrides, as the CPU engine receives them.
PrimitiveOverrides overrides_of(const SceneManager& scene) {
    const std::vector<float>& t = scene.primitive_temperatures();
    const std::vector<float>& e = scene.primitive_emissivities();
    return PrimitiveOverrides{t.empty() ? nullptr : t.data(), t.size(),
                              e.empty() ? nullptr : e.data(), e.size()};
}

/// (Re)allocates `buffer` (and `second`, when given) to `count` floats each
/// unless `cached` says they hold them; `cached` reads 0 while they are not
/// usable, so an allocation that fails is made again by the next call.
template <class Count>
void cached_alloc(DeviceBuffer& buffer, Count& cached, Count count, const char* step,
                  DeviceBuffer* second = nullptr, const char* second_step = nullptr) {
    if (cached == count && buffer && (!second || *second)) return;
    cached = 0;
    buffer.alloc(size_t(count) * sizeof(float), step);
    if (second) second->alloc(size_t(count) * sizeof(float), second_step);
    cached = count;
}

/// The float results of one face, resized and filled only once downloaded.
void download(const DeviceBuffer& b, size_t n, std::vector<float>& out, const char* step) {
    std::vector<float> values(n);
    b.copy_to_host(values.data(), n * sizeof(float), step);
    out.swap(values);
}

}  // namespace

void Simulator::launch_energy_balance(SceneManager& scene, OptixPipeline pipeline,
                                      const OptixShaderBindingTable& sbt, int n_bands,
                                      LaunchParams& lp, const char* const steps[3]) {
    const uint32_t np = scene.n_primitives();
    const int32_t samples = lp.eb.n_samples;
    if (np > kMaxLaunchIndices)
        throw std::runtime_error("the scene's " + std::to_string(np) +
                                 " primitives exceed the 2^30 indices of one "
                                 "energy-balance launch");
    // Two double sums per primitive and band, then a sample counter per primitive.
    const size_t bytes = size_t(np) * (2 * sizeof(double) * size_t(n_bands) + sizeof(uint32_t));
    if (eb_sums_.size() != bytes) eb_sums_.alloc(bytes, "eb sums alloc");
    eb_sums_.fill(0, "eb sums zero");
    const PrimitiveArrays& prims = scene.primitives();
    float low = prims.v0[0].z;
    for (const auto* v : {&prims.v0, &prims.v1, &prims.v2})
        for (const float3& x : *v) low = std::min(low, x.z);
    lp.eb_sums = static_cast<double*>(eb_sums_.data());
    lp.eb_min_height = low;
    lp.eb.num_instances = int32_t(prims.instance_offsets.size()) - 1;
    const int64_t rows = std::max<int64_t>(1, kMaxLaunchIndices / np);
    for (int64_t first = 0; first < samples; first += rows) {
        const int64_t count = std::min<int64_t>(rows, samples - first);
        lp.sample_index = uint32_t(first);
        buffers_.params.copy_from_host(&lp, sizeof lp, steps[0]);
        optix_check(optix_api().launch(pipeline, ctx_.stream(), buffers_.params.get(),
                                       sizeof lp, &sbt, np, unsigned(count), 1),
                    steps[1]);
        cuda_check(cudaDeviceSynchronize(), steps[2]);
    }
}

void Simulator::run_energy_balance(SceneManager& scene, const EnergyBalanceParams& p,
                                   std::vector<float>& top, std::vector<float>& bot) {
    check_scene(scene, "Scene not built. Call scene.build() first.", kSingle);
    const SceneDescription::InUse in_use(scene);
    init();
    init_eb_pipeline();
    build_sbt_eb(scene);
    const uint32_t np = scene.n_primitives();
    check_energy_balance(p, np, scene.num_bands);
    check_primitive_overrides(kSingle, overrides_of(scene), np);
    scene.validate_for_engine(energy_balance_bands(scene.num_bands), kSingle, false);

    cached_alloc(eb_top_, eb_prims_, np, "eb top alloc", &eb_bot_, "eb bot alloc");
    eb_top_.fill(0, "eb top zero");
    eb_bot_.fill(0, "eb bot zero");
    const SceneData record = scene.get_scene_data();
    if (!buffers_.params) allocate_buffers(1, std::max(1, record.num_bands));
    const bool albedos = p.sw_albedos && p.n_sw_albedos > 0;
    if (albedos) {
        cached_alloc(eb_albedos_, eb_albedo_count_, p.n_sw_albedos, "eb sw_albedos alloc");
        eb_albedos_.copy_from_host(p.sw_albedos, size_t(p.n_sw_albedos) * sizeof(float),
                                   "eb sw_albedos upload");
    }

    LaunchParams lp;
    std::memset(&lp, 0, sizeof lp);
    lp.scene = record;
    EnergyBalanceBlock& e = lp.eb;
    e.band_type = p.band_type;
    e.n_samples = p.n_samples;
    e.sun_irradiance = p.sun_irradiance;
    e.sky_diffuse_radiance = p.sky_diffuse_radiance;
    e.sky_lw_radiance = p.sky_lw_radiance;
    e.sun_dir = make_f3(p.sun_dir_x, p.sun_dir_y, p.sun_dir_z);
    e.top = static_cast<float*>(eb_top_.data());
    e.bot = p.two_sided ? static_cast<float*>(eb_bot_.data()) : nullptr;
    e.sw_albedos = albedos ? static_cast<const float*>(eb_albedos_.data()) : nullptr;
    const char* const steps[3] = {"params eb", "launch eb", "sync eb"};
    launch_energy_balance(scene, eb_pipeline_, eb_table_.sbt, 1, lp, steps);
    std::vector<float> t, b;
    download(eb_top_, np, t, "download eb top");
    if (p.two_sided) download(eb_bot_, np, b, "download eb bot");
    top.swap(t);
    bot.swap(b);
}

void Simulator::run_energy_balance_multiband(SceneManager& scene,
                                             const EnergyBalanceMultibandParams& p,
                                             std::vector<float>& top, std::vector<float>& bot) {
    check_scene(scene, "Scene not built. Call scene.build() first.", kMulti);
    const SceneDescription::InUse in_use(scene);
    init();
    init_eb_mb_pipeline();
    build_sbt_eb_mb(scene);
    const uint32_t np = scene.n_primitives();
    check_energy_balance(p, np, scene.num_bands);
    check_primitive_overrides(kMulti, overrides_of(scene), np);
    scene.validate_for_engine(energy_balance_bands(scene.num_bands), kMulti, false);

    const int64_t values = int64_t(np) * p.n_bands;
    cached_alloc(eb_mb_top_, eb_mb_values_, values, "eb_mb top alloc", &eb_mb_bot_,
                 "eb_mb bot alloc");
    eb_mb_top_.fill(0, "eb_mb top zero");
    eb_mb_bot_.fill(0, "eb_mb bot zero");
    cached_alloc(eb_mb_sun_, eb_mb_bands_, p.n_bands, "eb_mb sun_irr alloc", &eb_mb_sky_,
                 "eb_mb sky_diff alloc");
    const size_t band_bytes = size_t(p.n_bands) * sizeof(float);
    if (p.sun_irradiance)
        eb_mb_sun_.copy_from_host(p.sun_irradiance, band_bytes, "eb_mb sun_irr upload");
    else
        eb_mb_sun_.fill(0, "eb_mb sun_irr zero");
    if (p.sky_diffuse_radiance)
        eb_mb_sky_.copy_from_host(p.sky_diffuse_radiance, band_bytes, "eb_mb sky_diff upload");
    else
        eb_mb_sky_.fill(0, "eb_mb sky_diff zero");
    const bool albedos = p.sw_albedos && p.n_sw_albedos > 0;
    if (albedos) {
        cached_alloc(eb_mb_albedos_, eb_mb_albedo_count_, p.n_sw_albedos,
                     "eb_mb sw_albedos alloc");
        eb_mb_albedos_.copy_from_host(p.sw_albedos, size_t(p.n_sw_albedos) * sizeof(float),
                                      "eb_mb sw_albedos upload");
    }
    const SceneData record = scene.get_scene_data();
    if (!buffers_.params) allocate_buffers(1, std::max(1, record.num_bands));

    LaunchParams lp;
    std::memset(&lp, 0, sizeof lp);
    lp.scene = record;
    EnergyBalanceBlock& e = lp.eb;
    e.n_samples = p.n_samples;
    e.sun_dir = make_f3(p.sun_dir_x, p.sun_dir_y, p.sun_dir_z);
    e.n_bands = p.n_bands;
    e.sun_irr = static_cast<const float*>(eb_mb_sun_.data());
    e.sky_diff = static_cast<const float*>(eb_mb_sky_.data());
    e.top_mb = static_cast<float*>(eb_mb_top_.data());
    e.bot_mb = p.two_sided ? static_cast<float*>(eb_mb_bot_.data()) : nullptr;
    e.sw_albedos_mb = albedos ? static_cast<const float*>(eb_mb_albedos_.data()) : nullptr;
    const char* const steps[3] = {"params eb_mb", "launch eb_mb", "sync eb_mb"};
    launch_energy_balance(scene, eb_mb_pipeline_, eb_mb_sbt_, p.n_bands, lp, steps);
    std::vector<float> t, b;
    download(eb_mb_top_, size_t(values), t, "download eb_mb top");
    if (p.two_sided) download(eb_mb_bot_, size_t(values), b, "download eb_mb bot");
    top.swap(t);
    bot.swap(b);
}

}  // namespace vorn
