// Array arguments of the energy-balance calls, read alike for the CPU
// functions and the GPU simulator's methods.
#pragma once

#include <algorithm>
#include <climits>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "python/convert.h"

namespace vorn::py_bind {

/// Values of an optional 1-D array argument (None: absent); any other
/// dimension count raises RuntimeError(`message`).
inline std::optional<std::vector<float>> optional_1d(const py::object& obj, const char* message,
                                                     const char* who, const char* name) {
    if (obj.is_none()) return std::nullopt;
    const FloatArray a(obj);  // NumPy's own error for what it cannot convert
    if (a.ndim() != 1) throw std::runtime_error(message);
    return read_1d(a, who, name);
}

/// A per-band array of the multiband call: absent when it holds no value,
/// else exactly n_bands values in one dimension.
inline std::optional<std::vector<float>> per_band(const FloatArray& a, int n_bands,
                                                  const char* who, const char* name) {
    if (a.size() == 0) return std::nullopt;
    if (a.ndim() != 1 || a.shape(0) != n_bands)
        throw std::runtime_error(std::string(name) + " must be 1D with length n_bands");
    return read_1d(a, who, name);
}

inline const float* data_or_null(const std::optional<std::vector<float>>& v) {
    return v ? v->data() : nullptr;
}

inline int32_t count_of(const std::optional<std::vector<float>>& v) {
    return v ? int32_t(std::min<size_t>(v->size(), INT32_MAX)) : 0;
}

}  // namespace vorn::py_bind
