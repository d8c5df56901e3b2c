// Compile-only check: the transport templates of the physics core
// (backward path, forward photon, LiDAR beam sample and direct pulse, energy
// balance sample)
// instantiated as device code, through a tracer shaped like the device
// programs: the scene view is built from a scene record in __constant__
// memory, a radiance ray carries the address of its per-ray hit record in two
// payload words, and the closest-hit program fills that record with the
// core's make_surface_hit. A host-only construct in core/ fails the build
// here rather than in the device programs.
#include "core/backward_path.h"
#include "core/beam.h"
#include "core/energy_balance.h"
#include "core/forward_photon.h"
#include "core/hit.h"
#include "core/scene_view.h"

using namespace vorn;  // float3 and int3 stay unambiguous beside CUDA's own

namespace {

/// The scene record as the launch parameters hold it: addresses as 64-bit words.
struct StubSceneRecord {
    uint64_t materials, spectral_params, emitter, wavelengths, instance_offsets;
    uint32_t num_materials;
    SensorData sensor;
    int32_t num_bands, sky_offset, hw_sky_offset, num_repetitions;
    float scene_x_size, scene_y_size, max_height, measurement_height;
    float3 hw_sky_sun;
    uint8_t thermal, terrain_following;
};

/// One mesh's hit-group data, as the closest-hit programs receive it.
struct StubHitGroupData {
    const float3* vertices;
    const float3* normals;  ///< null when the mesh has none
    const int3* indices;
    uint32_t material_id;
};

struct StubLaunchParams {
    StubSceneRecord scene;
    SceneView view;  ///< a launch record may carry a prepared view too
    StubHitGroupData mesh;  ///< a single instanced triangle mesh
    float object_to_world[12];
    double* tallies;
    float *film, *direct;
};

__constant__ StubLaunchParams params;

// ---- the programs' side: payload words and the per-ray record -------------

__device__ void pack_pointer(const void* p, uint32_t& w0, uint32_t& w1) {
    const uint64_t a = reinterpret_cast<uint64_t>(p);
    w0 = uint32_t(a >> 32);
    w1 = uint32_t(a);
}

__device__ SurfaceHit* record_of(uint32_t w0, uint32_t w1) {
    return reinterpret_cast<SurfaceHit*>((uint64_t(w0) << 32) | w1);
}

/// Closest hit of a radiance ray: what the program reads through intrinsics
/// (primitive, instance, barycentrics, ray, t) arrives here as arguments.
__device__ void closest_hit_radiance(uint32_t prim, uint32_t instance, float b1, float b2,
                                     float3 o, float3 d, float t, uint32_t w0, uint32_t w1) {
    const StubHitGroupData& data = params.mesh;
    const int3 tri = data.indices[prim];
    const int32_t corner[3] = {tri.x, tri.y, tri.z};
    TriangleHit th;
    th.object_to_world = params.object_to_world;
    th.has_normals = data.normals != nullptr;
    for (int k = 0; k < 3; ++k) {
        th.v[k] = data.vertices[corner[k]];
        th.n[k] = th.has_normals ? data.normals[corner[k]] : make_f3(0.0f, 0.0f, 0.0f);
    }
    th.b1 = b1;
    th.b2 = b2;
    th.material_id = int32_t(data.material_id);
    th.prim_id = int32_t(prim);
    th.instance_id = int32_t(instance);
    *record_of(w0, w1) = make_surface_hit(th, o, d, t);
}

__device__ void miss_radiance(uint32_t w0, uint32_t w1) { *record_of(w0, w1) = SurfaceHit{}; }

/// Stands in for the hardware traversal (the plane z = 0 from above): calls
/// the closest-hit or the miss program, or marks a shadow ray occluded.
__device__ void stub_trace(unsigned ray_type, float3 o, float3 d, float tmin, float tmax,
                           uint32_t& w0, uint32_t& w1) {
    const float t = d.z < 0.0f ? -o.z / d.z : -1.0f;
    const bool hit = t > tmin && t < tmax;
    if (ray_type == 1)
        w0 = hit ? 1u : 0u;
    else if (hit)
        closest_hit_radiance(0, 0, 0.25f, 0.25f, o, d, t, w0, w1);
    else
        miss_radiance(w0, w1);
}

/// The tracer the raygen programs hand to the core templates.
struct DeviceTracer {
    __device__ SurfaceHit trace_ray(const float3& o, const float3& d) const {
        SurfaceHit rec;
        uint32_t w0, w1;
        pack_pointer(&rec, w0, w1);
        stub_trace(0, o, d, 1e-4f, 1e16f, w0, w1);
        return rec;
    }
    __device__ bool trace_shadow(const float3& o, const float3& d, float tfar) const {
        uint32_t w0 = 0, w1 = 0;
        stub_trace(1, o, d, 1e-4f, tfar, w0, w1);
        return w0 != 0;
    }
};

/// Global tallies added with atomics, the per-leaf one included.
struct AtomicSink {
    double *grid, *leaf, *terrain, *brf, *albedo;
    __device__ bool has_leaf() const { return leaf; }
    __device__ bool has_terrain() const { return terrain; }
    __device__ bool has_brf() const { return brf; }
    __device__ bool has_albedo() const { return albedo; }
    __device__ void add_grid(int64_t i, double e) { atomicAdd(grid + i, e); }
    __device__ void add_leaf(int64_t i, double e) { atomicAdd(leaf + i, e); }
    __device__ void add_terrain(int b, double e) { atomicAdd(terrain + b, e); }
    __device__ void add_brf(int64_t i, double e) { atomicAdd(brf + i, e); }
    __device__ void add_albedo(int b, double e) { atomicAdd(albedo + b, e); }
};

constexpr int kMaxBands = 128;

}  // namespace

