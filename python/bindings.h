// One registration function per binding file; module.cpp calls them in the
// documented order, the additions after the documented ones.
#pragma once

#include <pybind11/pybind11.h>

namespace vorn::py_bind {

void bind_gpu(pybind11::module_& m);         // OptiXContext, SceneManager, device_info
void bind_gpu_scene(pybind11::module_& m);   // SceneManager (GPU builds; called by bind_gpu)
void bind_simulator(pybind11::module_& m);   // Simulator (GPU builds; called by bind_gpu)
void bind_generators(pybind11::module_& m);  // make_ground_plane, make_sphere, make_cylinder
void bind_cpu_scene(pybind11::module_& m);   // EmbreeSceneManager
void bind_backward(pybind11::module_& m);    // simulate_cpu
void bind_forward(pybind11::module_& m);     // simulate_forward_cpu
void bind_lidar(pybind11::module_& m);       // simulate_lidar_cpu
void bind_energy_balance(pybind11::module_& m);  // run_energy_balance(_multiband)_cpu
void bind_diagnostics(pybind11::module_& m); // set_verbose, get_verbose; diagnostics to sys.stdout/stderr
void bind_enums(pybind11::module_& m);       // MaterialType, SensorType, ProjectionType, EmitterType

}  // namespace vorn::py_bind
