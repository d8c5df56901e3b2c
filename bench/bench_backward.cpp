// CPU backward renderer throughput on the canopy benchmark scene (sun, sky,
// several bands, periodic tile, depth 8): paths and ray queries per second of
// render_backward, beside plain rtcIntersect1 / rtcOccluded1 on exactly the
// queries the renderer makes (recorded once, replayed on the same number of
// threads against an identical Embree scene), and beside the CPU scene's own
// trace_ray / trace_shadow on the same queries.
//   bench_backward [spp=4] [threads=0 (all)] [size=256] [bands=4]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <thread>
#include <vector>

#include "bench/canopy_scene.h"
#include "core/backward_path.h"
#include "embree/backward.h"
#include "embree/embree_compat.h"
#include "embree/scene_view.h"

using namespace vorn;
using vorn::embree::EmbreeSceneManager;

namespace {

constexpr int kMaxDepth = 8;
constexpr int kRrDepth = 3;
constexpr int kRepeats = 3;

/// One recorded query: closest hit (tfar = 1e16) or occlusion (shadow).
struct Query {
    float3 o, d;
    float tfar;
    bool shadow;
};

/// Tracer that forwards to the CPU scene and logs every query.
struct RecordingTracer {
    const EmbreeSceneManager* scene;
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

/// The same geometry as a plain two-level Embree scene.
struct RawScene {
    RTCDevice device = rtcNewDevice(nullptr);
    RTCScene top = nullptr;
    std::vector<RTCScene> meshes;

    explicit RawScene(const EmbreeSceneManager& s) {
        for (const Mesh& m : s.meshes) {
            RTCScene scene = rtcNewScene(device);
            RTCGeometry g = rtcNewGeometry(device, RTC_GEOMETRY_TYPE_TRIANGLE);
            void* vb =
                rtcSetNewGeometryBuffer(g, RTC_BUFFER_TYPE_VERTEX, 0, RTC_FORMAT_FLOAT3,
                                        sizeof(float3), m.vertices.size());
            std::copy(m.vertices.begin(), m.vertices.end(), static_cast<float3*>(vb));
            void* ib =
                rtcSetNewGeometryBuffer(g, RTC_BUFFER_TYPE_INDEX, 0, RTC_FORMAT_UINT3,
                                        sizeof(int3), m.indices.size());
            std::copy(m.indices.begin(), m.indices.end(), static_cast<int3*>(ib));
            rtcCommitGeometry(g);
            rtcAttachGeometry(scene, g);
            rtcReleaseGeometry(g);
            rtcCommitScene(scene);
            meshes.push_back(scene);
        }
        top = rtcNewScene(device);
        for (const Instance& inst : s.instances) {
            RTCGeometry g = rtcNewGeometry(device, RTC_GEOMETRY_TYPE_INSTANCE);
            rtcSetGeometryInstancedScene(g, meshes[size_t(inst.mesh_id)]);
            const float* x = inst.xform;
            const float cm[16] = {x[0], x[4], x[8],  0, x[1], x[5], x[9],  0,
                                  x[2], x[6], x[10], 0, x[3], x[7], x[11], 1};
            rtcSetGeometryTransform(g, 0, RTC_FORMAT_FLOAT4X4_COLUMN_MAJOR, cm);
            rtcCommitGeometry(g);
            rtcAttachGeometry(top, g);
            rtcReleaseGeometry(g);
        }
        rtcCommitScene(top);
    }
    ~RawScene() {
        rtcReleaseScene(top);
        for (RTCScene m : meshes) rtcReleaseScene(m);
        rtcReleaseDevice(device);
    }

