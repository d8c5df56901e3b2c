// Compile-only check: every core routine instantiated in device code, so a
// host-only construct in core/ fails the build here rather than in the device
// programs.
#include "core/bsdf.h"
#include "core/frame.h"
#include "core/hd.h"
#include "core/pcg32.h"
#include "core/periodic.h"
#include "core/sampling.h"
#include "core/scene_view.h"
#include "core/sky.h"
#include "core/thermal.h"

namespace {

// Device-only tracer, as the device programs will have: occluded_periodic must
// accept a trace_shadow that exists only on the device.
struct SlabTracer {
    float z_top;
    __device__ bool trace_shadow(const vorn::float3& o, const vorn::float3& d,
                                 float tfar) const {
        return d.z < 0.0f && o.z > z_top && (o.z - z_top) < -d.z * tfar;
    }
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
    vorn::float3 a = frame.to_local(view.emitter.direction);
    vorn::float3 w = frame.to_world(ds.w);
    vorn::float3 o =
        offset_ray_origin(make_f3(u[0], u[1], u[2]), face_towards(frame.n, w));

    float f =
        eval_bsdf(m, 0, a, ds.w, view.spectral, view.nb, false, view.thermal) +
        eval_bsdf(m.type, m.offset, 0, a, ds.w, view.spectral, view.nb, true, false);
    double alpha = absorptance(m, 0, view.spectral, view.nb, false);
    float sky =
        hw_sky_radiance(view.spectral, view.sky.hw_sky_offset, w, 0, view.sky.hw_sky_sun);
    DirectionSample cs = sample_cosine_hemisphere(u[0], u[1]);

    SlabTracer tracer{view.max_height};
    bool shaded = occluded_periodic(tracer, view.tile, view.emitter.direction, o);
    vorn::float3 wrapped = o;
    float t = 0.0f;
    bool moved = exit_and_wrap(view.tile, wrapped, w, &t);
    float temperature =
        surface_temperature(m, shaded) + float(has_sunlit_shaded_temperatures(m));
    float planck = planck_band_radiance(view.wavelengths[0], temperature);

    out[threadIdx.x] = f + sky + cs.pdf + ds.pdf + planck + wrapped.x + t + float(moved) +
                       u32_to_unit_float(raw) + next_float(rng);
    dout[threadIdx.x] = alpha;
}
