#include "python/convert.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <type_traits>

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

/// Rows of an (N, 3) array; `convert` turns element (i, k) into a component.
template <class Out, class T, class Convert>
std::vector<Out> rows3(const py::array_t<T, py::array::forcecast>& a, const char* who,
                       const char* name, Convert convert) {
    auto v = a.template unchecked<2>();
    if (v.shape(0) > 0 && v.shape(1) != 3)
        throw std::runtime_error(prefixed(who, name) + " must have 3 columns, got " +
                                 std::to_string(v.shape(1)));
    std::vector<Out> out;
    allocate(out, size_t(v.shape(0)), Out{}, who, std::string("a copy of ") + name);
    for (py::ssize_t i = 0; i < v.shape(0); ++i)
        out[size_t(i)] = Out{convert(v(i, 0), i, 0), convert(v(i, 1), i, 1), convert(v(i, 2), i, 2)};
    return out;
}

/// Indices read as T: each must be a whole number within int32, else an
/// error naming the element (NaN fails every comparison).
template <class T>
std::vector<int3> whole_index_rows(const py::array& a, const char* who, const char* name) {
    return rows3<int3>(py::cast<py::array_t<T, py::array::forcecast>>(a), who, name,
                       [&](T x, py::ssize_t i, int k) {
                           const double d = double(x);
                           if (!(d >= -2147483648.0 && d <= 2147483647.0 && T(int32_t(x)) == x))
                               throw std::runtime_error(
                                   prefixed(who, name) + "[" + std::to_string(i) + ", " +
                                   std::to_string(k) + "] must be a whole number within int32, "
                                   "got " + (std::is_integral<T>::value ? std::to_string(x)
                                                                        : show_value(d)));
                           return int32_t(x);
                       });
}

}  // namespace

std::vector<float3> read_rows3(const FloatArray& a, const char* who, const char* name) {
    return rows3<float3>(a, who, name, [](float x, py::ssize_t, int) { return x; });
}

std::vector<int3> read_index_rows(const py::handle& a, const char* who, const char* name) {
    // int32 arrays are read in place; wider integers and floats only when
    // every value survives the cast to int32 unchanged.
    const py::array arr = py::array::ensure(a);
    const char kind = arr ? arr.dtype().kind() : 'V';
    const py::ssize_t width = arr ? arr.dtype().itemsize() : 0;
    try {
        if (kind == 'f' || kind == 'O') return whole_index_rows<double>(arr, who, name);
        if (kind == 'i' && width > 4) return whole_index_rows<long long>(arr, who, name);
        if (kind == 'u' && width >= 4) return whole_index_rows<unsigned long long>(arr, who, name);
        if (kind == 'i' || kind == 'u' || kind == 'b')
            return rows3<int3>(py::cast<IntArray>(arr), who, name,
                               [](int32_t x, py::ssize_t, int) { return x; });
    } catch (const py::cast_error&) {
    }
    throw py::type_error(prefixed(who, name) + " must be an array of integers, got " +
                         std::string(py::str(py::repr(arr ? py::object(arr.dtype())
                                                          : py::type::of(a)))));
}

std::vector<float> read_camera(const FloatArray& a, const char* who) {
    std::vector<float> m(16, 0.0f);
    if (a.ndim() == 2) {
        auto v = a.unchecked<2>();
        if ((v.shape(0) != 3 && v.shape(0) != 4) || v.shape(1) != 4)
            throw std::runtime_error(std::string(who) + ": cam_xform must be a 3 x 4 or 4 x 4 "
                                     "matrix or hold 12 to 16 values, got shape (" +
                                     std::to_string(v.shape(0)) + ", " +
                                     std::to_string(v.shape(1)) + ")");
        for (py::ssize_t r = 0; r < v.shape(0); ++r)
            for (py::ssize_t c = 0; c < 4; ++c) m[size_t(4 * r + c)] = v(r, c);
        return m;
    }
    const std::vector<float> values = read_1d(a, who, "cam_xform");
    if (values.size() < 12 || values.size() > 16)
        throw std::runtime_error(std::string(who) + ": cam_xform must hold 12 to 16 values (a "
                                 "3 x 4 or 4 x 4 row-major matrix), got " +
                                 std::to_string(values.size()));
    std::copy(values.begin(), values.end(), m.begin());
    return m;
}

uint64_t check_seed(long long seed, const char* who) {
    if (seed < 0)
        throw std::runtime_error(std::string(who) + ": seed must be >= 0, got " +
                                 std::to_string(seed));
    return uint64_t(seed);
}

int check_threads(int num_threads, const char* who) {
    if (num_threads < 0 || num_threads > kMaxThreads)
        throw std::runtime_error(std::string(who) + ": num_threads must lie in [0, " +
                                 std::to_string(kMaxThreads) + "] (0: every core), got " +
                                 std::to_string(num_threads));
    return num_threads;
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

namespace {

/// Reports to a progress bar: its total set to the call's, then the units
/// done since the last report added with update().
ProgressFn bar_progress(const py::object& bar) {
    auto shown = std::make_shared<long long>(0);
    return [bar, shown](int done, int total, float) {
        py::gil_scoped_acquire gil;
        if (py::hasattr(bar, "total")) {
            const py::object t = bar.attr("total");
            if (t.is_none() || !t.equal(py::int_(total))) bar.attr("total") = py::int_(total);
        }
        bar.attr("update")(py::int_(done - *shown));
        *shown = done;
    };
}

}  // namespace

ProgressFn wrap_progress(const py::object& progress) {
    if (progress.is_none()) return {};
    if (!PyCallable_Check(progress.ptr()) && py::hasattr(progress, "update"))
        return bar_progress(progress);
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
