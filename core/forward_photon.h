// One forward photon: emission from the sun or the sky over the scene extent,
// then transport through the scene with absorption tallied where it happens.
//
// Like the backward path loop (core/backward_path.h) this is a template on a
// tracer, so the CPU tracer and the device programs run the same physics. It
// is also a template on a tally sink, because the CPU adds into the tallies of
// the chunk of photons a worker traces (summed in chunk order afterwards, so
// the result does not depend on the thread count) while a device program adds
// into global buffers with atomics. A sink provides
//     bool has_leaf() const; has_terrain(); has_brf(); has_albedo();
//     void add_grid(int64_t index, double e);     // grid[index]
//     void add_leaf(int64_t index, double e);     // leaf[index]
//     void add_terrain(int band, double e);       // terrain[band]
//     void add_brf(int64_t index, double e);      // brf[k * nb + band]
//     void add_albedo(int band, double e);        // albedo[band]
// and is handed only the tallies that are switched on.
//
// The per-band photon energy lives in caller scratch of nb doubles: the CPU
// keeps one block per worker thread; a device program uses a local array of
// kForwardMaxDeviceBands and must refuse larger band counts on the host.
#pragma once

#include <cstdint>

#include "core/backward_path.h"
#include "core/bsdf.h"
#include "core/frame.h"
#include "core/hd.h"
#include "core/pcg32.h"
#include "core/periodic.h"
#include "core/scene_view.h"
#include "core/sky.h"

