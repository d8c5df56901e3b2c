// run_energy_balance_cpu and run_energy_balance_multiband_cpu: the CPU energy
// balance behind the arguments, defaults and results of the GPU simulator's
// calls, with the per-primitive overrides the GPU scene holds as arguments.
#include <optional>
#include <string>

#include "embree/energy_balance.h"
#include "python/bindings.h"
#include "python/convert.h"
#include "python/docstrings.h"
#include "python/shared_args.h"
#include "python/energy_balance_args.h"

namespace vorn::py_bind {

namespace {

using vorn::embree::EmbreeSceneManager;

/// The overrides, owned by the caller's two optionals.
PrimitiveOverrides overrides_of(const std::optional<std::vector<float>>& t,
                                const std::optional<std::vector<float>>& e) {
    return PrimitiveOverrides{data_or_null(t), t ? t->size() : 0, data_or_null(e),
                              e ? e->size() : 0};
}

py::tuple run_energy_balance_cpu(EmbreeSceneManager& scene, int band_type, int n_samples,
                                 float sun_irradiance, float sky_diffuse_radiance,
                                 float sky_lw_radiance, float sun_dir_x, float sun_dir_y,
                                 float sun_dir_z, bool two_sided,
                                 const py::object& sw_albedos,
                                 const py::object& temperatures,
                                 const py::object& emissivities, const py::object& progress,
                                 long long seed, int num_threads) {
    const char* who = "run_energy_balance_cpu";
    const uint64_t stream_set = check_seed(seed, who);
    const int threads = check_threads(num_threads, who);
    const auto albedos = optional_1d(sw_albedos, "sw_albedos must be 1D", who, "sw_albedos");
    const auto temps =
        optional_1d(temperatures, "temperatures must be 1D", who, "temperatures");
    const auto emis =
        optional_1d(emissivities, "emissivities must be 1D", who, "emissivities");
    const EnergyBalanceParams p{band_type,  n_samples,  sun_irradiance,
                                sky_diffuse_radiance, sky_lw_radiance, sun_dir_x,
                                sun_dir_y,  sun_dir_z,  two_sided,
                                data_or_null(albedos), count_of(albedos)};
    std::vector<float> top, bot;
    vorn::embree::run_energy_balance(scene, p, overrides_of(temps, emis), top, bot, threads,
                                     wrap_progress_interruptible(progress), stream_set);
    return py::make_tuple(to_array(top, {py::ssize_t(top.size())}),
                          to_array(bot, {py::ssize_t(bot.size())}));
}

py::tuple run_energy_balance_multiband_cpu(EmbreeSceneManager& scene, int n_bands,
                                           int n_samples, const FloatArray& sun_irradiance,
                                           const FloatArray& sky_diffuse_radiance,
                                           float sun_dir_x, float sun_dir_y, float sun_dir_z,
                                           bool two_sided, const py::object& sw_albedos,
                                           const py::object& temperatures,
                                           const py::object& emissivities,
                                           const py::object& progress, long long seed,
                                           int num_threads) {
    const char* who = "run_energy_balance_multiband_cpu";
    const uint64_t stream_set = check_seed(seed, who);
    const int threads = check_threads(num_threads, who);
    const auto sun = per_band(sun_irradiance, n_bands, who, "sun_irradiance");
    const auto sky = per_band(sky_diffuse_radiance, n_bands, who, "sky_diffuse_radiance");
    const auto albedos =
        optional_1d(sw_albedos, "sw_albedos must be 1D (flattened [n_bands * n_prims])",
                    who, "sw_albedos");
    const auto temps =
        optional_1d(temperatures, "temperatures must be 1D", who, "temperatures");
    const auto emis =
        optional_1d(emissivities, "emissivities must be 1D", who, "emissivities");
    const EnergyBalanceMultibandParams p{n_bands,   n_samples,         sun_dir_x,
                                         sun_dir_y, sun_dir_z,         two_sided,
                                         data_or_null(sun), data_or_null(sky),
                                         data_or_null(albedos), count_of(albedos)};
    std::vector<float> top, bot;
    vorn::embree::run_energy_balance_multiband(scene, p, overrides_of(temps, emis), top, bot,
                                               threads, wrap_progress_interruptible(progress),
                                               stream_set);
    const py::ssize_t np = py::ssize_t(top.size()) / n_bands;
    return py::make_tuple(to_array(top, {n_bands, np}),
                          bot.empty() ? to_array(bot, {0, 0}) : to_array(bot, {n_bands, np}));
}

}  // namespace

void bind_energy_balance(py::module_& m) {
    // The GPU methods' arguments, then the per-primitive overrides and the CPU's own.
    energy_balance_args([&](auto... a) {
        m.def("run_energy_balance_cpu", &run_energy_balance_cpu, a...,
              py::arg("temperatures") = py::none(), py::arg("emissivities") = py::none(),
              py::kw_only(), py::arg("progress") = py::none(), py::arg("seed") = 0,
              py::arg("num_threads") = 0, doc::kRunEnergyBalanceCpu);
    });
    energy_balance_multiband_args([&](auto... a) {
        m.def("run_energy_balance_multiband_cpu", &run_energy_balance_multiband_cpu, a...,
              py::arg("temperatures") = py::none(), py::arg("emissivities") = py::none(),
              py::kw_only(), py::arg("progress") = py::none(), py::arg("seed") = 0,
              py::arg("num_threads") = 0, doc::kRunEnergyBalanceMultibandCpu);
    });
}

}  // namespace vorn::py_bind
