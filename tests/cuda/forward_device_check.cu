// Compile-only check: the forward photon loop instantiated in device code with
// a device-only tracer and an atomic tally sink, as the forward device program
// will use it.
#include "core/forward_photon.h"

namespace {

/// Closest hit on the plane z = 0 with an upward normal, material 0.
struct PlaneTracer {
    __device__ vorn::SurfaceHit trace_ray(const vorn::float3& o,
                                          const vorn::float3& d) const {
        vorn::SurfaceHit h{};
        if (d.z < 0.0f && o.z > 0.0f) {
            h.hit = true;
            h.t = -o.z / d.z;
            h.position = o + h.t * d;
            h.shading_normal = h.geometric_normal = vorn::make_f3(0.0f, 0.0f, 1.0f);
        }
        return h;
    }
    __device__ bool trace_shadow(const vorn::float3&, const vorn::float3&, float) const {
        return false;
    }
};

/// Global tallies added with atomics, the per-leaf one included.
struct AtomicSink {
    double* grid;
    double* leaf;
    double* terrain;
    double* brf;
    double* albedo;
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

__global__ void vorn_forward_device_check(const vorn::SceneView view,
                                          const vorn::ForwardConfig cfg, AtomicSink sink,
                                          unsigned long long first) {
    double energy[vorn::kForwardMaxDeviceBands];
    const PlaneTracer tracer;
    vorn::trace_photon(tracer, view, cfg, first + blockIdx.x * blockDim.x + threadIdx.x,
                       energy, sink);
}
