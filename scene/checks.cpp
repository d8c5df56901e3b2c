#include "scene/checks.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>

namespace vorn {

std::string show_value(double v) {
    if (std::isnan(v)) return "nan";
    if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.7g", v);
    return buf;
}

void fail_input(const char* who, const std::string& what) {
    throw std::runtime_error(std::string(who) + ": " + what);
}

void check_finite(double v, const char* who, const char* name) {
    if (!std::isfinite(v))
        fail_input(who, std::string(name) + " must be finite, got " + show_value(v));
}

void check_coordinate(float v, const char* who, const char* name) {
    if (!(v >= -kMaxCoordinate && v <= kMaxCoordinate))
        fail_input(who, std::string(name) + " must be finite and within [-" +
                            show_value(kMaxCoordinate) + ", " + show_value(kMaxCoordinate) +
                            "], got " + show_value(v));
}

void check_coordinates(const float* v, size_t n, const char* who, const char* name) {
    for (size_t i = 0; i < n; ++i) {
        if (v[i] >= -kMaxCoordinate && v[i] <= kMaxCoordinate) continue;
        const std::string item = std::string(name) + "[" + std::to_string(i) + "]";
        check_coordinate(v[i], who, item.c_str());
    }
}

float3 unit_direction(float3 d, const char* who, const char* name) {
    const std::string shown =
        "(" + show_value(d.x) + ", " + show_value(d.y) + ", " + show_value(d.z) + ")";
    if (!std::isfinite(d.x) || !std::isfinite(d.y) || !std::isfinite(d.z))
        fail_input(who, std::string(name) + " must be finite, got " + shown);
    // Double precision holds the square of every finite float, tiny or huge.
    const double l2 = double(d.x) * d.x + double(d.y) * d.y + double(d.z) * d.z;
    if (!(l2 > 0.0)) fail_input(who, std::string(name) + " must not be the zero vector");
    if (std::fabs(l2 - 1.0) <= 1e-6) return d;  // unit within float rounding: keep its bits
    const double l = std::sqrt(l2);
    return {float(d.x / l), float(d.y / l), float(d.z / l)};
}

std::string transform_defect(const float xf[12]) {
    for (int i = 0; i < 12; ++i)
        if (!std::isfinite(xf[i]))
            return "has a non-finite entry (xform[" + std::to_string(i) + "] = " +
                   show_value(xf[i]) + ")";
    const double a = xf[0], b = xf[1], c = xf[2], d = xf[4], e = xf[5], f = xf[6], g = xf[8],
                 h = xf[9], k = xf[10];
    // Cofactors, then the inverse as their transpose over the determinant.
    const double c00 = e * k - f * h, c01 = f * g - d * k, c02 = d * h - e * g;
    const double c10 = c * h - b * k, c11 = a * k - c * g, c12 = b * g - a * h;
    const double c20 = b * f - c * e, c21 = c * d - a * f, c22 = a * e - b * d;
    const double det = a * c00 + b * c01 + c * c02;
    if (!std::isfinite(det) || det == 0.0)
        return "is singular (the determinant of its 3 x 3 part is " + show_value(det) + ")";
    // Row-sum norm of the inverse: how much it can stretch a coordinate.
    const double rows[3] = {std::fabs(c00) + std::fabs(c10) + std::fabs(c20),
                            std::fabs(c01) + std::fabs(c11) + std::fabs(c21),
                            std::fabs(c02) + std::fabs(c12) + std::fabs(c22)};
    double norm = 0.0;
    for (double r : rows) norm = std::fmax(norm, r / std::fabs(det));
    if (!(norm <= kMaxInverseScale))
        return "is nearly singular (its inverse stretches coordinates by up to " +
               show_value(norm) + ", more than the " + show_value(kMaxInverseScale) +
               " rays can be traced through)";
    return "";
}

void check_allocation(double bytes, const char* who, const std::string& what) {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || page_size <= 0) return;  // unknown: let the allocator decide
    const double memory = double(pages) * double(page_size);
    if (bytes <= memory) return;
    char buf[160];
    std::snprintf(buf, sizeof buf, " needs %.1f GiB, more than the %.1f GiB of memory",
                  bytes / 1073741824.0, memory / 1073741824.0);
    throw AllocationError(std::string(who) + ": " + what + buf);
}

}  // namespace vorn
