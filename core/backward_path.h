// One backward (camera) sample: the path traced from a pixel's camera ray
// (core/camera_ray.h) with next-event estimation towards the sun, sky light on
// escape, optional thermal emission and per-primitive overrides and SIF
// (SceneView::prims), and its fold into the running mean.
//
// The loop is a template on a tracer so that the CPU renderer (Embree scene)
// and the device programs (ray-tracing intrinsics) run the same physics. A
// tracer provides
//     Hit  trace_ray(const float3& o, const float3& d) const;
//     bool trace_shadow(const float3& o, const float3& d, float tfar) const;
// where Hit has the fields of SurfaceHit (core/hit.h), which the CPU scene
// returns and the closest-hit programs write.
//
// Per-band state lives in caller-owned scratch (nb doubles each for the
// throughput and the radiance): the CPU keeps one pair per worker thread, a
// device program uses fixed-size local arrays of the GPU scene's band limit.
// Nothing here allocates, so any band count the caller can hold is fine.
#pragma once

#include <cstdint>

#include "core/bsdf.h"
#include "core/camera_ray.h"
#include "core/frame.h"
#include "core/hd.h"
#include "core/hit.h"
#include "core/pcg32.h"
#include "core/periodic.h"
#include "core/scene_view.h"
#include "core/sky.h"
#include "core/thermal.h"

