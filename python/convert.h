// Conversion conventions shared by every binding: NumPy arrays in (forced
// float32 / int32, read in index order), new NumPy arrays out, Python lists
// converted item by item, and the progress callable.
#pragma once

#include <pybind11/functional.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "scene/types.h"

namespace vorn::py_bind {

namespace py = pybind11;

/// Float arrays: anything NumPy can turn into float32 (float64 is cast, not rejected).
using FloatArray = py::array_t<float, py::array::forcecast>;
/// Integer arrays: anything NumPy can turn into int32.
using IntArray = py::array_t<int32_t, py::array::forcecast>;
/// (units done, units in total, elapsed milliseconds).
using ProgressFn = std::function<void(int, int, float)>;

inline bool any_object(PyObject*) { return true; }

/// An argument the binding converts itself, after looking at what arrived
/// (the triangle indices, whose float values must be whole numbers).
/// Signatures show it as numpy.typing.ArrayLike.
class ArrayLike : public py::object {
public:
    PYBIND11_OBJECT_DEFAULT(ArrayLike, object, any_object)
};

// Messages of the readers below start with `who`, the Python function the
// caller used, and name the argument: "add_instance_xform: xform must hold at
// least 12 values, got 11".

/// All values of a 1-D array in index order. Any other dimension count raises
/// the array library's dimension error ("array has incorrect number of
/// dimensions: N; expected 1"), which reaches Python as ValueError.
std::vector<float> read_1d(const FloatArray& a, const char* who, const char* name);

/// As read_1d, and rejects arrays with fewer than `min_count` values.
std::vector<float> read_1d_at_least(const FloatArray& a, size_t min_count, const char* who,
                                    const char* name);

/// The first three values of a 1-D array as a vector (direction, centre).
float3 read_vec3(const FloatArray& a, const char* who, const char* name);

/// The first 12 values of a 1-D array: a 3x4 row-major transform.
void read_xform(const FloatArray& a, float out[12], const char* who);

/// Rows of a 2-D array of exactly three columns (any number of columns when it
/// has no rows), one float3 per row.
std::vector<float3> read_rows3(const FloatArray& a, const char* who, const char* name);
/// The same for triangle indices: int32 arrays are read in place; other
/// integer arrays must hold 32-bit values, float arrays whole 32-bit values
/// ("add_mesh: indices[1, 2] must be a whole number, got 0.5"); anything else
/// NumPy converts to int32.
std::vector<int3> read_index_rows(const py::handle& a, const char* who, const char* name);

/// The camera matrix of set_sensor: 12 to 16 values of a 1-D array, or a
/// 3 x 4 or 4 x 4 matrix, in row-major order (a 16-value array, missing
/// values 0). Any other count or shape raises RuntimeError; more than two
/// dimensions the dimension error.
std::vector<float> read_camera(const FloatArray& a, const char* who);

/// The `seed` of a simulation (>= 0) as the engines take it.
uint64_t check_seed(long long seed, const char* who);
/// The `num_threads` of a simulation: 0 (every hardware thread) up to kMaxThreads.
constexpr int kMaxThreads = 4096;
int check_threads(int num_threads, const char* who);

/// 3 x `count` values of a 1-D array (x, y, z per item), every one finite and
/// within +-kMaxCoordinate: pulse origins.
std::vector<float> read_points(const FloatArray& a, int count, const char* who,
                               const char* name);
/// 3 x `count` values of a 1-D array, each (x, y, z) finite and non-zero,
/// returned normalised: pulse and view directions.
std::vector<float> read_directions(const FloatArray& a, int count, const char* who,
                                   const char* name);

/// One list item as a finite float; a non-number or a non-finite value raises
/// RuntimeError naming the item.
float list_item_to_float(const py::handle& item, const char* who, const char* name,
                         size_t index);
/// Every item of a list as float, in order.
std::vector<float> list_to_floats(const py::list& items, const char* who, const char* name);

/// Reports on stderr, after a simulation, how many rays the CPU scene refused
/// to trace (non-finite or beyond the traceable range) and so took as misses.
void report_rejected_rays(uint64_t count, const char* prefix);

/// New C-contiguous float32 array owning a copy of `values`, with `shape`.
py::array_t<float> to_array(const std::vector<float>& values, std::vector<py::ssize_t> shape);
py::array_t<int32_t> to_array(const std::vector<int32_t>& values, std::vector<py::ssize_t> shape);

/// The progress function handed to an engine. For a callable it converts
/// (int, int, float) and calls it with the interpreter lock held; its
/// exceptions propagate unchanged. A progress bar (an object that is not
/// callable but has `update`, such as a tqdm bar) gets its `total` set to the
/// call's total and `update(n)` with the units done since the last report.
/// With None the engine receives an empty function, as documented.
ProgressFn wrap_progress(const py::object& progress);

/// Like wrap_progress, but always returns a callable function that, on the
/// calling thread, first checks for a pending Ctrl-C (raising
/// KeyboardInterrupt) and then reports to the callable when there is one.
/// Long simulations use it so they can be interrupted between units of work
/// even when no callable was given.
ProgressFn wrap_progress_interruptible(const py::object& progress);

}  // namespace vorn::py_bind

namespace pybind11::detail {
template <>
struct handle_type_name<vorn::py_bind::ArrayLike> {
    static constexpr auto name = const_name("numpy.typing.ArrayLike");
};
}  // namespace pybind11::detail