// ---- raygen programs ---------------------------------------------------------

__global__ void vorn_backward_device_check(int pass, int max_depth) {
    const SceneView sv = scene_view_from_record(params.scene);
    const int x = int(blockIdx.x * blockDim.x + threadIdx.x), y = int(blockIdx.y);
    if (x >= sv.sensor.width || y >= sv.sensor.height) return;
    double tp[kMaxBands], rad[kMaxBands];
    if (render_pixel_sample(DeviceTracer{}, sv, x, y, pass, max_depth, 3, tp, rad))
        accumulate_sample(params.film + (size_t(y) * sv.sensor.width + x) * sv.nb, rad,
                          sv.nb, pass);
}

__global__ void vorn_forward_device_check(ForwardConfig cfg, unsigned long long first) {
    const SceneView sv = scene_view_from_record(params.scene);
    cfg.leaf_offsets = record_pointer<int32_t>(params.scene.instance_offsets);
    double* t = params.tallies;
    AtomicSink sink{t, t + 1024, t + 2048, t + 2304, t + 2560};
    double energy[kForwardMaxDeviceBands];
    trace_photon(DeviceTracer{}, sv, cfg, first + blockIdx.x * blockDim.x + threadIdx.x,
                 energy, sink);
}

__global__ void vorn_lidar_device_check(LidarShot shot, const float* pulses,
                                        const float* beam, int num_beam, int nw,
                                        float tan_alpha) {
    const SceneView sv = scene_view_from_record(params.scene);
    const int k = int(threadIdx.x), p = int(blockIdx.x);
    const float3 o = make_f3(pulses[6 * p], pulses[6 * p + 1], pulses[6 * p + 2]);
    const float3 d = make_f3(pulses[6 * p + 3], pulses[6 * p + 4], pulses[6 * p + 5]);
    if (k < num_beam) {
        double* wf = params.tallies + size_t(p) * shot.num_bins * nw;
        trace_beam_sample(DeviceTracer{}, sv, shot, nw, tan_alpha, o, pulse_frame(d),
                          beam[3 * k], beam[3 * k + 1], beam[3 * k + 2],
                          [wf, nw](int32_t bin, int32_t w, float v) {
                              atomicAdd(wf + size_t(bin) * nw + w, double(v));
                          });
    } else {
        const DirectReturn r = trace_direct_pulse(DeviceTracer{}, sv, shot, o, d);
        if (r.valid) params.direct[p] = r.intensity + r.range + r.position.z;
    }
}

/// One launch index per (primitive, sample); faces summed with atomics.
__global__ void vorn_energy_balance_device_check(EnergyBalanceConfig cfg, PrimitiveView pv,
                                                 ShortwaveBand band, float sky_lw,
                                                 float* top, float* bot) {
    const SceneView sv = scene_view_from_record(params.scene);
    const uint32_t p = blockIdx.x, s = threadIdx.x;
    FaceSample ft, fb;
    sample_primitive(DeviceTracer{}, sv, pv, cfg, p, s, &ft, &fb);
    const FaceCoefficients k = face_coefficients(sv, pv, p, 0);
    atomicAdd(top + p, float(face_absorbed(cfg, ft, band, k.top, k.emissivity, sky_lw)));
    if (cfg.two_sided)
        atomicAdd(bot + p, float(face_absorbed(cfg, fb, band, k.bottom, k.emissivity, sky_lw)));
}
