// CPU LiDAR throughput on a canopy-like scene: waveform-mode pulses of 81
// sub-rays (beam_samples_per_dim 10) through simulate_lidar, beside plain
// rtcIntersect1 on the same sub-rays against an identical Embree scene.
//   bench_lidar [pulses=20000] [threads=0 (all)]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "bench/canopy_scene.h"
#include "core/beam.h"
#include "embree/embree_compat.h"
#include "embree/lidar.h"

using namespace vorn;
using vorn::embree::EmbreeSceneManager;

namespace {

/// The same geometry as a plain two-level Embree scene, built the way the CPU scene
/// builds it.
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
};

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

/// Plain closest-hit queries for every sub-ray, pulses handed out as the engine does.
double time_raw(const RawScene& raw, const std::vector<float>& o,
                const std::vector<float3>& dirs, int pulses, int k, int threads,
                long& hits) {
    std::atomic<int> next{0};
    std::atomic<long> total{0};
    const auto t0 = std::chrono::steady_clock::now();
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&] {
            long h = 0;
            for (int p; (p = next.fetch_add(1)) < pulses;) {
                for (int s = 0; s < k; ++s) {
                    const float3 d = dirs[size_t(p) * k + s];
                    RTCRayHit rh{};
                    rh.ray = {o[3 * size_t(p)],
                              o[3 * size_t(p) + 1],
                              o[3 * size_t(p) + 2],
                              1e-4f,
                              d.x,
                              d.y,
                              d.z,
                              0.0f,
                              1e16f,
                              0xFFFFFFFFu,
                              0,
                              0};
                    rh.hit.geomID = RTC_INVALID_GEOMETRY_ID;
                    rh.hit.instID[0] = RTC_INVALID_GEOMETRY_ID;
                    vorn::embree::rtc_intersect1(raw.top, &rh);
                    h += rh.hit.geomID != RTC_INVALID_GEOMETRY_ID;
                }
            }
            total += h;
        });
    }
    for (std::thread& th : pool) th.join();
    hits = total;
    return seconds_since(t0);
}

}  // namespace

int main(int argc, char** argv) {
    const int pulses = argc > 1 ? std::atoi(argv[1]) : 20000;
    const int hw = int(std::thread::hardware_concurrency());
    const int threads =
        argc > 2 && std::atoi(argv[2]) > 0 ? std::atoi(argv[2]) : std::max(1, hw);
    EmbreeSceneManager scene;
    const bench::CanopyScene canopy =
        bench::make_canopy_scene(scene, bench::CanopyOptions{});
    std::printf("scene: %u instanced triangles, %d instances, %d meshes\n",
                canopy.total_triangles, scene.num_instances(), int(scene.meshes.size()));

    // Airborne geometry: 100 m above the plot, up to ~2 degrees off nadir, so
    // that every footprint stays over the plot.
    bench::BenchRng rng{777};
    const float e = canopy.extent;
    std::vector<float> o, d;
    for (int p = 0; p < pulses; ++p) {
        const float3 dir =
            normalize({rng.uniform(-0.03f, 0.03f), rng.uniform(-0.03f, 0.03f), -1.0f});
        o.insert(o.end(), {rng.uniform(0.2f * e, 0.8f * e),
                           rng.uniform(0.2f * e, 0.8f * e), 100.0f});
        d.insert(d.end(), {dir.x, dir.y, dir.z});
    }
    const float alpha = 5e-4f;
    const BeamPattern beam = build_beam_pattern(10);
    const int k = beam.size();
    std::vector<float3> dirs;
    for (int p = 0; p < pulses; ++p) {
        const PulseFrame f =
            pulse_frame({d[3 * size_t(p)], d[3 * size_t(p) + 1], d[3 * size_t(p) + 2]});
        for (int s = 0; s < k; ++s)
            dirs.push_back(sub_ray_direction(
                f, beam.xy[2 * size_t(s)], beam.xy[2 * size_t(s) + 1], std::tan(alpha)));
    }

    RawScene raw(scene);
    double best_engine = 1e30, best_raw = 1e30, best_direct = 1e30;
    long hits = 0;
    int returns = 0;
    for (int rep = 0; rep < 3; ++rep) {
        auto t0 = std::chrono::steady_clock::now();
        const LiDARResult r = embree::simulate_lidar(
            scene, o.data(), d.data(), pulses, alpha, 10, 1.0f, 0.1f, 0.15f, 80.0f,
            110.0f, 1, 4.0f, 1e-8f, 5, false, threads, {});
        best_engine = std::min(best_engine, seconds_since(t0));
        returns = r.num_returns;
        t0 = std::chrono::steady_clock::now();
        embree::simulate_lidar(scene, o.data(), d.data(), pulses, alpha, 10, 1.0f, 0.1f,
                               0.15f, 80.0f, 110.0f, 1, 4.0f, 1e-8f, 5, true, threads,
                               {});
        best_direct = std::min(best_direct, seconds_since(t0));
        best_raw = std::min(best_raw, time_raw(raw, o, dirs, pulses, k, threads, hits));
    }
    const double sub = double(pulses) * k;
    std::printf(
        "threads %d, pulses %d, sub-rays per pulse %d, returns %d, raw hits %ld\n",
        threads, pulses, k, returns, hits);
    std::printf("waveform mode: %.0f pulses/s, %.3g sub-rays/s\n", pulses / best_engine,
                sub / best_engine);
    std::printf("raw rtcIntersect1: %.3g rays/s\n", sub / best_raw);
    std::printf("engine / raw: %.1f%%\n", 100.0 * best_raw / best_engine);
    std::printf("direct mode: %.0f pulses/s\n", pulses / best_direct);
    return 0;
}