namespace vorn {

/// Band limit of a device program's local energy array.
constexpr int kForwardMaxDeviceBands = 128;
/// Photons start this far above the measurement plane.
constexpr float kPhotonStartLift = 0.1f;
/// Suns (or emitter directions) closer to the horizon than this emit nothing.
constexpr float kMinSunCos = 0.01f;
/// A photon whose every band carries less than this is not worth following.
constexpr double kMinPhotonEnergy = 1e-8;
/// BRF directions this close to grazing the shading surface are skipped.
constexpr float kMinBrfCos = 1e-6f;
/// pi as the sky emission factor (irradiance of an isotropic radiance).
constexpr double kPiDouble = 3.141592653589793;

// ---- grid ------------------------------------------------------------------

/// The absorption grid: nx x ny columns of dx x dy from (0, 0), nz layers
/// bounded by layers[0..nz].
struct ForwardGrid {
    int32_t nx;
    int32_t ny;
    int32_t nz;
    float dx;
    float dy;
    const float* layers;  ///< nz + 1 heights, increasing
};

/// Column of coordinate c in columns of width `size`: truncation towards zero
/// then clamping to [0, n - 1]. Comparing in float first gives the same answer
/// for every finite value and keeps infinities and NaN out of the conversion.
VORN_HD int32_t grid_column(float c, float size, int32_t n) {
    const float q = c / size;
    if (!(q >= 1.0f)) return 0;
    if (q >= float(n)) return n - 1;
    const int32_t i = int32_t(q);
    return i < n ? i : n - 1;
}

/// First layer l with layers[l] <= z < layers[l + 1]; below every layer the
/// bottom one, otherwise (above, or no layer matched) the top one.
VORN_HD int32_t grid_layer(const float* layers, int32_t nz, float z) {
    for (int32_t l = 0; l < nz; ++l)
        if (layers[l] <= z && z < layers[l + 1]) return l;
    return z < layers[0] ? 0 : nz - 1;
}

/// Cell index of point p: ((iz * ny + iy) * nx + ix).
VORN_HD int64_t grid_cell(const ForwardGrid& g, float3 p) {
    const int64_t ix = grid_column(p.x, g.dx, g.nx);
    const int64_t iy = grid_column(p.y, g.dy, g.ny);
    const int64_t iz = grid_layer(g.layers, g.nz, p.z);
    return (iz * g.ny + iy) * g.nx + ix;
}

// ---- configuration and state ---------------------------------------------

/// Everything a photon needs besides the scene view.
struct ForwardConfig {
    ForwardGrid grid;
    double photon_e;              ///< area per photon, W * H / num_photons
    float prob_sun;               ///< probability of a sun photon when a sky is set
    int32_t max_depth;            ///< scattering events per photon at most
    int32_t rr_depth;             ///< Russian roulette from this depth on
    const float* brf_dirs;        ///< num_brf_dirs unit (x, y, z) triples, or null
    int32_t num_brf_dirs;         ///< BRF directions (0 = none)
    int32_t terrain_instance_id;  ///< instance tallied as terrain, negative for none
    const int32_t* leaf_offsets;  ///< first triangle of each instance (the GPU scene's
                                  ///< instance offsets; the host checks that the
                                  ///< total fits 32 bits), or null
    int32_t num_instances;        ///< entries of leaf_offsets minus one
    int64_t num_leaf_values;      ///< T * nb: valid per-leaf indices are below this
};

struct ForwardPhoton {
    Pcg32 rng;       ///< this photon's own stream
    float3 origin;   ///< start of the next ray segment
    float3 d;        ///< unit travel direction
    double* energy;  ///< nb values of caller scratch: band energy before the weight
    double weight;   ///< area and selection weight
    int32_t depth;   ///< scattering events so far
    int32_t wraps;   ///< tile crossings so far (all segments together)
};

/// The stream of photon `index`: fixed by the index and the call's seed
/// alone, so tallies do not depend on which thread (or launch slot) traces it.
VORN_HD void seed_photon(Pcg32& rng, uint64_t index, uint64_t seed = 0) {
    seed_stream(rng, StreamKind::Photon, 0, index, seed);
}

VORN_HD bool has_sky(const SceneView& sv) {
    return sv.sky.hw_sky_offset >= 0 || sv.sky.sky_offset >= 0;
}

// ---- emission --------------------------------------------------------------

/// Sun or sky for uniform u. The draw can be exactly 1.0, so prob_sun = 1
/// must mean "sun only" explicitly: u < 1 would pick a sky photon of weight
/// photon_e / 0.
VORN_HD bool choose_sun_photon(float u, float prob_sun) {
    return u < prob_sun || prob_sun >= 1.0f;
}

/// Without a sky every photon is a sun photon, whatever prob_sun says, so its
/// selection weight is 1.
VORN_HD bool emit_sun_photon(const SceneView& sv, const ForwardConfig& cfg, float px,
                             float py, float z0, ForwardPhoton& ph) {
    const float3 s = sv.emitter.direction;
    if (s.z <= 0.0f) return false;
    ph.d = -s;
    const float lift = kPhotonStartLift / s.z;
    ph.origin = make_f3(px + lift * s.x, py + lift * s.y, z0);
    for (int b = 0; b < sv.nb; ++b)
        ph.energy[b] = double(sv.spectral[sv.emitter.spectral_offset + b] * f_abs(s.z));
    ph.weight = has_sky(sv) ? cfg.photon_e / double(cfg.prob_sun) : cfg.photon_e;
    return true;
}

VORN_HD bool emit_sky_photon(const SceneView& sv, const ForwardConfig& cfg, float px,
                             float py, float z0, ForwardPhoton& ph) {
    const float r = f_sqrt(next_float(ph.rng));
    const float phi = kTwoPi * next_float(ph.rng);
    const float x = r * f_cos(phi);
    const float y = r * f_sin(phi);
    const float z = f_sqrt(f_max(1.0f - x * x - y * y, 0.0f));
    // A horizontal photon (r drawn as exactly 1) never descends to the scene;
    // its start would lie at infinity.
    if (!(z > 0.0f)) return false;
    ph.d = make_f3(x, y, -z);
    const float lift = kPhotonStartLift / z;
    ph.origin = make_f3(px - lift * x, py - lift * y, z0);
    // The light arrives from -d: the sky point lies opposite the travel
    // direction's horizontal components.
    const float3 sky_dir = make_f3(-x, -y, z);
    for (int b = 0; b < sv.nb; ++b) {
        const double radiance =
            sv.sky.hw_sky_offset >= 0
                ? double(hw_sky_radiance(sv.spectral, sv.sky.hw_sky_offset, sky_dir, b,
                                         sv.sky.hw_sky_sun))
                : double(sv.spectral[sv.sky.sky_offset + b]);
        ph.energy[b] = kPiDouble * radiance;
    }
    ph.weight = cfg.photon_e / (1.0 - double(cfg.prob_sun));
    return true;
}

/// Starts photon `index` over the grid's extent, 0.1 m above the measurement
/// plane, aimed to cross that plane at its sampled point. Returns false when
/// it is dropped: the sun within 0.01 of the horizon (every photon), a sun
/// photon with the sun below the horizon, a sky photon drawn horizontal.
VORN_HD bool emit_photon(const SceneView& sv, const ForwardConfig& cfg, uint64_t index,
                         ForwardPhoton& ph) {
    ph.depth = 0;
    ph.wraps = 0;
    if (f_abs(sv.emitter.direction.z) < kMinSunCos) return false;
    seed_photon(ph.rng, index, sv.seed);
    const float px = next_float(ph.rng) * float(cfg.grid.nx) * cfg.grid.dx;
    const float py = next_float(ph.rng) * float(cfg.grid.ny) * cfg.grid.dy;
    const float z0 = sv.measurement_plane_height + kPhotonStartLift;
    const bool sun = !has_sky(sv) || choose_sun_photon(next_float(ph.rng), cfg.prob_sun);
    return sun ? emit_sun_photon(sv, cfg, px, py, z0, ph)
               : emit_sky_photon(sv, cfg, px, py, z0, ph);
}

// ---- transport ---------------------------------------------------------------

/// Absorbed energy of this hit into the grid, and the terrain or per-leaf tally.
template <class Hit, class Sink>
VORN_HD void tally_absorption(const SceneView& sv, const ForwardConfig& cfg,
                              const MaterialData& m, const Hit& h,
                              const ForwardPhoton& ph, Sink& sink) {
    const int nb = sv.nb;
    const int64_t cell = grid_cell(cfg.grid, h.position);
    const bool terrain =
        cfg.terrain_instance_id >= 0 && h.instance_id == cfg.terrain_instance_id;
    const bool leaf = !terrain && sink.has_leaf() && cfg.leaf_offsets != nullptr &&
                      h.instance_id >= 0 && h.instance_id < cfg.num_instances;
    for (int b = 0; b < nb; ++b) {
        const double e =
            absorptance(m, b, sv.spectral, nb, h.back_face) * ph.energy[b] * ph.weight;
        if (!(e > 0.0)) continue;
        sink.add_grid(cell * nb + b, e);
        if (terrain) {
            if (sink.has_terrain()) sink.add_terrain(b, e);
        } else if (leaf) {
            const int64_t idx =
                (int64_t(cfg.leaf_offsets[h.instance_id]) + h.prim_id) * nb + b;
            if (idx >= 0 && idx < cfg.num_leaf_values) sink.add_leaf(idx, e);
        }
    }
}

/// Energy this hit scatters towards each BRF direction that sees it.
template <class Tracer, class Hit, class Sink>
VORN_HD void tally_brf(const Tracer& tracer, const SceneView& sv,
                       const ForwardConfig& cfg, const MaterialData& m, const Hit& h,
                       const ShadingFrame& frame, float3 wi, const ForwardPhoton& ph,
                       Sink& sink) {
    const int nb = sv.nb;
    if (nb <= 0 || cfg.brf_dirs == nullptr) return;
    for (int k = 0; k < cfg.num_brf_dirs; ++k) {
        const float3 dir = make_f3(cfg.brf_dirs[3 * k], cfg.brf_dirs[3 * k + 1],
                                   cfg.brf_dirs[3 * k + 2]);
        if (!(dir.z > 0.0f)) continue;
        // Cheap rejection before the shadow ray; neither test changes state.
        const float c = dot(dir, h.shading_normal);
        if (f_abs(c) < kMinBrfCos) continue;
        const float3 o =
            offset_ray_origin(h.position, face_towards(h.geometric_normal, dir));
        if (occluded_periodic(tracer, sv.tile, dir, o, sv.max_height)) continue;
        const float3 wk = frame.to_local(dir);
        for (int b = 0; b < nb; ++b) {
            const double v =
                double(eval_bsdf(m, b, wi, wk, sv.spectral, nb, h.back_face, false)) *
                ph.energy[b] * double(f_abs(c)) * ph.weight;
            if (v > 0.0) sink.add_brf(int64_t(k) * nb + b, v);
        }
    }
}

/// Samples the continuation, weights the energy and plays Russian roulette.
/// Returns false when the photon ends; else *w is the new local direction.
VORN_HD bool scatter_photon(const SceneView& sv, const ForwardConfig& cfg,
                            const MaterialData& m, float3 wi, bool back,
                            ForwardPhoton& ph, float3* w) {
    float u[3];
    draw_bsdf_uniforms(ph.rng, u);
    const DirectionSample ds = sample_bsdf(m, u);
    if (ds.pdf < kMinPdf || sv.nb <= 0) return false;
    const double cos_over_pdf = double(f_abs(ds.w.z)) / double(ds.pdf);
    bool alive = false;
    for (int b = 0; b < sv.nb; ++b) {
        const float f = eval_bsdf(m, b, wi, ds.w, sv.spectral, sv.nb, back, false);
        ph.energy[b] = double(f) * cos_over_pdf * ph.energy[b];
        alive = alive || ph.energy[b] > kMinPhotonEnergy;
    }
    if (!alive) return false;
    if (ph.depth >= cfg.rr_depth && !russian_roulette(ph.rng, ph.energy, sv.nb))
        return false;
    *w = ds.w;
    return true;
}

/// Energy of a photon leaving the scene upwards.
template <class Sink>
VORN_HD void tally_escape(const SceneView& sv, const ForwardPhoton& ph, Sink& sink) {
    if (!(ph.d.z > 0.0f) || !sink.has_albedo()) return;
    for (int b = 0; b < sv.nb; ++b) {
        const double e = ph.energy[b] * ph.weight;
        if (e > 0.0) sink.add_albedo(b, e);
    }
}

/// Follows an emitted photon until it is absorbed away, escapes or reaches
/// max_depth scattering events.
template <class Tracer, class Sink>
VORN_HD void transport_photon(const Tracer& tracer, const SceneView& sv,
                              const ForwardConfig& cfg, ForwardPhoton& ph, Sink& sink) {
    if (cfg.max_depth <= 0) return;
    for (;;) {
        const auto h = tracer.trace_ray(ph.origin, ph.d);
        if (!h.hit) {
            // Nothing lies above max_height: a photon climbing from there can
            // only escape, however many tile crossings it has left.
            const bool gone = above_scene(ph.origin, ph.d, sv.max_height);
            float t = 0.0f;
            if (!gone && may_cross_tile(sv.tile, ph.wraps) &&
                continue_through_tile(sv.tile, ph.origin, ph.d, &t)) {
                ++ph.wraps;
                continue;
            }
            tally_escape(sv, ph, sink);
            return;
        }
        // Checked before the engine runs; a device tracer gets the same guard.
        if (h.material_id < 0 || h.material_id >= sv.num_materials) return;
        const MaterialData& m = sv.materials[h.material_id];
        const ShadingFrame frame(h.shading_normal);
        const float3 wi = frame.to_local(-ph.d);
        if (sv.nb > 0) tally_absorption(sv, cfg, m, h, ph, sink);
        if (cfg.num_brf_dirs >= 1 && sink.has_brf())
            tally_brf(tracer, sv, cfg, m, h, frame, wi, ph, sink);
        float3 w;
        if (!scatter_photon(sv, cfg, m, wi, h.back_face, ph, &w)) return;
        ph.d = frame.to_world(w);
        ph.origin = offset_ray_origin(h.position, face_towards(h.geometric_normal, ph.d));
        if (++ph.depth >= cfg.max_depth) return;
    }
}

/// Emits and transports photon `index`. `energy` is nb doubles of scratch.
template <class Tracer, class Sink>
VORN_HD void trace_photon(const Tracer& tracer, const SceneView& sv,
                          const ForwardConfig& cfg, uint64_t index, double* energy,
                          Sink& sink) {
    ForwardPhoton ph;
    ph.energy = energy;
    if (!emit_photon(sv, cfg, index, ph)) return;
    transport_photon(tracer, sv, cfg, ph, sink);
}

}  // namespace vorn
