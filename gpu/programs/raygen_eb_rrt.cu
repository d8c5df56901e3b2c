// The energy-balance pipelines: launch index (p, s) is sample
// sample_index + s of primitive p, the CPU engine's own sample
// (core/energy_balance.h: sample_primitive, face_coefficients,
// face_absorbed). Each face's samples are summed in double in `eb_sums`
// ([(b * P + p) * 2 + face], then one sample counter per primitive after the
// 2 * bands * P sums); the sample that completes a primitive writes its float
// results into top / bot (top_mb / bot_mb, band-major). The sums are those of
// the CPU engine in another order, so the float results agree to rounding.
//
// One miss record serves both ray types here: a radiance ray carries the
// address of its hit record in its two payload words, a shadow ray a null
// address, and skips closest hits; its miss sets word 1 (not occluded).
#include "core/energy_balance.h"
#include "core/scene_view.h"
#include "gpu/programs/device_tracer.h"

VORN_LAUNCH_PARAMS(vorn::LaunchParams, params)

namespace vorn::dev {

/// The main programs' tracer (its radiance rays use miss record 0, the only
/// one here) with the shadow query of this table's single miss program.
struct EnergyBalanceTracer : OptixTracer {
    VORN_DEVICE bool trace_shadow(const float3& o, const float3& d, float tfar) const {
        if (!(tfar >= kTraceTmin)) return false;
        uint32_t payload[2] = {0u, 0u};
        trace(handle, o, d, kTraceTmin, tfar,
              OPTIX_RAY_FLAG_DISABLE_ANYHIT | OPTIX_RAY_FLAG_TERMINATE_ON_FIRST_HIT |
                  OPTIX_RAY_FLAG_DISABLE_CLOSESTHIT,
              programs::kRayShadow, programs::kRayTypeCount, 0, payload);
        return payload[1] == 0u;
    }
};

/// Where the results of one launch go, per output band.
struct Outputs {
    float* top;  ///< band-major, P per band
    float* bot;  ///< band-major; null for a one-sided run
    int32_t bands;
};

VORN_DEVICE void balance_sample(bool multiband) {
    const EnergyBalanceBlock& e = params.eb;
    const UInt3 li = launch_index();
    const uint32_t p = li.x, s = params.sample_index + li.y;
    const uint32_t np = params.scene.n_primitives;
    if (p >= np || int64_t(s) >= int64_t(e.n_samples) || params.eb_sums == nullptr) return;
    SceneView sv = scene_view_from_record(params.scene);
    sv.nb = sv.nb > 0 ? sv.nb : 1;  // the engines' band count, as on the CPU
    const SceneData& r = params.scene;
    const PrimitiveView pv{r.prim_v0,           r.prim_v1,          r.prim_v2,
                           r.prim_normals,      r.prim_material_ids, r.instance_offsets,
                           e.num_instances,     np,                  r.prim_temperatures,
                           r.prim_emissivities};
    const Outputs out = multiband ? Outputs{e.top_mb, e.bot_mb, e.n_bands}
                                  : Outputs{e.top, e.bot, 1};
    if (out.top == nullptr || out.bands < 1) return;
    bool sun_on = !multiband && e.sun_irradiance > 0.0f;
    for (int32_t b = 0; multiband && e.sun_irr && b < out.bands; ++b)
        sun_on = sun_on || e.sun_irr[b] > 0.0f;
    const float* albedos = multiband ? e.sw_albedos_mb : e.sw_albedos;
    const EnergyBalanceConfig cfg =
        make_energy_balance_config(e.sun_dir, e.n_samples, out.bot != nullptr, sun_on,
                                   albedos != nullptr, !multiband, params.eb_min_height);
    FaceSample top, bot;
    sample_primitive(EnergyBalanceTracer{{r.ias_handle}}, sv, pv, cfg, p, s, &top, &bot);

    double* sums = params.eb_sums;
    for (int32_t b = 0; b < out.bands; ++b) {
        const ShortwaveBand band =
            multiband ? ShortwaveBand{e.sun_irr ? e.sun_irr[b] : 0.0f,
                                      e.sky_diff ? e.sky_diff[b] : 0.0f,
                                      albedos ? albedos + size_t(b) * np : nullptr}
                      : ShortwaveBand{e.sun_irradiance, e.sky_diffuse_radiance, albedos};
        const FaceCoefficients k = face_coefficients(sv, pv, p, multiband ? b : e.band_type);
        double* face = sums + (size_t(b) * np + p) * 2;
        atomic_add(face, face_absorbed(cfg, top, band, k.top, k.emissivity,
                                       e.sky_lw_radiance));
        if (cfg.two_sided)
            atomic_add(face + 1, face_absorbed(cfg, bot, band, k.bottom, k.emissivity,
                                               e.sky_lw_radiance));
    }
    // The last sample of p to arrive sees every sum complete.
    thread_fence();
    unsigned int* counters = reinterpret_cast<unsigned int*>(sums + size_t(2) * out.bands * np);
    if (atomic_add(counters + p, 1u) + 1u != uint32_t(e.n_samples)) return;
    thread_fence();
    for (int32_t b = 0; b < out.bands; ++b) {
        double* face = sums + (size_t(b) * np + p) * 2;
        out.top[size_t(b) * np + p] = float(atomic_add(face, 0.0));
        if (out.bot) out.bot[size_t(b) * np + p] = float(atomic_add(face + 1, 0.0));
    }
}

}  // namespace vorn::dev

VORN_PROGRAM(__raygen__eb_rrt) { vorn::dev::balance_sample(false); }

VORN_PROGRAM(__raygen__eb_rrt_multiband) { vorn::dev::balance_sample(true); }

VORN_PROGRAM(__miss__eb_rrt) {
    if (vorn::SurfaceHit* rec = vorn::dev::payload_hit_record())
        *rec = vorn::SurfaceHit{};
    else
        vorn::dev::set_payload(1, 1u);
}

VORN_PROGRAM(__closesthit__eb_rrt) { vorn::dev::closest_hit_radiance(); }
