// Throughput of the CPU scene queries against bare Embree on the same canopy
// and the same rays. The bare side is a second two-level Embree scene built
// from the same description with the same calls, queried with the same ray
// setup (tnear 1e-4, tfar 1e16, mask all ones), so the ratio isolates what
// trace_ray / trace_shadow add on top of traversal.
//
// usage: bench_scene [rays per set = 524288] [instances = 400]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/canopy_scene.h"
#include "embree/embree_compat.h"

namespace vorn::bench {
namespace {

/// The same two-level structure as EmbreeSceneManager::build, without the scene class.
struct BareEmbree {
    RTCDevice device = rtcNewDevice(nullptr);
    RTCScene top = nullptr;
    std::vector<RTCScene> meshes;

    explicit BareEmbree(const SceneDescription& s) {
        for (const Mesh& m : s.meshes) {
            RTCScene scene = rtcNewScene(device);
            RTCGeometry g = rtcNewGeometry(device, RTC_GEOMETRY_TYPE_TRIANGLE);
            void* vb =
                rtcSetNewGeometryBuffer(g, RTC_BUFFER_TYPE_VERTEX, 0, RTC_FORMAT_FLOAT3,
                                        sizeof(float3), m.vertices.size());
            std::memcpy(vb, m.vertices.data(), m.vertices.size() * sizeof(float3));
            void* ib =
                rtcSetNewGeometryBuffer(g, RTC_BUFFER_TYPE_INDEX, 0, RTC_FORMAT_UINT3,
                                        sizeof(int3), m.indices.size());
            std::memcpy(ib, m.indices.data(), m.indices.size() * sizeof(int3));
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
    ~BareEmbree() {
        for (RTCScene m : meshes) rtcReleaseScene(m);
        rtcReleaseScene(top);
        rtcReleaseDevice(device);
    }
    BareEmbree(const BareEmbree&) = delete;
    BareEmbree& operator=(const BareEmbree&) = delete;
};

void fill_ray(RTCRay& r, float3 o, float3 d, float tfar) {
    r.org_x = o.x, r.org_y = o.y, r.org_z = o.z, r.tnear = 1e-4f;
    r.dir_x = d.x, r.dir_y = d.y, r.dir_z = d.z, r.time = 0.0f;
    r.tfar = tfar, r.mask = 0xFFFFFFFFu, r.id = 0, r.flags = 0;
}

bool bare_closest(RTCScene top, float3 o, float3 d) {
    RTCRayHit rh;
    fill_ray(rh.ray, o, d, 1e16f);
    rh.hit.geomID = RTC_INVALID_GEOMETRY_ID;
    rh.hit.instID[0] = RTC_INVALID_GEOMETRY_ID;
    embree::rtc_intersect1(top, &rh);
    return rh.hit.geomID != RTC_INVALID_GEOMETRY_ID;
}

bool bare_any(RTCScene top, float3 o, float3 d) {
    RTCRay r;
    fill_ray(r, o, d, 1e16f);
    embree::rtc_occluded1(top, &r);
    return r.tfar < 0.0f;
}

struct Timing {
    double mrays_per_s;
    long hits;
};

/// Runs query(i) for every ray on `threads` workers that take chunks of rays
/// from one atomic counter; best of `reps` runs.
template <class Query>
Timing measure(size_t n, int threads, int reps, Query query) {
    constexpr size_t kChunk = 512;
    Timing best{0.0, 0};
    for (int rep = 0; rep < reps; ++rep) {
        std::atomic<size_t> next{0};
        std::atomic<long> hits{0};
        auto worker = [&] {
            long local = 0;
            for (size_t begin; (begin = next.fetch_add(kChunk)) < n;)
                for (size_t i = begin; i < std::min(n, begin + kChunk); ++i)
                    local += query(i);
            hits += local;
        };
        const auto t0 = std::chrono::steady_clock::now();
        std::vector<std::thread> pool;
        for (int t = 1; t < threads; ++t) pool.emplace_back(worker);
        worker();
        for (std::thread& t : pool) t.join();
        const double s =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        best.mrays_per_s = std::max(best.mrays_per_s, double(n) / s * 1e-6);
        best.hits = hits;
    }
    return best;
}

std::string load_average() {
    std::ifstream f("/proc/loadavg");
    std::string a, b, c;
    f >> a >> b >> c;
    return a + " " + b + " " + c;
}

}  // namespace
}  // namespace vorn::bench

int main(int argc, char** argv) {
    using namespace vorn::bench;
    const size_t n = argc > 1 ? size_t(std::atol(argv[1])) : size_t(1) << 19;
    CanopyOptions opt;
    if (argc > 2) opt.num_instances = std::atoi(argv[2]);
    const int reps = 3;

    vorn::embree::EmbreeSceneManager scene;
    const CanopyScene canopy = make_canopy_scene(scene, opt);
    const BareEmbree bare(scene);
    std::printf(
        "canopy: %d instances of %d crown meshes, %u triangles, top %.2f m, %d bands\n",
        opt.num_instances, opt.num_leaf_meshes, canopy.total_triangles, canopy.top,
        opt.num_bands);
    std::printf(
        "rays per set: %zu, best of %d runs, hardware threads: %u, load average: %s\n", n,
        reps, std::thread::hardware_concurrency(), load_average().c_str());
    std::printf("\n%-7s %-8s %3s %12s %12s %7s %9s %9s\n", "rays", "query", "thr",
                "vorn Mray/s", "bare Mray/s", "ratio", "hits", "bare hits");

    const RaySet sets[2] = {canopy.camera_rays(n, 1), canopy.inside_rays(n, 2)};
    const char* set_names[2] = {"camera", "inside"};
    for (int si = 0; si < 2; ++si) {
        const RaySet& r = sets[si];
        for (int any = 0; any < 2; ++any) {
            double single[2] = {0, 0};
            for (int threads : {1, 2}) {
                Timing v, b;
                if (any) {
                    v = measure(n, threads, reps, [&](size_t i) {
                        return scene.trace_shadow(r.origin[i], r.direction[i], 1e16f);
                    });
                    b = measure(n, threads, reps, [&](size_t i) {
                        return bare_any(bare.top, r.origin[i], r.direction[i]);
                    });
                } else {
                    v = measure(n, threads, reps, [&](size_t i) {
                        return scene.trace_ray(r.origin[i], r.direction[i]).hit;
                    });
                    b = measure(n, threads, reps, [&](size_t i) {
                        return bare_closest(bare.top, r.origin[i], r.direction[i]);
                    });
                }
                if (threads == 1) single[0] = v.mrays_per_s, single[1] = b.mrays_per_s;
                std::printf("%-7s %-8s %3d %12.3f %12.3f %7.3f %9ld %9ld", set_names[si],
                            any ? "shadow" : "closest", threads, v.mrays_per_s,
                            b.mrays_per_s, v.mrays_per_s / b.mrays_per_s, v.hits, b.hits);
                if (threads == 2)
                    std::printf("   scaling vorn %.2fx bare %.2fx",
                                v.mrays_per_s / single[0], b.mrays_per_s / single[1]);
                std::printf("\n");
            }
        }
    }
    std::printf("\nload average after: %s\n", load_average().c_str());
    return 0;
}
