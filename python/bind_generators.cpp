#include <pybind11/pybind11.h>

#include "python/bindings.h"
#include "python/convert.h"
#include "python/docstrings.h"
#include "python/generators.h"
#include "scene/checks.h"

namespace vorn::py_bind {

namespace {

py::array_t<float> rows_to_array(const std::vector<float3>& rows) {
    std::vector<float> flat;
    flat.reserve(rows.size() * 3);
    for (const float3& r : rows) flat.insert(flat.end(), {r.x, r.y, r.z});
    return to_array(flat, {py::ssize_t(rows.size()), 3});
}

py::dict to_dict(const MeshArrays& mesh) {
    std::vector<int32_t> flat;
    flat.reserve(mesh.triangles.size() * 3);
    for (const int3& t : mesh.triangles) flat.insert(flat.end(), {t.x, t.y, t.z});
    py::dict d;
    d["vertices"] = rows_to_array(mesh.positions);
    d["normals"] = rows_to_array(mesh.normals);
    d["indices"] = to_array(flat, {py::ssize_t(mesh.triangles.size()), 3});
    return d;
}

}  // namespace

// Sizes and signs are free (a negative radius mirrors the mesh); only
// non-finite values are refused, as no scene would accept their vertices.
void bind_generators(py::module_& m) {
    m.def(
        "make_ground_plane",
        [](float half_w, float half_h, int /*material_id: carried by add_mesh, not the mesh*/) {
            check_finite(half_w, "make_ground_plane", "half_w");
            check_finite(half_h, "make_ground_plane", "half_h");
            return to_dict(make_ground_plane(half_w, half_h));
        },
        py::arg("half_w") = 50.0f, py::arg("half_h") = 50.0f, py::arg("material_id") = 0,
        doc::kMakeGroundPlane);
    m.def(
        "make_sphere",
        [](float radius, const FloatArray& center, int subdivisions) {
            check_finite(radius, "make_sphere", "radius");
            const float3 c = read_vec3(center, "make_sphere", "center");
            check_finite(c.x, "make_sphere", "center[0]");
            check_finite(c.y, "make_sphere", "center[1]");
            check_finite(c.z, "make_sphere", "center[2]");
            MeshArrays mesh;
            make_sphere(radius, c, subdivisions, mesh);
            return to_dict(mesh);
        },
        py::arg("radius"), py::arg("center"), py::arg("subdivisions") = 2, doc::kMakeSphere);
    m.def(
        "make_cylinder",
        [](float radius, float height, int segments) {
            check_finite(radius, "make_cylinder", "radius");
            check_finite(height, "make_cylinder", "height");
            return to_dict(make_cylinder(radius, height, segments));
        },
        py::arg("radius"), py::arg("height"), py::arg("segments") = 8, doc::kMakeCylinder);
}

}  // namespace vorn::py_bind
