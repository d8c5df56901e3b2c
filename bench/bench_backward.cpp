// CPU backward renderer throughput on the canopy benchmark scene (sun, sky,
// several bands, periodic tile, depth 8): paths and ray queries per second of
// render_backward, beside plain rtcIntersect1 / rtcOccluded1 on exactly the
// queries the renderer makes (recorded once, replayed on the same number of
// threads against an identical Embree scene), and beside the CPU scene's own
// trace_ray / trace_shadow on the same queries, beside the renderer as it ran
// before pass blocks and camera-ray packets (pass after pass, every ray alone;
// its image must be the same bit for bit), and beside render_backward on the
// canopy built as a two-level scene (the canopy shows its meshes through many
// instances, so it is never flattened: that ratio only shows the noise), and
// with its sun shadow rays forced through the sun-shadow grid and through
// Embree (images compared bit for bit).
// Given a triangle file (peer_mitsuba.py --write-triangles) it renders the
// peer's comparison scene instead: one band, ground 0.2 and leaves 0.45
// Lambertian, sun 30 degrees off the zenith (E = 1000), sky 30, an orthographic
// nadir view of the plot; that scene is flattened, so the two-level ratio
// there is what flattening gains.
//   bench_backward [spp=4] [threads=0 (all)] [size=256] [bands=4] [triangles]
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/canopy_scene.h"
#include "bench/raw_embree.h"
#include "core/backward_path.h"
#include "embree/backward.h"
#include "embree/scene_view.h"
#include "embree/sun_shadows.h"
#include "embree/workers.h"

using namespace vorn;
using vorn::embree::EmbreeSceneManager;

namespace {

constexpr int kMaxDepth = 8;
constexpr int kRrDepth = 3;
constexpr int kRepeats = 3;

/// The renderer before pass blocks and camera-ray packets: pass after pass,
/// each sample traced alone (render_pixel_sample), rows shared by the threads.
std::vector<float> render_single_rays(const EmbreeSceneManager& scene, int spp, int threads) {
    const SceneView view = embree::make_scene_view(scene);
    const int w = view.sensor.width, h = view.sensor.height, nb = view.nb;
    std::vector<float> image(size_t(w) * size_t(h) * size_t(nb), 0.0f);
    for (int pass = 0; pass < spp; ++pass) {
        std::atomic<int> next{0};
        std::vector<std::thread> pool;
        for (int t = 0; t < threads; ++t)
            pool.emplace_back([&] {
                std::vector<double> scratch(2 * size_t(nb));
                double* tp = scratch.data();
                double* rad = tp + nb;
                for (int y = next++; y < h; y = next++)
                    for (int x = 0; x < w; ++x)
                        if (render_pixel_sample(scene, view, x, y, pass, kMaxDepth, kRrDepth,
                                                tp, rad))
                            accumulate_sample(&image[(size_t(y) * w + x) * nb], rad, nb, pass);
            });
        for (std::thread& t : pool) t.join();
    }
    return image;
}

/// The peer benchmark's triangle file: float32, nine per triangle, the ground's
/// two first, then at least one leaf.
std::vector<float> read_peer_triangles(const char* path) {
    std::vector<float> t;
    if (FILE* f = std::fopen(path, "rb")) {
        float buf[9];
        while (std::fread(buf, sizeof(float), 9, f) == 9) t.insert(t.end(), buf, buf + 9);
        std::fclose(f);
    }
    if (t.size() < 27) throw std::runtime_error(std::string("no triangles in ") + path);
    return t;
}

/// The peer benchmark's comparison scene from its triangles, built into
/// `scene`; returns its plot side.
float make_peer_scene(EmbreeSceneManager& scene, const std::vector<float>& t, int size) {
    scene.set_num_bands(1);
    scene.upload_spectral_params({0.2f, 0.45f, 1000.0f, 30.0f});
    for (int mesh = 0; mesh < 2; ++mesh) {
        scene.add_material(MaterialType::Lambertian, mesh);
        const size_t first = mesh == 0 ? 0 : 2, count = mesh == 0 ? 2 : t.size() / 9 - 2;
        std::vector<float3> v;
        std::vector<int3> idx;
        for (size_t k = 0; k < 3 * count; ++k) {
            const float* p = &t[9 * first + 3 * k];
            v.push_back({p[0], p[1], p[2]});
        }
        for (int k = 0; k < int(count); ++k) idx.push_back({3 * k, 3 * k + 1, 3 * k + 2});
        scene.add_mesh(v, {}, idx, mesh);
        scene.add_instance(mesh, 0, 0, 0, 1);
    }
    scene.set_emitter(EmitterType::Sun, {0.5f, 0.0f, 0.8660254f}, 2);
    scene.set_sky(3);
    const float e = std::max({t[0], t[3], t[6], t[9], t[12], t[15]});  // the ground's side
    SensorData sensor{};
    sensor.type = kSensorOrthographic;
    sensor.width = sensor.height = size;
    const float cam[16] = {1, 0, 0, 0.5f * e, 0, 1, 0, 0.5f * e, 0, 0, 1, 20.0f, 0, 0, 0, 1};
    for (int i = 0; i < 16; ++i) sensor.cam_xform[i] = cam[i];
    sensor.ortho_w = sensor.ortho_h = e;
    scene.set_sensor(sensor);
    scene.build();
    return e;
}

}  // namespace

