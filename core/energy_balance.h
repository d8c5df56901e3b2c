// The energy balance of every triangle (primitive) of a scene: the radiation
// absorbed per square metre of its top face (the side its unit world normal
// points to) and of its bottom face, by reverse ray tracing from uniform
// points on the triangle towards the sun, the sky and the other surfaces.
//
// Per face f of primitive p (unit normal n_f), sample point x on p and band b,
// the absorbed flux density in W m^-2 is a_{f,b} SW + eps_p LW with
//   SW = E_b max(0, n_f . s) V(x)                          direct sun
//      + over one cosine-weighted ray around n_f:
//          escapes upwards          pi L_b                  diffuse sky
//          escapes downwards        0
//          hits primitive q at y    alpha_{q,b} H_{q,b}(y)  second bounce
//   LW = over the same ray:
//          escapes upwards          pi L_lw                 long-wave sky
//          hits q                   eps_q sigma T_q^4       surface emission
// where s is the unit vector towards the sun (a sun on or below the horizon
// gives no direct light), V the visibility of the sun, a the face's
// absorptance in the band (leaf 1 - rho_face - tau, opaque 1 - rho, black 1),
// alpha_q the caller's albedo of q (the second bounce runs only when albedos
// are given), and H_q(y) = E_b max(0, n_y . s) V(y) + pi L_b [sky ray from y
// escapes upwards] q's own first-bounce short-wave irradiance at y, on the
// face the ray hit, estimated in the same sample with one shadow ray and one
// cosine-weighted ray. A cosine-weighted ray sees radiance L with weight
// L cos / pdf = pi L, so each term is an unbiased estimate of irradiance, and
// a result is the mean over n_samples samples: its expectation does not
// depend on n_samples.
//
// Long wave is single scattering: surfaces emit eps sigma T^4 on both faces
// (Lambertian) and reflect no long wave. T_q is the per-primitive override
// when one is set, else the material's temperature as thermal mode reads it
// (params[2], or the sunlit / shaded pair params[3] / params[4] chosen by a
// shadow test towards s from the hit). eps is the per-primitive override when
// set, else the material's params[5] when it lies in (0, 1], else 1.
//
// Rays cross the periodic tile as in the other engines: a ray that finds
// nothing re-enters through the opposite side (num_repetitions crossings at
// most), and escapes once it climbs above max_height or descends below the
// scene's lowest point. Primitives outside the tile are sampled as they lie.
//
// Streams: sample s of primitive p draws its point and top-face ray from the
// stream (EnergyBalanceTop, p, s) and its bottom-face ray from
// (EnergyBalanceBottom, p, s), so results depend on neither the thread count
// nor two_sided, and a multiband run traces the same rays as single-band runs.
//
// Like the other transport loops this is a template on a tracer with
//     Hit  trace_ray(const float3& o, const float3& d) const;
//     bool trace_shadow(const float3& o, const float3& d, float tfar) const;
// (Hit with the fields of SurfaceHit, core/hit.h). A caller samples a
// primitive with sample_primitive and folds each face sample into its result
// with face_absorbed; the CPU adds the samples of a primitive in order, a
// device program may add them with atomics.
#pragma once

#include <cstdint>

#include "core/bsdf.h"
#include "core/frame.h"
#include "core/hd.h"
#include "core/pcg32.h"
#include "core/periodic.h"
#include "core/sampling.h"
#include "core/scene_view.h"
#include "core/thermal.h"

