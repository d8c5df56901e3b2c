// Bare Embree beside the CPU engines: the scene's geometry rebuilt as a plain
// Embree scene laid out as the CPU scene lays it out (instances in a top
// scene, or the meshes themselves when each is shown once untransformed; the same ray
// setup: tnear 1e-4, mask all ones), ray queries recorded from an engine's own
// tracer calls, and their replay on worker threads, so a benchmark can compare
// an engine's ray rate with what Embree alone achieves on exactly its queries.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <thread>
#include <vector>

#include "embree/embree_compat.h"
#include "embree/scene_manager.h"
#include "scene/scene_description.h"

namespace vorn::bench {

/// One recorded query: closest hit (tfar = 1e16) or occlusion (shadow).
struct Query {
    float3 o, d;
    float tfar;
    bool shadow;
};

/// Tracer that forwards to the CPU scene and logs every query.
struct RecordingTracer {
    const embree::EmbreeSceneManager* scene;
    std::vector<Query>* log;
    embree::RayHit trace_ray(const float3& o, const float3& d) const {
        log->push_back({o, d, 1e16f, false});
        return scene->trace_ray(o, d);
    }
    bool trace_shadow(const float3& o, const float3& d, float tfar) const {
        log->push_back({o, d, tfar, true});
        return scene->trace_shadow(o, d, tfar);
    }
};

/// The same geometry as a plain Embree scene; `flatten` as the CPU scene's
/// flatten_single_instances (meshes in the top scene when every instance
/// shows its own mesh untransformed; false: always instances).
class RawScene {
   public:
    explicit RawScene(const SceneDescription& s, bool flatten = true) {
        std::vector<int> uses(s.meshes.size(), 0);
        for (const Instance& inst : s.instances) ++uses[size_t(inst.mesh_id)];
        for (const Mesh& m : s.meshes) {
            RTCScene scene = rtcNewScene(device_);
            rtcAttachGeometry(scene, triangles(m));
            rtcCommitScene(scene);
            meshes_.push_back(scene);
        }
        top_ = rtcNewScene(device_);
        static const float eye[12] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0};
        for (const Instance& inst : s.instances)
            flatten = flatten && uses[size_t(inst.mesh_id)] == 1 &&
                      std::equal(inst.xform, inst.xform + 12, eye);
        for (const Instance& inst : s.instances) {
            if (flatten) {
                rtcAttachGeometry(top_, triangles(s.meshes[size_t(inst.mesh_id)]));
                continue;
            }
            RTCGeometry g = rtcNewGeometry(device_, RTC_GEOMETRY_TYPE_INSTANCE);
            rtcSetGeometryInstancedScene(g, meshes_[size_t(inst.mesh_id)]);
            const float* x = inst.xform;
            const float cm[16] = {x[0], x[4], x[8],  0, x[1], x[5], x[9],  0,
                                  x[2], x[6], x[10], 0, x[3], x[7], x[11], 1};
            rtcSetGeometryTransform(g, 0, RTC_FORMAT_FLOAT4X4_COLUMN_MAJOR, cm);
            rtcCommitGeometry(g);
            rtcAttachGeometry(top_, g);
            rtcReleaseGeometry(g);
        }
        rtcCommitScene(top_);
        // The attached geometries are the scenes' now.
        for (RTCGeometry g : geometries_) rtcReleaseGeometry(g);
        geometries_.clear();
    }
    RawScene(const RawScene&) = delete;
    RawScene& operator=(const RawScene&) = delete;
    ~RawScene() {
        rtcReleaseScene(top_);
        for (RTCScene m : meshes_) rtcReleaseScene(m);
        rtcReleaseDevice(device_);
    }

