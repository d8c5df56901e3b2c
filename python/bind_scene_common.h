// Bindings of the scene operations that the CPU and the GPU scene classes
// share, written once over the scene type.
//
// Both scenes refuse every change while a simulation runs on them: each
// binding that changes the scene first passes it through idle(), so the
// refusal ("<method>: scene is in use by a running simulation") comes before
// any argument is read, also for the operations each backend implements itself.
#pragma once

#include <pybind11/pybind11.h>

#include <algorithm>
#include <initializer_list>
#include <string>

#include "python/convert.h"
#include "python/docstrings.h"
#include "scene/checks.h"
#include "scene/scene_description.h"

namespace vorn::py_bind {

/// Rejects integer codes the engines have no model for ("set_sensor: type
/// must be one of 0, 1, 4 (SensorType), got 2"); `known` lists them.
inline void check_code(int value, std::initializer_list<int> known, const char* who,
                       const char* name, const char* enum_name) {
    for (int k : known)
        if (value == k) return;
    std::string list;
    for (int k : known) list += (list.empty() ? "" : ", ") + std::to_string(k);
    throw std::runtime_error(std::string(who) + ": " + name + " must be one of " + list + " (" +
                             enum_name + "), got " + std::to_string(value));
}

/// The scene, once it is known that no simulation is running on it.
template <class Scene>
Scene& idle(Scene& s, const char* who) {
    s.require_idle(who);
    return s;
}

template <class Scene>
void bind_geometry(py::class_<Scene>& c) {
    c.def(
         "add_mesh",
         [](Scene& s, const FloatArray& vertices, const FloatArray& normals,
            const ArrayLike& indices, int material_id) {
             const char* who = "add_mesh";
             idle(s, who);
             return s.add_mesh(read_rows3(vertices, who, "vertices"),
                               read_rows3(normals, who, "normals"),
                               read_index_rows(indices, who, "indices"), material_id);
         },
         py::arg("vertices"), py::arg("normals"), py::arg("indices"), py::arg("material_id") = 0,
         doc::kAddMesh)
        .def(
            "add_instance",
            [](Scene& s, int mesh_id, float x, float y, float z, float scale) {
                return s.add_instance(mesh_id, x, y, z, scale);
            },
            py::arg("mesh_id"), py::arg("x") = 0, py::arg("y") = 0, py::arg("z") = 0,
            py::arg("scale") = 1.0f, doc::kAddInstance)
        .def(
            "add_instance_xform",
            [](Scene& s, int mesh_id, const FloatArray& xform) {
                idle(s, "add_instance_xform");
                float xf[12];
                read_xform(xform, xf, "add_instance_xform");
                return s.add_instance(mesh_id, xf);
            },
            py::arg("mesh_id"), py::arg("xform"), doc::kAddInstanceXform)
        .def(
            "update_instance_transform",
            [](Scene& s, int id, const FloatArray& xform) {
                idle(s, "update_instance_transform");
                float xf[12];
                read_xform(xform, xf, "update_instance_transform");
                s.update_instance_transform(id, xf);
            },
            py::arg("id"), py::arg("xform"), doc::kUpdateInstanceTransform)
        .def("refit_ias", [](Scene& s) { idle(s, "refit_ias").refit_ias(); }, doc::kRefitIas)
        .def("set_num_bands", [](Scene& s, int n) { s.set_num_bands(n); },
             py::arg("num_bands"), py::pos_only(), doc::kSetNumBands);
}

template <class Scene>
void bind_materials(py::class_<Scene>& c) {
    c.def(
         "add_material",
         [](Scene& s, int type, int offset, const py::list& scalar_params) {
             idle(s, "add_material");
             const int id = s.add_material(MaterialType(type), offset);
             const size_t n = std::min<size_t>(scalar_params.size(), 8);
             // Items are stored as they convert: a failing item leaves the earlier ones in place.
             for (size_t i = 0; i < n; ++i)
                 s.materials[size_t(id)].params[i] =
                     list_item_to_float(scalar_params[i], "add_material", "scalar_params", i);
             return id;
         },
         py::arg("type"), py::arg("offset"), py::arg("scalar_params") = py::list(),
         doc::kAddMaterial)
        .def(
            "upload_spectral_params",
            [](Scene& s, const FloatArray& values) {
                const char* who = "upload_spectral_params";
                idle(s, who).upload_spectral_params(read_1d(values, who, "values"));
            },
            py::arg("values"), py::pos_only(), doc::kUploadSpectralParams);
}

template <class Scene>
void bind_lights_and_sensor(py::class_<Scene>& c) {
    c.def(
         "set_emitter",
         [](Scene& s, int type, const FloatArray& direction, int spectral_offset) {
             const char* who = "set_emitter";
             idle(s, who).set_emitter(EmitterType(type), read_vec3(direction, who, "direction"),
                                      spectral_offset);
         },
         py::arg("type"), py::arg("direction"), py::arg("spectral_offset"), py::pos_only(),
         doc::kSetEmitter)
        .def(
            "update_emitter_direction",
            [](Scene& s, const FloatArray& direction) {
                const char* who = "update_emitter_direction";
                idle(s, who).update_emitter_direction(read_vec3(direction, who, "direction"));
            },
            py::arg("direction"), py::pos_only(), doc::kUpdateEmitterDirection)
        .def(
            "set_sensor",
            [](Scene& s, int type, int width, int height, float ortho_w, float ortho_h,
               const FloatArray& cam_xform, float fov, int projection_type, bool terrain_following) {
                const char* who = "set_sensor";
                idle(s, who);
                check_code(type, {kSensorOrthographic, kSensorPerspective, kSensorFisheye}, who,
                           "type", "SensorType");
                check_code(projection_type,
                           {kFisheyeEquisolid, kFisheyeEquidistant, kFisheyeOrthographic,
                            kFisheyeStereographic},
                           who, "projection_type", "ProjectionType");
                check_finite(fov, who, "fov");
                SensorData d{};
                d.type = type;
                d.width = width;
                d.height = height;
                d.ortho_w = ortho_w;
                d.ortho_h = ortho_h;
                d.projection_type = projection_type;
                d.fov = fov * 3.1415927f / 180.0f;
                const std::vector<float> m = read_camera(cam_xform, who);
                std::copy_n(m.begin(), 16, d.cam_xform);
                s.set_sensor(d);
                s.set_terrain_following(terrain_following);
            },
            py::arg("type"), py::arg("width"), py::arg("height"), py::arg("ortho_w"),
            py::arg("ortho_h"), py::arg("cam_xform"), py::arg("fov") = 60.0f,
            py::arg("projection_type") = 0, py::arg("terrain_following") = false,
            doc::kSetSensor)
        .def(
            "set_sky", [](Scene& s, int spectral_offset) { s.set_sky(spectral_offset); },
            py::arg("spectral_offset"), doc::kSetSky)
        .def(
            "set_hw_sky",
            [](Scene& s, int spectral_offset, float sun_x, float sun_y, float sun_z) {
                s.set_hw_sky(spectral_offset, float3{sun_x, sun_y, sun_z});
            },
            py::arg("spectral_offset"), py::arg("sun_x"), py::arg("sun_y"), py::arg("sun_z"),
            doc::kSetHwSky)
        .def(
            "set_thermal_mode",
            [](Scene& s, bool enabled, const py::list& wavelengths) {
                const char* who = "set_thermal_mode";
                idle(s, who).set_thermal_mode(enabled, list_to_floats(wavelengths, who, "wavelengths"));
            },
            py::arg("enabled"), py::arg("wavelengths"), doc::kSetThermalMode)
        .def(
            "set_repetitive",
            [](Scene& s, int num_repetitions, float scene_x_size, float scene_y_size) {
                s.set_repetitive(num_repetitions, scene_x_size, scene_y_size);
            },
            py::arg("num_repetitions"), py::arg("scene_x_size"), py::arg("scene_y_size"),
            doc::kSetRepetitive);
}

template <class Scene>
void bind_build_and_queries(py::class_<Scene>& c) {
    c.def("build", [](Scene& s) { idle(s, "build").build(); }, doc::kBuild)
        .def("is_built", [](const Scene& s) { return s.is_built(); }, doc::kIsBuilt)
        .def("has_gpu_meshes", [](const Scene& s) { return s.has_gpu_meshes(); },
             doc::kHasGpuMeshes)
        .def("clear_for_reuse", [](Scene& s) { idle(s, "clear_for_reuse").clear_for_reuse(); },
             doc::kClearForReuse)
        .def("build_reuse_gas", [](Scene& s) { idle(s, "build_reuse_gas").build_reuse_gas(); },
             doc::kBuildReuseGas)
        .def("total_triangles", [](const Scene& s) { return s.total_triangles(); },
             doc::kTotalTriangles)
        .def("num_instances", [](const Scene& s) { return s.num_instances(); },
             doc::kNumInstances)
        .def("max_height", [](const Scene& s) { return s.max_height(); }, doc::kMaxHeight)
        .def(
            "set_measurement_plane", [](Scene& s, float height) { s.set_measurement_plane(height); },
            py::arg("height"), doc::kSetMeasurementPlane);
}

/// Every method the two scene classes share, bound the same way on both.
template <class Scene>
void bind_scene_methods(py::class_<Scene>& c) {
    bind_geometry(c);
    bind_materials(c);
    bind_lights_and_sensor(c);
    bind_build_and_queries(c);
}

}  // namespace vorn::py_bind
