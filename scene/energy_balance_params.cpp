#include "scene/energy_balance_params.h"

#include <cmath>
#include <sstream>
#include <stdexcept>
#include <string>

namespace vorn {

namespace {

constexpr const char* kSingle = "run_energy_balance";
constexpr const char* kMulti = "run_energy_balance_multiband";
/// Hottest temperature accepted (K): far above any surface, far below where
/// sigma T^4 leaves float range.
constexpr float kMaxTemperature = 1e6f;

[[noreturn]] void fail(const char* who, const std::string& what) {
    throw std::runtime_error(std::string(who) + ": " + what);
}

std::string number(double v) {
    std::ostringstream s;
    s << v;
    return s.str();
}

void check_common(const char* who, uint32_t n_primitives, int32_t n_samples) {
    if (n_primitives < 1) fail(who, "scene has 0 primitives");
    if (n_samples < 1) fail(who, "n_samples must be > 0");
}

void check_nonnegative(const char* who, const std::string& name, double v) {
    if (!(std::isfinite(v) && v >= 0.0))
        fail(who, name + " must be finite and >= 0, got " + number(v));
}

void check_sun(const char* who, float x, float y, float z) {
    const bool finite = std::isfinite(x) && std::isfinite(y) && std::isfinite(z);
    if (!finite || (x == 0.0f && y == 0.0f && z == 0.0f))
        fail(who, "the sun direction must be finite and non-zero, got (" + number(x) + ", " +
                      number(y) + ", " + number(z) + ")");
}

/// Albedos, when present, must be exactly `expected` values in [0, 1].
void check_albedos(const char* who, const float* a, int32_t n, int64_t expected,
                   const char* expected_text) {
    if (!a || n <= 0) return;
    if (int64_t(n) != expected)
        fail(who, std::string("sw_albedos must hold ") + expected_text + " = " +
                      std::to_string(expected) + " values, got " + std::to_string(n));
    for (int32_t i = 0; i < n; ++i)
        if (!(a[i] >= 0.0f && a[i] <= 1.0f))
            fail(who, "sw_albedos[" + std::to_string(i) + "] must lie in [0, 1], got " +
                          number(a[i]));
}

void check_values(const char* who, const char* name, const float* v, size_t n, size_t expected,
                  float upper) {
    if (!v) return;
    if (n != expected)
        fail(who, std::string(name) + " array length " + std::to_string(n) +
                      " does not match n_primitives() = " + std::to_string(expected));
    for (size_t i = 0; i < n; ++i)
        if (!(v[i] >= 0.0f && v[i] <= upper))
            fail(who, std::string(name) + "[" + std::to_string(i) + "] must lie in [0, " +
                          number(upper) + "], got " + number(v[i]));
}

}  // namespace

void check_energy_balance(const EnergyBalanceParams& p, uint32_t n_primitives,
                          int scene_bands) {
    check_common(kSingle, n_primitives, p.n_samples);
    const int nb = energy_balance_bands(scene_bands);
    if (p.band_type < 0 || p.band_type >= nb)
        fail(kSingle, "band_type must lie in [0, " + std::to_string(nb) + ") (the scene's bands), got " +
                          std::to_string(p.band_type));
    check_nonnegative(kSingle, "sun_irradiance", p.sun_irradiance);
    check_nonnegative(kSingle, "sky_diffuse_radiance", p.sky_diffuse_radiance);
    check_nonnegative(kSingle, "sky_lw_radiance", p.sky_lw_radiance);
    check_sun(kSingle, p.sun_dir_x, p.sun_dir_y, p.sun_dir_z);
    check_albedos(kSingle, p.sw_albedos, p.n_sw_albedos, n_primitives, "n_primitives()");
}

void check_energy_balance(const EnergyBalanceMultibandParams& p, uint32_t n_primitives,
                          int scene_bands) {
    if (n_primitives < 1) fail(kMulti, "scene has 0 primitives");
    if (p.n_bands < 1) fail(kMulti, "n_bands must be > 0");
    check_common(kMulti, n_primitives, p.n_samples);
    const int nb = energy_balance_bands(scene_bands);
    if (p.n_bands > nb)
        fail(kMulti, "n_bands must not exceed the scene's " + std::to_string(nb) +
                         " bands, got " + std::to_string(p.n_bands));
    for (int32_t b = 0; b < p.n_bands; ++b) {
        if (p.sun_irradiance)
            check_nonnegative(kMulti, "sun_irradiance[" + std::to_string(b) + "]",
                              p.sun_irradiance[b]);
        if (p.sky_diffuse_radiance)
            check_nonnegative(kMulti, "sky_diffuse_radiance[" + std::to_string(b) + "]",
                              p.sky_diffuse_radiance[b]);
    }
    check_sun(kMulti, p.sun_dir_x, p.sun_dir_y, p.sun_dir_z);
    check_albedos(kMulti, p.sw_albedos, p.n_sw_albedos, int64_t(p.n_bands) * n_primitives,
                  "n_bands * n_primitives()");
}

void check_primitive_overrides(const char* who, const PrimitiveOverrides& o,
                               uint32_t n_primitives) {
    check_values(who, "temperatures", o.temperatures, o.n_temperatures, n_primitives,
                 kMaxTemperature);
    check_values(who, "emissivities", o.emissivities, o.n_emissivities, n_primitives, 1.0f);
}

}  // namespace vorn