namespace vorn {

/// Stefan-Boltzmann constant, W m^-2 K^-4.
constexpr double kStefanBoltzmann = 5.670374419e-8;
/// pi: a cosine-weighted ray seeing radiance L estimates irradiance pi L.
constexpr double kEbPi = 3.141592653589793;
/// MaterialData::params slot holding a material's long-wave emissivity.
constexpr int kEmissivityParam = 5;

/// The per-primitive world arrays (scene/world_primitives.h) and overrides.
struct PrimitiveView {
    const float3* v0;                ///< world vertex 0 per primitive
    const float3* v1;                ///< world vertex 1
    const float3* v2;                ///< world vertex 2
    const float3* normals;           ///< unit world face normal (the top face)
    const int32_t* material_ids;     ///< material per primitive
    const int32_t* instance_offsets; ///< first primitive of each instance, plus the total
    int32_t num_instances;           ///< entries of instance_offsets minus one
    uint32_t n_primitives;           ///< primitives
    const float* temperatures;       ///< K per primitive, or null: the materials'
    const float* emissivities;       ///< long-wave emissivity per primitive, or null
};

/// Settings of one run, shared by every sample.
struct EnergyBalanceConfig {
    float3 sun;          ///< unit vector towards the sun
    int32_t n_samples;   ///< samples per primitive, > 0
    bool two_sided;      ///< bottom faces too
    bool sun_on;         ///< some band has sun irradiance: trace shadow rays for it
    bool second_bounce;  ///< albedos given: estimate the first bounce at hits
    bool longwave;       ///< long-wave terms (single-band runs)
    float min_height;    ///< lowest world z of the scene: nothing lies below
};

/// Unit vector along a finite non-zero v: divided by its largest component
/// first, so that neither tiny nor huge components under- or overflow.
VORN_HD float3 unit_direction(float3 v) {
    const float m = f_max(f_abs(v.x), f_max(f_abs(v.y), f_abs(v.z)));
    return m > 0.0f ? normalize(make_f3(v.x / m, v.y / m, v.z / m)) : v;
}

/// The configuration for a sun direction as the caller gives it (normalised
/// here; the caller rejects a zero or non-finite one).
VORN_HD EnergyBalanceConfig make_energy_balance_config(float3 sun, int32_t n_samples,
                                                       bool two_sided, bool sun_on,
                                                       bool second_bounce, bool longwave,
                                                       float min_height) {
    return EnergyBalanceConfig{unit_direction(sun), n_samples, two_sided, sun_on,
                               second_bounce, longwave, min_height};
}

/// What one face sample saw, the same in every band.
struct FaceSample {
    float sun;       ///< max(0, n_f . s) V(x): direct-sun factor
    bool sky;        ///< the face's ray escaped upwards
    int32_t hit;     ///< global index of the primitive it hit, -1 for none
    float hit_sun;   ///< max(0, n_y . s) V(y) at the hit (second bounce)
    bool hit_sky;    ///< the sky ray from the hit escaped upwards (second bounce)
    float emission;  ///< eps_q sigma T_q^4 of the hit primitive, W m^-2 (long wave)
};

/// The short-wave inputs of one band.
struct ShortwaveBand {
    float sun_irradiance;  ///< E_b, W m^-2 on a surface facing the sun
    float sky_radiance;    ///< L_b, W m^-2 sr^-1, isotropic
    const float* albedos;  ///< n_primitives albedos of this band, or null
};

// ---- rays ------------------------------------------------------------------

/// Closest hit of a ray through the periodic tile; a miss when it escapes.
template <class Tracer>
VORN_HD auto trace_periodic(const Tracer& tracer, const SceneView& sv, float min_height,
                            float3 o, float3 d) {
    int wraps = 0;
    for (;;) {
        const auto h = tracer.trace_ray(o, d);
        if (h.hit) return h;
        const bool gone = above_scene(o, d, sv.max_height) || (d.z < 0.0f && o.z < min_height);
        float t = 0.0f;
        if (gone || !may_cross_tile(sv.tile, wraps) || !continue_through_tile(sv.tile, o, d, &t))
            return h;
        ++wraps;
    }
}

/// The sun seen from x on the side of n (a sun on or below the horizon is not).
template <class Tracer>
VORN_HD bool sun_visible(const Tracer& tracer, const SceneView& sv, float3 s, float3 x,
                         float3 n) {
    if (!(s.z > 0.0f)) return false;
    return !occluded_periodic(tracer, sv.tile, s, offset_ray_origin(x, face_towards(n, s)),
                              sv.max_height);
}

/// Draws a cosine-weighted direction around n (two draws).
VORN_HD float3 sample_face_direction(float3 n, Pcg32& rng) {
    const float u_r = next_float(rng);
    const float u_phi = next_float(rng);
    return ShadingFrame(n).to_world(sample_cosine_hemisphere(u_r, u_phi).w);
}

/// Global primitive of a hit, or -1 when the hit names none.
template <class Hit>
VORN_HD int32_t hit_primitive(const PrimitiveView& pv, const Hit& h) {
    if (h.instance_id < 0 || h.instance_id >= pv.num_instances || h.prim_id < 0) return -1;
    const int64_t q = int64_t(pv.instance_offsets[h.instance_id]) + h.prim_id;
    return q < int64_t(pv.n_primitives) ? int32_t(q) : -1;
}

// ---- emissivity and emission -------------------------------------------------

VORN_HD float material_emissivity(const MaterialData& m) {
    const float e = m.params[kEmissivityParam];
    return (e > 0.0f && e <= 1.0f) ? e : 1.0f;
}

VORN_HD float primitive_emissivity(const SceneView& sv, const PrimitiveView& pv, int32_t q) {
    if (pv.emissivities) return pv.emissivities[q];
    const int32_t m = pv.material_ids[q];
    return (m >= 0 && m < sv.num_materials) ? material_emissivity(sv.materials[m]) : 1.0f;
}

/// eps_q sigma T_q^4 in W m^-2; `shaded` picks from a sunlit / shaded pair.
VORN_HD float primitive_emission(const SceneView& sv, const PrimitiveView& pv, int32_t q,
                                 const MaterialData& m, bool shaded) {
    const double t = pv.temperatures ? double(pv.temperatures[q])
                                     : double(surface_temperature(m, shaded));
    if (!(t > 0.0)) return 0.0f;
    return float(double(primitive_emissivity(sv, pv, q)) * kStefanBoltzmann * t * t * t * t);
}

// ---- samples -------------------------------------------------------------------

/// Traces the ray of face (x, n_f) and what its hit needs.
template <class Tracer>
VORN_HD void trace_face(const Tracer& tracer, const SceneView& sv, const PrimitiveView& pv,
                        const EnergyBalanceConfig& cfg, float3 x, float3 nf, Pcg32& rng,
                        FaceSample* out) {
    out->sky = false;
    out->hit = -1;
    out->hit_sun = 0.0f;
    out->hit_sky = false;
    out->emission = 0.0f;
    const float3 d = sample_face_direction(nf, rng);
    const auto h = trace_periodic(tracer, sv, cfg.min_height, offset_ray_origin(x, nf), d);
    if (!h.hit) {
        out->sky = d.z > 0.0f;
        return;
    }
    out->hit = hit_primitive(pv, h);
    // Checked before the engine runs; a device tracer gets the same guard.
    if (out->hit < 0 || h.material_id < 0 || h.material_id >= sv.num_materials) return;
    const MaterialData& m = sv.materials[h.material_id];
    const float3 ny = h.geometric_normal;  // the face of q the ray arrived at
    const float cy = dot(ny, cfg.sun);
    // The shadow ray decides the second bounce's sun and a sunlit / shaded pair.
    const bool needs_pair = cfg.longwave && !pv.temperatures && has_sunlit_shaded_temperatures(m);
    const bool lit = ((cfg.second_bounce && cfg.sun_on && cy > 0.0f) || needs_pair) &&
                     sun_visible(tracer, sv, cfg.sun, h.position, ny);
    if (cfg.second_bounce) {
        out->hit_sun = lit ? f_max(0.0f, cy) : 0.0f;
        const float3 dy = sample_face_direction(ny, rng);
        out->hit_sky = dy.z > 0.0f &&
                       !occluded_periodic(tracer, sv.tile, dy, offset_ray_origin(h.position, ny),
                                          sv.max_height);
    }
    if (cfg.longwave) out->emission = primitive_emission(sv, pv, out->hit, m, !lit);
}

/// Sample s of primitive p: a uniform point, its sun visibility and one ray
/// per face. `bot` is not written for a one-sided run.
template <class Tracer>
VORN_HD void sample_primitive(const Tracer& tracer, const SceneView& sv,
                              const PrimitiveView& pv, const EnergyBalanceConfig& cfg,
                              uint32_t p, uint32_t s, FaceSample* top, FaceSample* bot) {
    Pcg32 rng;
    seed_stream(rng, StreamKind::EnergyBalanceTop, p, s, sv.seed);
    float b1, b2;
    const float u1 = next_float(rng);
    const float u2 = next_float(rng);
    sample_uniform_triangle(u1, u2, &b1, &b2);
    const float3 x = (1.0f - b1 - b2) * pv.v0[p] + b1 * pv.v1[p] + b2 * pv.v2[p];
    const float3 n = pv.normals[p];
    const float c = dot(n, cfg.sun);
    // One shadow ray serves both faces: only the one facing the sun is lit.
    const float lit = (cfg.sun_on && c != 0.0f && sun_visible(tracer, sv, cfg.sun, x, n))
                          ? f_abs(c) : 0.0f;
    top->sun = c > 0.0f ? lit : 0.0f;
    trace_face(tracer, sv, pv, cfg, x, n, rng, top);
    if (!cfg.two_sided) return;
    Pcg32 rng_bottom;
    seed_stream(rng_bottom, StreamKind::EnergyBalanceBottom, p, s, sv.seed);
    bot->sun = c < 0.0f ? lit : 0.0f;
    trace_face(tracer, sv, pv, cfg, x, -n, rng_bottom, bot);
}

// ---- results ---------------------------------------------------------------------

/// Short-wave irradiance of a face sample in one band, W m^-2 (before absorptance).
VORN_HD double face_shortwave(const FaceSample& f, const ShortwaveBand& b) {
    const double e = double(b.sun_irradiance) * double(f.sun);
    if (f.sky) return e + kEbPi * double(b.sky_radiance);
    if (f.hit < 0 || !b.albedos) return e;
    const double first = double(b.sun_irradiance) * double(f.hit_sun) +
                         (f.hit_sky ? kEbPi * double(b.sky_radiance) : 0.0);
    return e + double(b.albedos[f.hit]) * first;
}

/// Long-wave irradiance of a face sample, W m^-2 (before emissivity).
VORN_HD double face_longwave(const FaceSample& f, float sky_lw_radiance) {
    return f.sky ? kEbPi * double(sky_lw_radiance) : double(f.emission);
}

/// Absorptance of primitive p's top (bottom) face in band b and its emissivity.
struct FaceCoefficients {
    double top;         ///< short-wave absorptance of the top face
    double bottom;      ///< short-wave absorptance of the bottom face
    double emissivity;  ///< long-wave emissivity (absorptance) of both faces
};

VORN_HD FaceCoefficients face_coefficients(const SceneView& sv, const PrimitiveView& pv,
                                           uint32_t p, int band) {
    const int32_t m = pv.material_ids[p];
    if (m < 0 || m >= sv.num_materials) return FaceCoefficients{0.0, 0.0, 0.0};
    const MaterialData& md = sv.materials[m];
    return FaceCoefficients{absorptance(md, band, sv.spectral, sv.nb, false),
                            absorptance(md, band, sv.spectral, sv.nb, true),
                            double(primitive_emissivity(sv, pv, int32_t(p)))};
}

/// What one face sample adds to its face's result (already divided by
/// n_samples, so the samples of a face sum to the result): absorptance times
/// short wave, plus emissivity times long wave when cfg.longwave.
VORN_HD double face_absorbed(const EnergyBalanceConfig& cfg, const FaceSample& f,
                             const ShortwaveBand& b, double absorptance_f, double emissivity,
                             float sky_lw_radiance) {
    const double lw = cfg.longwave ? face_longwave(f, sky_lw_radiance) : 0.0;
    return (absorptance_f * face_shortwave(f, b) + emissivity * lw) / double(cfg.n_samples);
}

}  // namespace vorn
