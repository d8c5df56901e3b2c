// Named constants for the integer codes of the scene calls, as Python IntEnum
// classes: vorn_gpu.MaterialType.LEAF == 13. The calls keep taking plain
// ints; an IntEnum member is one.
#include <initializer_list>

#include "python/bindings.h"
#include "python/docstrings.h"
#include "scene/records.h"

namespace py = pybind11;

namespace vorn::py_bind {

namespace {

struct Member {
    const char* name;
    int value;
    const char* doc;
};

void int_enum(py::module_& m, const char* name, const char* doc,
              std::initializer_list<Member> members) {
    py::list items;
    for (const Member& e : members) items.append(py::make_tuple(e.name, e.value));
    py::object cls = py::module_::import("enum").attr("IntEnum")(
        name, items, py::arg("module") = m.attr("__name__"));
    cls.attr("__doc__") = doc;
    for (const Member& e : members) cls.attr(e.name).attr("__doc__") = e.doc;
    m.attr(name) = cls;
}

}  // namespace

void bind_enums(py::module_& m) {
    int_enum(m, "MaterialType", doc::kMaterialType,
             {{"LAMBERTIAN", int(MaterialType::Lambertian), doc::kMaterialLambertian},
              {"RPV", int(MaterialType::Rpv), doc::kMaterialRpv},
              {"LEAF", int(MaterialType::Leaf), doc::kMaterialLeaf}});
    int_enum(m, "SensorType", doc::kSensorType,
             {{"ORTHOGRAPHIC", kSensorOrthographic, doc::kSensorOrthographic},
              {"PERSPECTIVE", kSensorPerspective, doc::kSensorPerspective},
              {"FISHEYE", kSensorFisheye, doc::kSensorFisheye}});
    int_enum(m, "ProjectionType", doc::kProjectionType,
             {{"EQUISOLID", kFisheyeEquisolid, doc::kProjectionEquisolid},
              {"EQUIDISTANT", kFisheyeEquidistant, doc::kProjectionEquidistant},
              {"ORTHOGRAPHIC", kFisheyeOrthographic, doc::kProjectionOrthographic},
              {"STEREOGRAPHIC", kFisheyeStereographic, doc::kProjectionStereographic}});
    int_enum(m, "EmitterType", doc::kEmitterType,
             {{"SUN", int(EmitterType::Sun), doc::kEmitterSun}});
}

}  // namespace vorn::py_bind
