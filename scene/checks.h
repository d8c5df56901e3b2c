// Checks on the values that enter a scene or an engine from outside, shared
// by both backends, and the allocation helper whose failures say what could
// not be allocated. Messages start with the name of the Python function the
// caller used ("set_emitter: direction must be finite, got (nan, 0, 1)").
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "scene/types.h"

namespace vorn {

/// Largest |value| accepted for positions, extents, heights, vertex
/// coordinates and transform entries (metres): a million kilometres, far
/// beyond any scene, far below where single precision stops meaning anything.
constexpr float kMaxCoordinate = 1e9f;
/// Rays whose origin or direction has a component beyond this are not traced
/// (a miss). Camera footprints and offsets may carry an origin somewhat past
/// kMaxCoordinate, hence the margin.
constexpr float kMaxRayCoordinate = 4.0f * kMaxCoordinate;
/// Embree refuses (and, built with assertions, aborts on) a ray with a
/// component above about 1.844e18 in any space it traces in. An instance maps
/// a world ray through its inverse transform; keeping the inverse's row-sum
/// norm below this keeps every traceable world ray (origin within
/// kMaxRayCoordinate, translation within kMaxCoordinate) four times inside
/// that limit.
constexpr double kMaxInverseScale =
    1.8e18 / (4.0 * (double(kMaxRayCoordinate) + double(kMaxCoordinate)));

/// std::bad_alloc that names what could not be allocated. The Python layer
/// raises it as MemoryError with this text.
class AllocationError : public std::bad_alloc {
public:
    explicit AllocationError(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

/// A float for a message: "nan", "inf", "-inf", "0.5", "1e+19".
std::string show_value(double v);

/// Throws std::runtime_error("<who>: <what>").
[[noreturn]] void fail_input(const char* who, const std::string& what);

/// Rejects NaN and infinities.
void check_finite(double v, const char* who, const char* name);
/// Rejects non-finite values and values outside [-kMaxCoordinate, kMaxCoordinate].
void check_coordinate(float v, const char* who, const char* name);
/// check_coordinate for v[0..n), named "<name>[i]".
void check_coordinates(const float* v, size_t n, const char* who, const char* name);
/// d as a unit vector. Rejects non-finite components and the zero vector;
/// a vector already of unit length within float rounding is returned as it is.
float3 unit_direction(float3 d, const char* who, const char* name);

/// Why rays cannot be traced through an instance with this 3x4 transform
/// (non-finite entries, a singular 3x3 part, or one so nearly singular that its
/// inverse would scale rays beyond what Embree accepts), or "" when they can.
std::string transform_defect(const float xf[12]);

/// True when Embree accepts the ray: origin and direction finite and within
/// kMaxRayCoordinate (a zero direction is accepted; it hits nothing).
inline bool ray_in_range(const float3& o, const float3& d) {
    // Written as "inside" comparisons so that NaN fails them.
    const float L = kMaxRayCoordinate;
    const bool org = o.x >= -L && o.x <= L && o.y >= -L && o.y <= L && o.z >= -L && o.z <= L;
    const bool dir = d.x >= -L && d.x <= L && d.y >= -L && d.y <= L && d.z >= -L && d.z <= L;
    return org && dir;
}

/// Throws AllocationError when `bytes` exceed the machine's physical memory:
/// the kernel would accept such a request and then kill the process while it
/// is being filled.
void check_allocation(double bytes, const char* who, const std::string& what);

/// v.assign(n, value), failing with an AllocationError that names `what`.
template <class T>
void allocate(std::vector<T>& v, size_t n, const T& value, const char* who,
              const std::string& what) {
    check_allocation(double(n) * double(sizeof(T)), who, what);
    try {
        v.assign(n, value);
    } catch (const std::bad_alloc&) {
        throw AllocationError(std::string(who) + ": out of memory allocating " + what + " (" +
                              std::to_string(n) + " values)");
    }
}

}  // namespace vorn
