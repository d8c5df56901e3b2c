// Keyword arguments that a CPU function and the GPU simulator's method of the
// same simulation share, written once so that their names, order and defaults
// cannot drift apart. Each helper hands the argument objects to `def`, which
// registers the call and may append arguments of its own:
//     lidar_args([&](auto... a) { m.def("simulate_lidar_cpu", &fn, a..., doc); });
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

namespace vorn::py_bind {

/// simulate_forward(_cpu): scene to progress.
template <class Def>
void forward_args(Def&& def) {
    namespace py = pybind11;
    def(py::arg("scene"), py::arg("nx") = 1, py::arg("ny") = 1, py::arg("layer_heights"),
        py::arg("num_photons") = 10000000, py::arg("num_bands") = 1,
        py::arg("per_leaf") = false, py::arg("brf_directions") = py::array_t<float>(0),
        py::arg("num_brf_dirs") = 0, py::arg("prob_sun") = 1.0f, py::arg("max_depth") = 16,
        py::arg("terrain_instance_id") = -1, py::arg("progress") = py::none());
}

/// simulate_lidar(_cpu): scene to progress.
template <class Def>
void lidar_args(Def&& def) {
    namespace py = pybind11;
    def(py::arg("scene"), py::arg("pulse_origins"), py::arg("pulse_directions"),
        py::arg("num_pulses"), py::arg("beam_half_angle_rad") = 0.0005f,
        py::arg("beam_samples_per_dim") = 10, py::arg("pulse_energy") = 1.0f,
        py::arg("sensor_area") = 0.1f, py::arg("range_resolution") = 0.15f,
        py::arg("min_range") = 0.0f, py::arg("max_range") = 100.0f,
        py::arg("num_wavelengths") = 1, py::arg("pulse_fwhm_ns") = 4.0f,
        py::arg("peak_threshold") = 1e-8f, py::arg("max_returns_per_pulse") = 5,
        py::arg("direct_mode") = false, py::arg("progress") = py::none());
}

/// run_energy_balance(_cpu): scene to sw_albedos.
template <class Def>
void energy_balance_args(Def&& def) {
    namespace py = pybind11;
    def(py::arg("scene"), py::arg("band_type") = 0, py::arg("n_samples") = 64,
        py::arg("sun_irradiance") = 0.0f, py::arg("sky_diffuse_radiance") = 0.0f,
        py::arg("sky_lw_radiance") = 0.0f, py::arg("sun_dir_x") = 0.0f,
        py::arg("sun_dir_y") = 0.0f, py::arg("sun_dir_z") = 1.0f, py::arg("two_sided") = true,
        py::arg("sw_albedos") = py::none());
}

/// run_energy_balance_multiband(_cpu): scene to sw_albedos.
template <class Def>
void energy_balance_multiband_args(Def&& def) {
    namespace py = pybind11;
    def(py::arg("scene"), py::arg("n_bands"), py::arg("n_samples") = 64,
        py::arg("sun_irradiance") = py::array_t<float>(0),
        py::arg("sky_diffuse_radiance") = py::array_t<float>(0), py::arg("sun_dir_x") = 0.0f,
        py::arg("sun_dir_y") = 0.0f, py::arg("sun_dir_z") = 1.0f, py::arg("two_sided") = true,
        py::arg("sw_albedos") = py::none());
}

}  // namespace vorn::py_bind
