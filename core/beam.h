// Per-sub-ray LiDAR math shared by the CPU engine and the device program: the
// pulse frame, the sub-ray direction of a beam sample, the range bin of a hit
// and the single-bounce energy it returns. Keeping the arithmetic here, in one
// evaluation order, is what makes both engines bin the same hit identically.
#pragma once

#include <cstdint>

#include "core/frame.h"
#include "core/hd.h"
#include "scene/records.h"
#include "scene/spectral.h"
#include "scene/types.h"

namespace vorn {

/// pi as the float the LiDAR energy formulas divide by.
constexpr float kLidarPi = 3.1415927f;
/// Sub-rays meeting a surface at |cos| below this return nothing (grazing hits).
constexpr float kLidarMinCosine = 1e-6f;

/// Orthonormal frame around a pulse direction d: u and v span the footprint plane.
struct PulseFrame {
    float3 u;  ///< first footprint axis, perpendicular to d
    float3 v;  ///< u x d
    float3 d;  ///< pulse direction (unit length expected)
};

/// The footprint axes are those of the shading frame around d (core/frame.h),
/// whose tangent never divides by a vanishing length for a unit direction.
VORN_HD PulseFrame pulse_frame(float3 d) {
    const ShadingFrame f(d);
    return PulseFrame{f.t, f.b, d};
}

/// Direction of the sub-ray for beam offsets (x, y), given in units of the tangent
/// of the beam half-angle: x tilts along v, y along u.
VORN_HD float3 sub_ray_direction(const PulseFrame& f, float x, float y, float tan_alpha) {
    const float a = x * tan_alpha;
    const float b = y * tan_alpha;
    const float n = 1.0f / f_sqrt(a * a + b * b + 1.0f);
    return normalize(f.v * (n * a) + f.u * (n * b) + f.d * n);
}

/// Range window and radiometry of one LiDAR call, as every sub-ray sees it.
struct LidarShot {
    float pulse_energy;      ///< emitted energy E per pulse
    float sensor_area;       ///< receiver area A (m^2)
    float range_resolution;  ///< bin width (m), > 0
    float min_range;         ///< start of bin 0 (m)
    float max_range;         ///< end of the window (m), inclusive
    int32_t num_bins;        ///< bins in the window
};

/// Bin of range r: trunc((r - min_range) / range_resolution), or -1 outside
/// [0, num_bins). The float is range-checked before the conversion so that
/// NaN or huge quotients never reach an undefined float-to-int cast.
VORN_HD int32_t lidar_range_bin(const LidarShot& s, float r) {
    const float q = (r - s.min_range) / s.range_resolution;
    if (!(q > -2147483648.0f && q < 2147483648.0f)) return -1;
    const int32_t bin = int32_t(q);
    return (bin < 0 || bin >= s.num_bins) ? -1 : bin;
}

/// Where a sub-ray's single-bounce return lands and the energy it carries per
/// unit reflectance; `valid` is false when it lands nowhere.
struct SubRayReturn {
    int32_t bin;
    float energy;
    bool valid;
};

/// Lambertian single bounce seen by a receiver of area A at range r:
/// e = cos * w * E * A / (pi r^2), with w the sample's share of the pulse.
VORN_HD SubRayReturn sub_ray_return(const LidarShot& s, float3 origin, float3 dir,
                                    float3 hit_position, float3 shading_normal,
                                    float weight) {
    SubRayReturn out{-1, 0.0f, false};
    const float r = length(hit_position - origin);
    if (r < s.min_range || r > s.max_range) return out;
    const int32_t bin = lidar_range_bin(s, r);
    if (bin < 0) return out;
    const float c = f_abs(dot(-dir, shading_normal));
    if (c < kLidarMinCosine) return out;
    out.bin = bin;
    out.energy = (c * ((weight * s.pulse_energy) * (s.sensor_area / (r * r)))) / kLidarPi;
    out.valid = true;
    return out;
}

/// Reflectance seen by the laser at wavelength w of a scene with nb bands: a
/// leaf's back reflectance on its back face, otherwise the material's first
/// quantity (Lambertian reflectance, RPV rho0, leaf front reflectance).
/// Types without spectral quantities are black.
VORN_HD float lidar_reflectance(const MaterialData& m, bool back_face,
                                const float* spectral, int32_t nb, int32_t w) {
    if (material_quantities(m.type) < 1) return 0.0f;
    const int q = (m.type == MaterialType::Leaf && back_face) ? 1 : 0;
    return spectral[material_slot(m.offset, q, nb, w)];
}

/// Direct-mode intensity of the central ray: cos * (rho * E) * A / (pi r^2),
/// with rho the material's first spectral value whatever the face.
VORN_HD float direct_return_intensity(const LidarShot& s, float3 dir,
                                      float3 shading_normal, float rho, float r) {
    const float c = f_abs(dot(-dir, shading_normal));
    return c * (rho * s.pulse_energy) * s.sensor_area / ((kLidarPi * r) * r);
}

}  // namespace vorn
