// Per-sub-ray LiDAR math shared by the CPU engine and the device program: the
// pulse frame, the sub-ray direction of a beam sample, the range bin of a hit,
// the single-bounce energy it returns, and the two tracing routines (a beam
// sample, a direct-mode pulse), templates on a tracer like the other
// transport loops. The arithmetic is written once, in one evaluation order:
// the host-compiled emulation of the device program therefore bins every hit
// exactly as the CPU engine does; a real device may fuse multiply-adds and
// round its square roots differently, so a hit within rounding of a bin edge
// may land in the neighbouring bin there.
#pragma once

#include <cstdint>

#include "core/frame.h"
#include "core/hd.h"
#include "core/scene_view.h"
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
/// Types without spectral quantities (any other type value) reflect nothing.
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

// ---- tracing -----------------------------------------------------------------
// A tracer provides `Hit trace_ray(const float3& o, const float3& d) const` with
// the fields of SurfaceHit (core/hit.h).

/// The material of a hit, or null where the id names none (no light returns).
VORN_HD const MaterialData* lidar_material(const SceneView& sv, int32_t id) {
    return (id >= 0 && id < sv.num_materials) ? sv.materials + id : nullptr;
}

/// Hands the single-bounce return of a beam sample of weight `weight`, whose
/// sub-ray o + t d met h, to add(bin, wavelength, energy): one call per
/// wavelength below num_wavelengths that returns light. Spectral values are
/// read with the scene's band stride sv.nb.
template <class Hit, class Add>
VORN_HD void add_beam_return(const SceneView& sv, const LidarShot& shot,
                             int32_t num_wavelengths, float3 o, float3 d, const Hit& h,
                             float weight, Add&& add) {
    if (!h.hit) return;
    const SubRayReturn ret = sub_ray_return(shot, o, d, h.position, h.shading_normal, weight);
    const MaterialData* m = lidar_material(sv, h.material_id);
    if (!ret.valid || !m) return;
    for (int32_t w = 0; w < num_wavelengths; ++w) {
        const float v = lidar_reflectance(*m, h.back_face, sv.spectral, sv.nb, w) * ret.energy;
        if (v > 0.0f) add(ret.bin, w, v);
    }
}

/// Traces beam sample (x, y) of weight `weight` of a pulse from o with frame f
/// and hands its return to add (see add_beam_return).
template <class Tracer, class Add>
VORN_HD void trace_beam_sample(const Tracer& tracer, const SceneView& sv,
                               const LidarShot& shot, int32_t num_wavelengths,
                               float tan_alpha, float3 o, const PulseFrame& f, float x,
                               float y, float weight, Add&& add) {
    const float3 d = sub_ray_direction(f, x, y, tan_alpha);
    add_beam_return(sv, shot, num_wavelengths, o, d, tracer.trace_ray(o, d), weight, add);
}

/// A direct-mode return: the hit of the pulse's central ray.
struct DirectReturn {
    float3 position;  ///< world-space hit point
    float intensity;  ///< direct_return_intensity of the hit
    float range;      ///< distance from the pulse origin (m)
    bool valid;       ///< the ray hit something within [min_range, max_range]
};

/// The central ray of a pulse from o along d, as direct mode records it. The
/// reflectance is the material's first spectral value whatever the face; a
/// material without one (or a missing one) returns zero intensity.
template <class Tracer>
VORN_HD DirectReturn trace_direct_pulse(const Tracer& tracer, const SceneView& sv,
                                        const LidarShot& shot, float3 o, float3 d) {
    DirectReturn out{make_f3(0.0f, 0.0f, 0.0f), 0.0f, 0.0f, false};
    const auto h = tracer.trace_ray(o, d);
    if (!h.hit) return out;
    const float r = length(h.position - o);
    if (!(r >= shot.min_range && r <= shot.max_range)) return out;
    const MaterialData* m = lidar_material(sv, h.material_id);
    const float rho =
        (m && material_quantities(m->type) > 0) ? sv.spectral[m->offset] : 0.0f;
    out.position = h.position;
    out.intensity = direct_return_intensity(shot, d, h.shading_normal, rho, r);
    out.range = r;
    out.valid = true;
    return out;
}

}  // namespace vorn
