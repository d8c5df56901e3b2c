// Python side of the GPU simulator: Simulator(ctx, ptx_dir), init, and the
// four simulations with the arguments, defaults and results of their CPU
// counterparts. The simulator refers to the context's device context and
// stream, so it keeps the context alive.
#ifdef VORN_WITH_GPU

#include <algorithm>
#include <string>

#include "gpu/simulator.h"
#include "python/bindings.h"
#include "python/convert.h"
#include "python/docstrings.h"
#include "python/energy_balance_args.h"
#include "python/shared_args.h"
#include "scene/checks.h"

namespace vorn::py_bind {

namespace {

py::array_t<float> simulate(Simulator& sim, SceneManager& scene, int spp, int max_depth,
                            const py::object& progress) {
    const SceneData record = scene.get_scene_data();
    const py::ssize_t height = record.sensor.height, width = record.sensor.width;
    const py::ssize_t bands = record.num_bands;
    // Interruptible even without a callable: Ctrl-C is noticed between samples.
    const std::vector<float> image =
        sim.simulate(scene, spp, max_depth, wrap_progress_interruptible(progress));
    return to_array(image, {height, width, bands});
}

py::dict simulate_forward(Simulator& sim, SceneManager& scene, int nx, int ny,
                          const FloatArray& layer_heights, int num_photons, int num_bands,
                          bool per_leaf, const FloatArray& brf_directions, int num_brf_dirs,
                          float prob_sun, int max_depth, int terrain_instance_id,
                          const py::object& progress) {
    const char* who = "simulate_forward";
    if (num_bands < 1)
        fail_input(who, "num_bands must be at least 1, got " + std::to_string(num_bands));
    check_finite(prob_sun, who, "prob_sun");
    ForwardParams fp;
    fp.nx = nx;
    fp.ny = ny;
    fp.layer_heights = read_1d(layer_heights, who, "layer_heights");
    check_coordinates(fp.layer_heights.data(), fp.layer_heights.size(), who, "layer_heights");
    fp.num_photons = num_photons;
    fp.per_leaf = per_leaf;
    // Directions are required when asked for: an empty array is too short.
    if (num_brf_dirs > 0)
        fp.brf_directions = read_directions(brf_directions, num_brf_dirs, who, "brf_directions");
    fp.num_brf_dirs = num_brf_dirs;
    fp.prob_sun = prob_sun;
    fp.max_depth = max_depth;
    fp.terrain_instance_id = terrain_instance_id;
    // Ctrl-C is noticed between batches even without a callable.
    fp.progress = wrap_progress_interruptible(progress);
    fp.num_bands = num_bands;
    std::vector<float> leaf, brf, albedo, terrain;
    const bool dirs = num_brf_dirs > 0;
    const std::vector<float> grid =
        sim.simulate_forward(scene, fp, per_leaf ? &leaf : nullptr, dirs ? &brf : nullptr,
                             dirs ? &albedo : nullptr, terrain_instance_id >= 0 ? &terrain : nullptr);
    const py::ssize_t nb = num_bands, nz = py::ssize_t(fp.layer_heights.size()) - 1;
    py::dict out;
    out["grid"] = to_array(grid, {nz, ny, nx, nb});
    if (per_leaf && !leaf.empty()) out["leaf"] = to_array(leaf, {py::ssize_t(leaf.size()) / nb, nb});
    if (!brf.empty()) out["brf"] = to_array(brf, {num_brf_dirs, nb});
    if (!albedo.empty()) out["albedo"] = to_array(albedo, {nb});
    if (!terrain.empty()) out["terrain"] = to_array(terrain, {nb});
    return out;
}

py::dict simulate_lidar(Simulator& sim, SceneManager& scene, const FloatArray& origins,
                        const FloatArray& directions, int num_pulses, float beam_half_angle_rad,
                        int beam_samples_per_dim, float pulse_energy, float sensor_area,
                        float range_resolution, float min_range, float max_range,
                        int num_wavelengths, float pulse_fwhm_ns, float peak_threshold,
                        int max_returns_per_pulse, bool direct_mode,
                        const py::object& progress) {
    const char* who = "simulate_lidar";
    check_finite(pulse_energy, who, "pulse_energy");
    check_finite(sensor_area, who, "sensor_area");
    check_finite(peak_threshold, who, "peak_threshold");
    LiDARLaunchParams p;
    p.origins = read_points(origins, num_pulses, who, "pulse_origins");
    p.directions = read_directions(directions, num_pulses, who, "pulse_directions");
    p.num_pulses = num_pulses;
    p.beam_half_angle_rad = beam_half_angle_rad;
    p.beam_samples_per_dim = beam_samples_per_dim;
    p.pulse_energy = pulse_energy;
    p.sensor_area = sensor_area;
    p.range_resolution = range_resolution;
    p.min_range = min_range;
    p.max_range = max_range;
    p.num_wavelengths = num_wavelengths;
    p.pulse_fwhm_ns = pulse_fwhm_ns;
    p.peak_threshold = peak_threshold;
    p.max_returns_per_pulse = max_returns_per_pulse;
    p.direct_mode = direct_mode;
    // Ctrl-C is noticed between launches even without a callable.
    p.progress = wrap_progress_interruptible(progress);
    const LiDARResult r = sim.simulate_lidar(scene, p);
    py::dict d;
    // Direct mode keeps no waveform: zero pulses rather than claimed values.
    d["waveform"] = to_array(r.waveform, {direct_mode ? 0 : num_pulses, r.num_bins,
                                          num_wavelengths});
    d["points"] = to_array(r.points, {std::max(r.num_returns, 0), 8});
    d["num_bins"] = r.num_bins;
    d["num_returns"] = r.num_returns;
    return d;
}

py::tuple run_energy_balance(Simulator& sim, SceneManager& scene, int band_type,
                             int n_samples, float sun_irradiance, float sky_diffuse_radiance,
                             float sky_lw_radiance, float sun_dir_x, float sun_dir_y,
                             float sun_dir_z, bool two_sided, const py::object& sw_albedos) {
    const auto albedos = optional_1d(sw_albedos, "sw_albedos must be 1D", "run_energy_balance",
                                     "sw_albedos");
    const EnergyBalanceParams p{band_type,  n_samples,  sun_irradiance,
                                sky_diffuse_radiance, sky_lw_radiance, sun_dir_x,
                                sun_dir_y,  sun_dir_z,  two_sided,
                                data_or_null(albedos), count_of(albedos)};
    std::vector<float> top, bot;
    sim.run_energy_balance(scene, p, top, bot);
    return py::make_tuple(to_array(top, {py::ssize_t(top.size())}),
                          to_array(bot, {py::ssize_t(bot.size())}));
}

py::tuple run_energy_balance_multiband(Simulator& sim, SceneManager& scene, int n_bands,
                                       int n_samples, const FloatArray& sun_irradiance,
                                       const FloatArray& sky_diffuse_radiance, float sun_dir_x,
                                       float sun_dir_y, float sun_dir_z, bool two_sided,
                                       const py::object& sw_albedos) {
    const char* who = "run_energy_balance_multiband";
    const auto sun = per_band(sun_irradiance, n_bands, who, "sun_irradiance");
    const auto sky = per_band(sky_diffuse_radiance, n_bands, who, "sky_diffuse_radiance");
    const auto albedos =
        optional_1d(sw_albedos, "sw_albedos must be 1D (flattened [n_bands * n_prims])",
                    who, "sw_albedos");
    const EnergyBalanceMultibandParams p{n_bands,   n_samples,         sun_dir_x,
                                         sun_dir_y, sun_dir_z,         two_sided,
                                         data_or_null(sun), data_or_null(sky),
                                         data_or_null(albedos), count_of(albedos)};
    std::vector<float> top, bot;
    sim.run_energy_balance_multiband(scene, p, top, bot);
    const py::ssize_t np = scene.n_primitives();
    return py::make_tuple(to_array(top, {n_bands, np}),
                          bot.empty() ? to_array(bot, {0, 0}) : to_array(bot, {n_bands, np}));
}

}  // namespace

void bind_simulator(py::module_& m) {
    py::class_<Simulator> c(m, "Simulator", doc::kSimulator);
    c.def(py::init<OptiXContext&, std::string>(), py::keep_alive<1, 2>(), py::arg("context"),
          py::arg("ptx_dir"), py::pos_only(), doc::kSimulatorInit)
        .def("init", &Simulator::init, doc::kSimulatorInitPipeline)
        .def("simulate", &simulate, py::arg("scene"), py::arg("spp") = 16,
             py::arg("max_depth") = 16, py::arg("progress") = py::none(), doc::kSimulate);
    forward_args([&](auto... a) {
        c.def("simulate_forward", &simulate_forward, a..., doc::kSimulateForward);
    });
    energy_balance_args([&](auto... a) {
        c.def("run_energy_balance", &run_energy_balance, a..., doc::kRunEnergyBalance);
    });
    energy_balance_multiband_args([&](auto... a) {
        c.def("run_energy_balance_multiband", &run_energy_balance_multiband, a...,
              doc::kRunEnergyBalanceMultiband);
    });
    lidar_args([&](auto... a) {
        c.def("simulate_lidar", &simulate_lidar, a..., doc::kSimulateLidar);
    });
}

}  // namespace vorn::py_bind

#endif  // VORN_WITH_GPU
