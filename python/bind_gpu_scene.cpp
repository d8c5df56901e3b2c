// Python side of the GPU scene. The methods it shares with the CPU scene come
// from bind_scene_common.h, written once for both; this file adds only what
// the GPU scene alone has: patching spectral values on the device and the
// per-primitive buffers, which, like every change, wait until no simulation
// runs on the scene.
#ifdef VORN_WITH_GPU

#include "gpu/scene_manager.h"
#include "python/bind_scene_common.h"
#include "python/bindings.h"
#include "python/docstrings.h"

namespace vorn::py_bind {

namespace {

/// All values of a 1-D array in index order; any other shape raises
/// RuntimeError "<name> must be 1D".
std::vector<float> read_1d_named(const FloatArray& a, const char* who, const char* name) {
    if (a.ndim() != 1) throw std::runtime_error(std::string(name) + " must be 1D");
    return read_1d(a, who, name);
}

using CFloatArray = py::array_t<float, py::array::c_style | py::array::forcecast>;

void bind_primitive_buffers(py::class_<SceneManager>& c) {
    c.def("n_primitives", &SceneManager::n_primitives, doc::kNPrimitives)
        .def(
            "get_primitive_areas",
            [](const SceneManager& s) {
                return to_array(s.primitive_areas(), {py::ssize_t(s.primitive_areas().size())});
            },
            doc::kGetPrimitiveAreas)
        .def(
            "get_primitive_mat_ids",
            [](const SceneManager& s) {
                const std::vector<int32_t>& ids = s.primitive_material_ids();
                return to_array(ids, {py::ssize_t(ids.size())});
            },
            doc::kGetPrimitiveMatIds)
        .def(
            "set_primitive_temperatures",
            [](SceneManager& s, const FloatArray& t) {
                const char* who = "set_primitive_temperatures";
                idle(s, who).set_primitive_temperatures(read_1d_named(t, who, "temperatures"));
            },
            py::arg("temperatures"), doc::kSetPrimitiveTemperatures)
        .def(
            "clear_primitive_temperatures",
            [](SceneManager& s) {
                idle(s, "clear_primitive_temperatures").clear_primitive_temperatures();
            },
            doc::kClearPrimitiveTemperatures)
        .def(
            "get_primitive_temperatures",
            [](const SceneManager& s) {
                const std::vector<float>& t = s.primitive_temperatures();
                return to_array(t, {py::ssize_t(t.size())});
            },
            doc::kGetPrimitiveTemperatures)
        .def(
            "set_primitive_emissivities",
            [](SceneManager& s, const FloatArray& e) {
                const char* who = "set_primitive_emissivities";
                idle(s, who).set_primitive_emissivities(read_1d_named(e, who, "emissivities"));
            },
            py::arg("emissivities"), doc::kSetPrimitiveEmissivities)
        .def(
            "clear_primitive_emissivities",
            [](SceneManager& s) {
                idle(s, "clear_primitive_emissivities").clear_primitive_emissivities();
            },
            doc::kClearPrimitiveEmissivities)
        .def(
            "set_primitive_sif_spectra",
            [](SceneManager& s, const CFloatArray& spectra, int n_sif_bands) {
                const float* p = spectra.data();
                idle(s, "set_primitive_sif_spectra")
                    .set_primitive_sif_spectra(std::vector<float>(p, p + spectra.size()), n_sif_bands);
            },
            py::arg("spectra"), py::arg("n_sif_bands"), doc::kSetPrimitiveSifSpectra)
        .def(
            "clear_primitive_sif_spectra",
            [](SceneManager& s) {
                idle(s, "clear_primitive_sif_spectra").clear_primitive_sif_spectra();
            },
            doc::kClearPrimitiveSifSpectra)
        .def(
            "set_sif_only_mode",
            [](SceneManager& s, bool enabled) {
                idle(s, "set_sif_only_mode").set_sif_only_mode(enabled);
            },
            py::arg("enabled"),
            doc::kSetSifOnlyMode);
}

}  // namespace

void bind_gpu_scene(py::module_& m) {
    py::class_<SceneManager> c(m, "SceneManager", doc::kSceneManager);
    // The scene refers to the context's device context and stream: the
    // context must live at least as long as the scene.
    c.def(py::init<OptiXContext&>(), py::keep_alive<1, 2>(), py::arg("context"), py::pos_only(),
          doc::kSceneManagerInit);
    bind_scene_methods(c);
    c.def(
        "update_spectral_params",
        [](SceneManager& s, int offset, const FloatArray& values) {
            idle(s, "update_spectral_params")
                .update_spectral_params(offset,
                                        read_1d(values, "update_spectral_params", "values"));
        },
        py::arg("offset"), py::arg("values"), py::pos_only(), doc::kUpdateSpectralParams);
    bind_primitive_buffers(c);
}

}  // namespace vorn::py_bind

#endif  // VORN_WITH_GPU
