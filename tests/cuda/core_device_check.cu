// Compile-only check: every core routine, and the forward photon loop with a
// device-only tracer and an atomic tally sink, instantiated in device code, so
// a host-only construct in core/ fails the build here rather than in the device
// programs.
#include "core/bsdf.h"
#include "core/forward_photon.h"
#include "core/frame.h"
#include "core/hd.h"
#include "core/pcg32.h"
#include "core/periodic.h"
#include "core/sampling.h"
#include "core/scene_view.h"
#include "core/sky.h"
#include "core/thermal.h"

namespace {

using vorn::float3;

/// The plane z = 0 seen from above, material 0. Both calls exist only on the
/// device, as they will in the device programs.
struct PlaneTracer {
    __device__ vorn::SurfaceHit trace_ray(const float3& o, const float3& d) const {
        vorn::SurfaceHit h{};
        if (d.z < 0.0f && o.z > 0.0f) {
            h.hit = true;
            h.t = -o.z / d.z;
            h.position = o + h.t * d;
            h.shading_normal = h.geometric_normal = vorn::make_f3(0.0f, 0.0f, 1.0f);
        }
        return h;
    }
    __device__ bool trace_shadow(const float3& o, const float3& d, float tfar) const {
        return d.z < 0.0f && o.z > 0.0f && o.z < -d.z * tfar;
    }
};

/// Global tallies added with atomics, the per-leaf one included.
struct AtomicSink {
    double *grid, *leaf, *terrain, *brf, *albedo;
    __device__ bool has_leaf() const { return leaf != nullptr; }
    __device__ bool has_terrain() const { return terrain != nullptr; }
    __device__ bool has_brf() const { return brf != nullptr; }
    __device__ bool has_albedo() const { return albedo != nullptr; }
    __device__ void add_grid(int64_t i, double e) { atomicAdd(grid + i, e); }
    __device__ void add_leaf(int64_t i, double e) { atomicAdd(leaf + i, e); }
    __device__ void add_terrain(int b, double e) { atomicAdd(terrain + b, e); }
    __device__ void add_brf(int64_t i, double e) { atomicAdd(brf + i, e); }
    __device__ void add_albedo(int b, double e) { atomicAdd(albedo + b, e); }
};

}  // namespace

__global__ void vorn_core_device_check(const vorn::SceneView view, float* out,
                                       double* dout) {
    using namespace vorn;
    Pcg32 rng;
    seed_path(rng, 1000003ull + threadIdx.x, threadIdx.x * 7919ull + 1ull);
    float u[3];
    draw_bsdf_uniforms(rng, u);
    uint32_t raw = next_u32(rng);

    const MaterialData& m = view.materials[threadIdx.x % view.num_materials];
    ShadingFrame frame(normalize(make_f3(u[0] - 0.5f, u[1] - 0.5f, 1.0f)));
    DirectionSample ds = sample_bsdf(m, u);
    vorn::float3 a = frame.to_local(view.emitter.direction), w = frame.to_world(ds.w);
    vorn::float3 o =
        offset_ray_origin(make_f3(u[0], u[1], u[2]), face_towards(frame.n, w));
    float f =
        eval_bsdf(m, 0, a, ds.w, view.spectral, view.nb, false, view.thermal) +
        eval_bsdf(m.type, m.offset, 0, a, ds.w, view.spectral, view.nb, true, false);
    float sky =
        hw_sky_radiance(view.spectral, view.sky.hw_sky_offset, w, 0, view.sky.hw_sky_sun);
    DirectionSample cs = sample_cosine_hemisphere(u[0], u[1]);

    bool shaded = occluded_periodic(PlaneTracer{}, view.tile, view.emitter.direction, o);
    float t = 0.0f;
    bool moved = exit_and_wrap(view.tile, o, w, &t);
    float temperature =
        surface_temperature(m, shaded) + float(has_sunlit_shaded_temperatures(m));
    float planck = planck_band_radiance(view.wavelengths[0], temperature);

    out[threadIdx.x] = f + sky + cs.pdf + ds.pdf + planck + o.x + t + float(moved) +
                       u32_to_unit_float(raw) + next_float(rng);
    dout[threadIdx.x] = absorptance(m, 0, view.spectral, view.nb, false);
}

__global__ void vorn_forward_device_check(const vorn::SceneView view,
                                          const vorn::ForwardConfig cfg, AtomicSink sink,
                                          unsigned long long first) {
    double energy[vorn::kForwardMaxDeviceBands];
    vorn::trace_photon(PlaneTracer{}, view, cfg,
                       first + blockIdx.x * blockDim.x + threadIdx.x, energy, sink);
}