    /// Returns 1 for a hit / an occluder, so the work cannot be optimised away.
    int run(const Query& q) const {
        RTCRayHit rh;
        RTCRay& r = rh.ray;
        r.org_x = q.o.x, r.org_y = q.o.y, r.org_z = q.o.z;
        r.dir_x = q.d.x, r.dir_y = q.d.y, r.dir_z = q.d.z;
        r.tnear = 1e-4f, r.tfar = q.tfar, r.time = 0.0f;
        r.mask = 0xFFFFFFFFu, r.id = 0, r.flags = 0;
        if (q.shadow) {
            embree::rtc_occluded1(top, &r);
            return r.tfar < 0.0f;
        }
        rh.hit.geomID = RTC_INVALID_GEOMETRY_ID;
        rh.hit.instID[0] = RTC_INVALID_GEOMETRY_ID;
        embree::rtc_intersect1(top, &rh);
        return rh.hit.geomID != RTC_INVALID_GEOMETRY_ID;
    }
};

/// Keeps the fastest of several runs of f in *best.
void time_into(double* best, const std::function<void()>& f) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    *best = std::min(
        *best,
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
}

/// Replays the log on `threads` workers, chunks handed out through one counter.
long replay(const std::vector<Query>& log, int threads,
            const std::function<int(const Query&)>& q) {
    constexpr size_t kChunk = 4096;
    std::atomic<size_t> next{0};
    std::atomic<long> hits{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&] {
            long h = 0;
            for (size_t b = next.fetch_add(kChunk); b < log.size();
                 b = next.fetch_add(kChunk))
                for (size_t i = b; i < std::min(log.size(), b + kChunk); ++i)
                    h += q(log[i]);
            hits += h;
        });
    for (std::thread& t : pool) t.join();
    return hits.load();
}

}  // namespace

int main(int argc, char** argv) {
    const int spp = argc > 1 ? std::atoi(argv[1]) : 4;
    int threads = argc > 2 ? std::atoi(argv[2]) : 0;
    const int size = argc > 3 ? std::atoi(argv[3]) : 256;
    const int bands = argc > 4 ? std::atoi(argv[4]) : 4;
    if (threads < 1) threads = int(std::max(1u, std::thread::hardware_concurrency()));

    EmbreeSceneManager scene;
    bench::CanopyOptions opt;
    opt.num_bands = bands;
    opt.num_repetitions = 2;
    opt.image_width = opt.image_height = size;
    const bench::CanopyScene canopy = bench::make_canopy_scene(scene, opt);

    // Every query of the whole render, in one thread: the paths are seeded per
    // pixel and pass, so they are exactly those render_backward traces.
    std::vector<Query> log;
    {
        const SceneView view = embree::make_scene_view(scene);
        std::vector<double> scratch(2 * size_t(bands));
        RecordingTracer rec{&scene, &log};
        for (int pass = 0; pass < spp; ++pass)
            for (int y = 0; y < size; ++y)
                for (int x = 0; x < size; ++x)
                    render_pixel_sample(rec, view, x, y, pass, kMaxDepth, kRrDepth,
                                        scratch.data(), scratch.data() + bands);
    }
    const long shadow =
        std::count_if(log.begin(), log.end(), [](const Query& q) { return q.shadow; });
    const double paths = double(size) * size * spp;

    // Interleaved repeats, fastest of each: the three see the same machine load.
    const RawScene raw(scene);
    long raw_hits = 0, scene_hits = 0;
    double t_render = 1e30, t_raw = 1e30, t_scene = 1e30;
    for (int r = 0; r < kRepeats; ++r) {
        time_into(&t_render, [&] {
            embree::render_backward(scene, spp, kMaxDepth, kRrDepth, threads, {});
        });
        time_into(&t_raw, [&] {
            raw_hits =
                replay(log, threads, [&raw](const Query& q) { return raw.run(q); });
        });
        time_into(&t_scene, [&] {
            scene_hits = replay(log, threads, [&scene](const Query& q) {
                return q.shadow ? int(scene.trace_shadow(q.o, q.d, q.tfar))
                                : int(scene.trace_ray(q.o, q.d).hit);
            });
        });
    }

    const double n = double(log.size());
    std::printf(
        "canopy: %u triangles, %d instances, %d bands, tile %.0f m x%d, image %dx%d, "
        "spp %d, depth %d, %d threads\n",
        canopy.total_triangles, scene.num_instances(), bands, double(canopy.extent),
        opt.num_repetitions, size, size, spp, kMaxDepth, threads);
    std::printf(
        "queries: %.0f (%.0f closest-hit, %ld occlusion), %.2f per path; hits %ld/%ld\n",
        n, n - double(shadow), shadow, n / paths, raw_hits, scene_hits);
    std::printf("render_backward : %8.3f s  %10.0f paths/s  %10.0f rays/s\n", t_render,
                paths / t_render, n / t_render);
    std::printf("raw Embree      : %8.3f s  %10s          %10.0f rays/s\n", t_raw, "",
                n / t_raw);
    std::printf("scene queries   : %8.3f s  %10s          %10.0f rays/s\n", t_scene, "",
                n / t_scene);
    std::printf(
        "renderer / raw Embree ray rate: %.1f %%  (scene queries / raw: %.1f %%)\n",
        100.0 * t_raw / t_render, 100.0 * t_raw / t_scene);
    return 0;
}