namespace vorn {

/// Cosine of the sun's angular radius (0.27 degrees).
constexpr double kSunDiscCos = 0.999989;
/// Camera rays within the disc have |d - s|^2 <= 2 (1 - cos) = this. The chord
/// keeps float precision where d . s, a hundred thousandth below 1, would
/// carry 0.5 % of the cone's width per rounding step.
constexpr float kSunDiscChord2 = float(2.0 * (1.0 - kSunDiscCos));
/// Solid angle of exactly that cone, 2 pi (1 - cos) = pi |d - s|^2_max (sr):
/// the disc radiance E / this integrates to E over the image of the disc.
constexpr float kSunDiscSolidAngle = float(3.141592653589793 * double(kSunDiscChord2));
/// Paths whose every band carries less than this are not worth continuing.
constexpr double kMinThroughput = 1e-10;
/// Sampled directions with a smaller density are numerically meaningless.
constexpr float kMinPdf = 1e-8f;
/// Russian roulette never keeps a path with more than this probability.
constexpr float kMaxSurvival = 0.95f;

// ---- per-primitive data -----------------------------------------------------

/// Number of the hit primitive in the view's per-primitive arrays, or -1 when
/// the view has none or the hit lies outside them. The instance comes from
/// the tracer, so it indexes instance_offsets within its instances + 1 entries.
VORN_HD int64_t primitive_number(const PrimitiveEmission& p, int32_t instance,
                                 int32_t prim) {
    if (p.instance_offsets == nullptr || instance < 0 || prim < 0) return -1;
    const int64_t n = int64_t(p.instance_offsets[instance]) + prim;
    return n < int64_t(p.n_primitives) ? n : -1;
}

/// The emissivity override of primitive n, or null.
VORN_HD const float* emissivity_override(const PrimitiveEmission& p, int64_t n) {
    return n >= 0 && p.emissivities != nullptr ? p.emissivities + n : nullptr;
}

/// SIF of primitive n leaving the face that was hit: isotropic radiance of the
/// emitting face, band b into image band b. A leaf emits from both faces, any
/// other material from its front face only.
VORN_HD void add_sif(const SceneView& sv, const MaterialData& m, int64_t n, bool back,
                     const double* tp, double* rad) {
    const PrimitiveEmission& p = sv.prims;
    if (n < 0 || p.sif == nullptr || (back && m.type != MaterialType::Leaf)) return;
    const int bands = sv.nb < int(p.n_sif_bands) ? sv.nb : int(p.n_sif_bands);
    for (int b = 0; b < bands; ++b)
        rad[b] += double(p.sif[int64_t(b) * p.n_primitives + n]) * tp[b];
}

// ---- path ------------------------------------------------------------------

/// Planck emission of the hit surface (thermal mode), primitive n. Its
/// temperature override wins; otherwise a material with a sunlit/shaded
/// temperature pair needs a shadow test to pick one. Its emissivity override
/// replaces the material's spectral value in every band.
template <class Tracer>
VORN_HD void add_thermal_emission(const Tracer& tracer, const SceneView& sv,
                                  const MaterialData& m, int64_t n, float3 position,
                                  float3 ng, const double* tp, double* rad) {
    if (sv.nb <= 0) return;
    float temperature = 0.0f;
    if (n >= 0 && sv.prims.temperatures != nullptr) {
        temperature = sv.prims.temperatures[n];
    } else {
        bool shaded = false;
        if (has_sunlit_shaded_temperatures(m)) {
            float3 s = sv.emitter.direction;
            shaded = occluded_periodic(tracer, sv.tile, s,
                                       offset_ray_origin(position, face_towards(ng, s)),
                                       sv.max_height);
        }
        temperature = surface_temperature(m, shaded);
    }
    if (!(temperature > 0.0f)) return;
    const float* eps = emissivity_override(sv.prims, n);
    for (int b = 0; b < sv.nb; ++b) {
        float planck = planck_band_radiance(sv.wavelengths[b], temperature);
        float emissivity = eps ? *eps : sv.spectral[m.offset + b];
        rad[b] += double(planck * emissivity) * tp[b];
    }
}

/// Next-event estimation towards the sun. Only a leaf can be lit from below
/// its shading hemisphere (through transmission).
template <class Tracer>
VORN_HD void add_direct_sun(const Tracer& tracer, const SceneView& sv,
                            const MaterialData& m, const ShadingFrame& frame, float3 view,
                            float3 position, float3 ng, bool back, const double* tp,
                            double* rad) {
    const float3 s = sv.emitter.direction;
    const float3 sl = frame.to_local(s);
    if (sl.z <= 0.0f && m.type != MaterialType::Leaf) return;
    if (!(f_abs(sl.z) > 0.0f)) return;
    if (occluded_periodic(tracer, sv.tile, s,
                          offset_ray_origin(position, face_towards(ng, s)), sv.max_height))
        return;
    const float cos_s = f_abs(sl.z);
    for (int b = 0; b < sv.nb; ++b) {
        float irradiance = sv.spectral[sv.emitter.spectral_offset + b];
        float f = eval_bsdf(m, b, view, sl, sv.spectral, sv.nb, back, false);
        rad[b] += irradiance * (f * tp[b]) * cos_s;
    }
}

/// What an escaping path sees: the sun's disc (camera rays only, not in
/// thermal mode), else the parametric sky, else the uniform sky.
VORN_HD void add_escape(const SceneView& sv, float3 d, int depth, const double* tp,
                        double* rad) {
    const float3 s = sv.emitter.direction;
    const float3 off_sun = d - s;
    if (depth == 0 && dot(off_sun, off_sun) <= kSunDiscChord2 && !sv.thermal) {
        for (int b = 0; b < sv.nb; ++b)
            rad[b] += (sv.spectral[sv.emitter.spectral_offset + b] / kSunDiscSolidAngle) *
                      tp[b];
    } else if (sv.sky.hw_sky_offset >= 0) {
        for (int b = 0; b < sv.nb; ++b)
            rad[b] += hw_sky_radiance(sv.spectral, sv.sky.hw_sky_offset, d, b,
                                      sv.sky.hw_sky_sun) *
                      tp[b];
    } else if (sv.sky.sky_offset >= 0) {
        for (int b = 0; b < sv.nb; ++b)
            rad[b] += sv.spectral[sv.sky.sky_offset + b] * tp[b];
    }
}

/// Russian roulette on per-band weights w[0..nb): one draw, survival with
/// q = min(largest weight, 0.95), survivors boosted by 1/q. Returns false when
/// the path (or photon) ends.
VORN_HD bool russian_roulette(Pcg32& rng, double* w, int nb) {
    float q = 0.0f;
    for (int b = 0; b < nb; ++b) q = f_max(q, float(w[b]));
    q = f_min(q, kMaxSurvival);
    if (next_float(rng) >= q) return false;
    const double boost = 1.0 / double(q);
    for (int b = 0; b < nb; ++b) w[b] *= boost;
    return true;
}

/// Samples the continuation, weights the throughput and plays Russian
/// roulette. Returns false when the path ends; else *w is the local direction.
/// In thermal mode a Lambertian surface reflects one minus its emissivity,
/// the override `eps` when given (Kirchhoff's law for an opaque surface).
VORN_HD bool scatter(const SceneView& sv, const MaterialData& m, float3 view, bool back,
                     const float* eps, Pcg32& rng, int depth, int rr_depth, double* tp,
                     float3* w) {
    float u[3];
    draw_bsdf_uniforms(rng, u);
    const DirectionSample ds = sample_bsdf(m, u);
    if (ds.pdf < kMinPdf || f_abs(ds.w.z) <= 0.0f) return false;
    const float cos_w = f_abs(ds.w.z);
    const bool kirchhoff = eps && sv.thermal && m.type == MaterialType::Lambertian;
    const float reflect =
        kirchhoff && view.z > 0.0f && ds.w.z > 0.0f ? (1.0f - *eps) * kInvPi : 0.0f;
    bool alive = false;
    for (int b = 0; b < sv.nb; ++b) {
        float f = kirchhoff ? reflect
                            : eval_bsdf(m, b, view, ds.w, sv.spectral, sv.nb, back,
                                        sv.thermal);
        tp[b] = f * cos_w / ds.pdf * tp[b];
        alive = alive || tp[b] > kMinThroughput;
    }
    if (!alive) return false;
    if (depth >= rr_depth && !russian_roulette(rng, tp, sv.nb)) return false;
    *w = ds.w;
    return true;
}

/// Sets the path's throughput to 1 and its radiance to 0 in every band.
VORN_HD void start_backward_path(const SceneView& sv, double* tp, double* rad) {
    for (int b = 0; b < sv.nb; ++b) {
        tp[b] = 1.0;
        rad[b] = 0.0;
    }
}

/// The path from (o, d) onwards, given h = tracer.trace_ray(o, d): adds its
/// band radiance to rad[0..nb) with throughput tp (start_backward_path).
/// Callers that trace first rays together (the CPU renderer traces a pixel's
/// camera rays of several passes as one packet) hand their hits in here.
template <class Tracer, class Hit>
VORN_HD void continue_backward_path(const Tracer& tracer, const SceneView& sv, float3 o,
                                    float3 d, Hit h, Pcg32& rng, int max_depth,
                                    int rr_depth, double* tp, double* rad) {
    int depth = 0;
    int wraps = 0;  // shared by every segment of the path, never reset
    for (;; h = tracer.trace_ray(o, d)) {
        if (!h.hit) {
            float t = 0.0f;
            if (may_cross_tile(sv.tile, wraps) &&
                continue_through_tile(sv.tile, o, d, &t)) {
                ++wraps;
                continue;
            }
            if (!sv.prims.sif_only) add_escape(sv, d, depth, tp, rad);
            return;
        }
        // Checked before the engine runs; a device tracer gets the same guard.
        if (h.material_id < 0 || h.material_id >= sv.num_materials) return;
        const MaterialData& m = sv.materials[h.material_id];
        const int64_t n = primitive_number(sv.prims, h.instance_id, h.prim_id);
        add_sif(sv, m, n, h.back_face, tp, rad);
        if (sv.prims.sif_only) return;  // the first surface's SIF is all there is
        const ShadingFrame frame(h.shading_normal);
        const float3 view = frame.to_local(-d);
        if (sv.thermal) {
            add_thermal_emission(tracer, sv, m, n, h.position, h.geometric_normal, tp, rad);
        } else {
            add_direct_sun(tracer, sv, m, frame, view, h.position, h.geometric_normal,
                           h.back_face, tp, rad);
        }
        float3 w;
        if (!scatter(sv, m, view, h.back_face, emissivity_override(sv.prims, n), rng, depth,
                     rr_depth, tp, &w))
            return;
        d = frame.to_world(w);
        o = offset_ray_origin(h.position, face_towards(h.geometric_normal, d));
        if (++depth >= max_depth) return;
    }
}

/// Traces one path from (o, d) and leaves its band radiance in rad[0..nb).
/// tp and rad are caller scratch of nb doubles each.
template <class Tracer>
VORN_HD void trace_backward_path(const Tracer& tracer, const SceneView& sv, float3 o,
                                 float3 d, Pcg32& rng, int max_depth, int rr_depth,
                                 double* tp, double* rad) {
    start_backward_path(sv, tp, rad);
    if (max_depth < 1) return;
    continue_backward_path(tracer, sv, o, d, tracer.trace_ray(o, d), rng, max_depth,
                           rr_depth, tp, rad);
}

// ---- pixel -----------------------------------------------------------------

/// The camera side of the sample of pixel (x, y) in pass `pass`: its stream
/// (left after the pixel-position draws), and its first ray (terrain
/// following and tile entry applied). Returns false when the sample has no ray.
template <class Tracer>
VORN_HD bool camera_sample(const Tracer& tracer, const SceneView& sv, int x, int y, int pass,
                           Pcg32* rng, float3* o, float3* d) {
    const SensorData& s = sv.sensor;
    seed_pixel_sample(*rng, pass, int32_t(int64_t(y) * s.width + x), sv.seed);
    const float u = (float(x) + next_float(*rng)) / float(s.width) - 0.5f;
    const float v = (float(y) + next_float(*rng)) / float(s.height) - 0.5f;
    bool check_ray = true;
    if (!camera_ray(s, u, v, o, d, &check_ray)) return false;
    if (check_ray) {
        if (dot(*d, *d) < 0.5f) return false;
        if (sv.terrain_following && s.type == kSensorOrthographic)
            follow_terrain(tracer, *o, *d, sv.max_height);
    }
    enter_tile(sv.tile, sv.max_height, *o, *d);
    return true;
}

/// One sample of pixel (x, y) in pass `pass`, its radiance left in rad.
/// Returns false when the sample has no ray; the pixel then keeps its value.
template <class Tracer>
VORN_HD bool render_pixel_sample(const Tracer& tracer, const SceneView& sv, int x, int y,
                                 int pass, int max_depth, int rr_depth, double* tp,
                                 double* rad) {
    Pcg32 rng;
    float3 o, d;
    if (!camera_sample(tracer, sv, x, y, pass, &rng, &o, &d)) return false;
    trace_backward_path(tracer, sv, o, d, rng, max_depth, rr_depth, tp, rad);
    return true;
}

/// Folds the sample of pass `pass` into the pixel's running mean over passes.
VORN_HD void accumulate_sample(float* pixel, const double* rad, int nb, int pass) {
    if (pass == 0) {
        for (int b = 0; b < nb; ++b) pixel[b] = float(rad[b]);
        return;
    }
    const float w = 1.0f / float(pass + 1);
    for (int b = 0; b < nb; ++b) pixel[b] = float(rad[b]) * w + pixel[b] * (1.0f - w);
}

}  // namespace vorn
