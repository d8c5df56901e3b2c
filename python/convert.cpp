#include "python/convert.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "core/diagnostics.h"
#include "scene/checks.h"

namespace vorn::py_bind {

namespace {

std::string prefixed(const char* who, const char* name) {
    return std::string(who) + ": " + name;
}

}  // namespace

std::vector<float> read_1d(const FloatArray& a, const char* who, const char* name) {
    auto v = a.unchecked<1>();  // throws the dimension error
    std::vector<float> out;
    allocate(out, size_t(v.shape(0)), 0.0f, who, std::string("a copy of ") + name);
    for (py::ssize_t i = 0; i < v.shape(0); ++i) out[size_t(i)] = v(i);
    return out;
}

std::vector<float> read_1d_at_least(const FloatArray& a, size_t min_count, const char* who,
                                    const char* name) {
    std::vector<float> out = read_1d(a, who, name);
    if (out.size() < min_count)
        throw std::runtime_error(prefixed(who, name) + " must hold at least " +
                                 std::to_string(min_count) + " values, got " +
                                 std::to_string(out.size()));
    return out;
}

float3 read_vec3(const FloatArray& a, const char* who, const char* name) {
    std::vector<float> v = read_1d_at_least(a, 3, who, name);
    return {v[0], v[1], v[2]};
}

void read_xform(const FloatArray& a, float out[12], const char* who) {
    std::vector<float> v = read_1d_at_least(a, 12, who, "xform");
    std::memcpy(out, v.data(), 12 * sizeof(float));
}

namespace {

template <class T, class Out>
std::vector<Out> rows3(const py::array_t<T, py::array::forcecast>& a, const char* who,
                       const char* name) {
    auto v = a.template unchecked<2>();
    if (v.shape(0) > 0 && v.shape(1) < 3)
        throw std::runtime_error(prefixed(who, name) + " must have 3 columns, got " +
                                 std::to_string(v.shape(1)));
    std::vector<Out> out;
    allocate(out, size_t(v.shape(0)), Out{}, who, std::string("a copy of ") + name);
    for (py::ssize_t i = 0; i < v.shape(0); ++i) out[size_t(i)] = Out{v(i, 0), v(i, 1), v(i, 2)};
    return out;
}

}  // namespace

std::vector<float3> read_rows3(const FloatArray& a, const char* who, const char* name) {
    return rows3<float, float3>(a, who, name);
}

std::vector<int3> read_rows3(const IntArray& a, const char* who, const char* name) {
    return rows3<int32_t, int3>(a, who, name);
}

std::vector<float> read_points(const FloatArray& a, int count, const char* who,
                               const char* name) {
    std::vector<float> v = read_1d_at_least(a, 3 * size_t(count > 0 ? count : 0), who, name);
    check_coordinates(v.data(), 3 * size_t(count > 0 ? count : 0), who, name);
    return v;
}

std::vector<float> read_directions(const FloatArray& a, int count, const char* who,
                                   const char* name) {
    const size_t n = size_t(count > 0 ? count : 0);
    std::vector<float> v = read_1d_at_least(a, 3 * n, who, name);
    for (size_t i = 0; i < n; ++i) {
        const std::string item = std::string(name) + " " + std::to_string(i);
        const float3 d = unit_direction({v[3 * i], v[3 * i + 1], v[3 * i + 2]}, who, item.c_str());
        v[3 * i] = d.x;
        v[3 * i + 1] = d.y;
        v[3 * i + 2] = d.z;
    }
    return v;
}

void report_rejected_rays(uint64_t count, const char* prefix) {
    if (count == 0) return;
    diag_printf(DiagStream::Err,
                "%s %llu rays with a non-finite component or one beyond %g could not be "
                "traced and were taken as misses\n",
                prefix, static_cast<unsigned long long>(count), double(kMaxRayCoordinate));
}

// An array must never claim more values than the native result holds.
static void check_shape(size_t count, const std::vector<py::ssize_t>& shape) {
    size_t n = 1;
    for (py::ssize_t d : shape) {
        if (d < 0) throw std::runtime_error("result shape has a negative dimension");
        n *= size_t(d);
    }
    if (n != count)
        throw std::runtime_error("result shape holds " + std::to_string(n) + " values but " +
                                 std::to_string(count) + " were produced");
}

float list_item_to_float(const py::handle& item, const char* who, const char* name,
                         size_t index) {
    PyObject* o = item.ptr();
    const std::string what = prefixed(who, name) + " item " + std::to_string(index);
    // Any Python number (int, float, or an object with __float__ / __index__).
    if (PyFloat_Check(o) || PyLong_Check(o) || PyNumber_Check(o)) {
        const double d = PyFloat_AsDouble(o);
        if (!(d == -1.0 && PyErr_Occurred())) {
            const float f = float(d);
            if (!std::isfinite(f))
                throw std::runtime_error(what + " must be a finite float, got " + show_value(d));
            return f;
        }
        PyErr_Clear();
    }
    throw std::runtime_error(what + " is not a number: " + std::string(py::str(py::repr(item))));
}

std::vector<float> list_to_floats(const py::list& items, const char* who, const char* name) {
    std::vector<float> out;
    out.reserve(items.size());
    for (size_t i = 0; i < items.size(); ++i)
        out.push_back(list_item_to_float(items[i], who, name, i));
    return out;
}

py::array_t<float> to_array(const std::vector<float>& values, std::vector<py::ssize_t> shape) {
    check_shape(values.size(), shape);
    py::array_t<float> out(shape);
    if (!values.empty()) std::memcpy(out.mutable_data(), values.data(), values.size() * sizeof(float));
    return out;
}

py::array_t<int32_t> to_array(const std::vector<int32_t>& values, std::vector<py::ssize_t> shape) {
    check_shape(values.size(), shape);
    py::array_t<int32_t> out(shape);
    if (!values.empty())
        std::memcpy(out.mutable_data(), values.data(), values.size() * sizeof(int32_t));
    return out;
}

ProgressFn wrap_progress(const py::object& progress) {
    if (progress.is_none()) return {};
    py::object fn = progress;  // the call keeps the callable alive
    return [fn](int done, int total, float ms) {
        py::gil_scoped_acquire gil;  // re-entrant: already held on the calling thread
        fn(py::int_(done), py::int_(total), py::float_(ms));
    };
}

ProgressFn wrap_progress_interruptible(const py::object& progress) {
    ProgressFn report = wrap_progress(progress);
    return [report](int done, int total, float ms) {
        {
            py::gil_scoped_acquire gil;
            if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        }
        if (report) report(done, total, ms);
    };
}

}  // namespace vorn::py_bind