int main(int argc, char** argv) {
    const int spp = argc > 1 ? std::atoi(argv[1]) : 4;
    const int threads = embree::resolve_threads(argc > 2 ? std::atoi(argv[2]) : 0);
    const int size = argc > 3 ? std::atoi(argv[3]) : 256;
    const char* peer = argc > 5 ? argv[5] : nullptr;
    const int bands = peer ? 1 : argc > 4 ? std::atoi(argv[4]) : 4;

    EmbreeSceneManager scene;
    EmbreeSceneManager two_level;
    two_level.flatten_single_instances = false;
    bench::CanopyOptions opt;
    opt.num_bands = bands;
    opt.num_repetitions = peer ? 0 : 2;
    opt.image_width = opt.image_height = size;
    bench::CanopyScene canopy;
    if (peer) {
        const std::vector<float> triangles = read_peer_triangles(peer);
        canopy.extent = make_peer_scene(scene, triangles, size);
        make_peer_scene(two_level, triangles, size);
        canopy.total_triangles = scene.total_triangles();
    } else {
        canopy = bench::make_canopy_scene(scene, opt);
        bench::make_canopy_scene(two_level, opt);
    }

    // Every query of the whole render, in one thread: the paths are seeded per
    // pixel and pass, so they are exactly those render_backward traces.
    std::vector<bench::Query> log;
    {
        const SceneView view = embree::make_scene_view(scene);
        std::vector<double> scratch(2 * size_t(bands));
        bench::RecordingTracer rec{&scene, &log};
        for (int pass = 0; pass < spp; ++pass)
            for (int y = 0; y < size; ++y)
                for (int x = 0; x < size; ++x)
                    render_pixel_sample(rec, view, x, y, pass, kMaxDepth, kRrDepth,
                                        scratch.data(), scratch.data() + bands);
    }
    const long shadow = std::count_if(log.begin(), log.end(),
                                      [](const bench::Query& q) { return q.shadow; });
    const double paths = double(size) * size * spp;

    // Interleaved repeats, fastest of each: the three see the same machine load.
    const bench::RawScene raw(scene);
    long raw_hits = 0, scene_hits = 0;
    double t_render = 1e30, t_raw = 1e30, t_scene = 1e30, t_previous = 1e30, t_two = 1e30,
           t_embree = 1e30, t_grid = 1e30;
    std::vector<float> image, single_image, embree_image, grid_image;
    using Shadows = EmbreeSceneManager::SunShadows;
    auto render_with = [&](Shadows how) {
        scene.sun_shadows = how;
        std::vector<float> im =
            embree::render_backward(scene, spp, kMaxDepth, kRrDepth, threads, {}).image;
        scene.sun_shadows = Shadows::Auto;
        return im;
    };
    for (int r = 0; r < kRepeats; ++r) {
        bench::time_into(&t_render, [&] {
            image = embree::render_backward(scene, spp, kMaxDepth, kRrDepth, threads, {}).image;
        });
        bench::time_into(&t_embree, [&] { embree_image = render_with(Shadows::Embree); });
        bench::time_into(&t_grid, [&] { grid_image = render_with(Shadows::Grid); });
        bench::time_into(&t_previous,
                         [&] { single_image = render_single_rays(scene, spp, threads); });
        bench::time_into(&t_two, [&] {
            embree::render_backward(two_level, spp, kMaxDepth, kRrDepth, threads, {});
        });
        bench::time_into(&t_raw, [&] {
            raw_hits = bench::replay(
                log, threads, [&raw](const bench::Query& q) { return raw.run(q); });
        });
        bench::time_into(&t_scene, [&] {
            scene_hits = bench::replay(log, threads, [&scene](const bench::Query& q) {
                return q.shadow ? int(scene.trace_shadow(q.o, q.d, q.tfar))
                                : int(scene.trace_ray(q.o, q.d).hit);
            });
        });
    }

    const double n = double(log.size());
    std::printf(
        "%s: %u triangles, %d instances, %d bands, tile %.0f m x%d, image %dx%d, "
        "spp %d, depth %d, %d threads\n",
        peer ? "peer scene" : "canopy", canopy.total_triangles, scene.num_instances(), bands,
        double(canopy.extent), opt.num_repetitions, size, size, spp, kMaxDepth, threads);
    std::printf(
        "queries: %.0f (%.0f closest-hit, %ld occlusion), %.2f per path; hits %ld/%ld\n",
        n, n - double(shadow), shadow, n / paths, raw_hits, scene_hits);
    std::printf("render_backward : %8.3f s  %10.0f paths/s  %10.0f rays/s\n", t_render,
                paths / t_render, n / t_render);
    std::printf("Embree shadows  : %8.3f s  %10.0f paths/s  %10.0f rays/s  (image %s)\n",
                t_embree, paths / t_embree, n / t_embree,
                image == embree_image ? "identical" : "DIFFERS");
    std::printf("shadow grid     : %8.3f s  %10.0f paths/s  %10.0f rays/s  (image %s)\n",
                t_grid, paths / t_grid, n / t_grid,
                image == grid_image ? "identical" : "DIFFERS");
    std::printf("single rays     : %8.3f s  %10.0f paths/s  %10.0f rays/s  (image %s)\n",
                t_previous, paths / t_previous, n / t_previous,
                image == single_image ? "identical" : "DIFFERS");
    std::printf("two-level scene : %8.3f s  %10.0f paths/s  %10.0f rays/s\n", t_two,
                paths / t_two, n / t_two);
    std::printf("raw Embree      : %8.3f s  %10s          %10.0f rays/s\n", t_raw, "",
                n / t_raw);
    std::printf("scene queries   : %8.3f s  %10s          %10.0f rays/s\n", t_scene, "",
                n / t_scene);
    std::printf(
        "renderer / raw Embree ray rate: %.1f %%  (scene queries / raw: %.1f %%)\n",
        100.0 * t_raw / t_render, 100.0 * t_raw / t_scene);
    std::printf("renderer / previous engine (single rays, pass by pass): %.2f\n",
                t_previous / t_render);
    std::printf("renderer / two-level scene: %.2f\n", t_two / t_render);
    std::printf("sun-shadow grid (%s by default here) / shadow rays through Embree: %.2f\n",
                embree::sun_grid_for(scene, embree::make_scene_view(scene).emitter.direction, paths)
                    ? "used"
                    : "not used", t_embree / t_grid);
    return 0;
}