    /// True when the ray hits anything between 1e-4 and tfar.
    bool closest(const float3& o, const float3& d, float tfar = 1e16f) const {
        RTCRayHit rh;
        fill_ray(rh.ray, o, d, tfar);
        rh.hit.geomID = RTC_INVALID_GEOMETRY_ID;
        rh.hit.instID[0] = RTC_INVALID_GEOMETRY_ID;
        embree::rtc_intersect1(top_, &rh);
        return rh.hit.geomID != RTC_INVALID_GEOMETRY_ID;
    }

    /// True when anything occludes the ray between 1e-4 and tfar.
    bool occluded(const float3& o, const float3& d, float tfar = 1e16f) const {
        RTCRay r;
        fill_ray(r, o, d, tfar);
        embree::rtc_occluded1(top_, &r);
        return r.tfar < 0.0f;
    }

    /// Returns 1 for a hit / an occluder, so the work cannot be optimised away.
    int run(const Query& q) const {
        return q.shadow ? occluded(q.o, q.d, q.tfar) : closest(q.o, q.d, q.tfar);
    }

   private:
    /// A committed triangle geometry holding a copy of the mesh.
    RTCGeometry triangles(const Mesh& m) {
        RTCGeometry g = rtcNewGeometry(device_, RTC_GEOMETRY_TYPE_TRIANGLE);
        void* vb = rtcSetNewGeometryBuffer(g, RTC_BUFFER_TYPE_VERTEX, 0, RTC_FORMAT_FLOAT3,
                                           sizeof(float3), m.vertices.size());
        std::copy(m.vertices.begin(), m.vertices.end(), static_cast<float3*>(vb));
        void* ib = rtcSetNewGeometryBuffer(g, RTC_BUFFER_TYPE_INDEX, 0, RTC_FORMAT_UINT3,
                                           sizeof(int3), m.indices.size());
        std::copy(m.indices.begin(), m.indices.end(), static_cast<int3*>(ib));
        rtcCommitGeometry(g);
        geometries_.push_back(g);
        return g;
    }

    static void fill_ray(RTCRay& r, const float3& o, const float3& d, float tfar) {
        r.org_x = o.x, r.org_y = o.y, r.org_z = o.z;
        r.dir_x = d.x, r.dir_y = d.y, r.dir_z = d.z;
        r.tnear = 1e-4f, r.tfar = tfar, r.time = 0.0f;
        r.mask = 0xFFFFFFFFu, r.id = 0, r.flags = 0;
    }

    RTCDevice device_ = rtcNewDevice(nullptr);
    RTCScene top_ = nullptr;
    std::vector<RTCScene> meshes_;
    std::vector<RTCGeometry> geometries_;
};

/// Keeps the fastest of several runs of f in *best (seconds).
inline void time_into(double* best, const std::function<void()>& f) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    const std::chrono::duration<double> dt = std::chrono::steady_clock::now() - t0;
    *best = std::min(*best, dt.count());
}

/// Runs count(i) for every i < n on `threads` workers (the calling thread is
/// one of them) that take chunks of `chunk` indices from one counter, and
/// returns the sum of what count returned (hits), so nothing is optimised away.
template <class Count>
long parallel_sum(size_t n, int threads, size_t chunk, const Count& count) {
    std::atomic<size_t> next{0};
    std::atomic<long> hits{0};
    auto worker = [&] {
        long h = 0;
        for (size_t b; (b = next.fetch_add(chunk)) < n;)
            for (size_t i = b; i < std::min(n, b + chunk); ++i) h += count(i);
        hits += h;
    };
    std::vector<std::thread> pool;
    for (int t = 1; t < threads; ++t) pool.emplace_back(worker);
    worker();
    for (std::thread& t : pool) t.join();
    return hits.load();
}

/// Replays the log on `threads` workers, chunks handed out through one counter.
/// Returns the number of hits and occluded queries.
inline long replay(const std::vector<Query>& log, int threads,
                   const std::function<int(const Query&)>& q) {
    constexpr size_t kChunk = 4096;
    return parallel_sum(log.size(), threads, kChunk,
                        [&](size_t i) -> long { return q(log[i]); });
}

}  // namespace vorn::bench
