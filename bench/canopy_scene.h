// A small deterministic canopy for every CPU benchmark (scene queries, renderer,
// forward tracer, LiDAR), so their numbers describe the same workload.
//
//   #include "bench/canopy_scene.h"
//   vorn::embree::EmbreeSceneManager scene;
//   vorn::bench::CanopyOptions opt;          // defaults: 3 bands, 400 crowns
//   opt.num_instances = 800;
//   const vorn::bench::CanopyScene canopy = vorn::bench::make_canopy_scene(scene, opt);
//   vorn::bench::RaySet rays = canopy.camera_rays(1 << 20, /*seed=*/1);
//   for (size_t i = 0; i < rays.size(); ++i) scene.trace_ray(rays.origin[i],
//   rays.direction[i]);
//
// What make_canopy_scene puts into the (empty) scene, then builds:
// - mesh 0: a ground square [0, extent]^2 at z = 0, Lambertian (material 0),
//   instance 0 (`CanopyScene::ground_instance`);
// - meshes 1..num_leaf_meshes: crowns of diamond-shaped leaves (two triangles
//   each, bent vertex normals), roughly 0.5x to 1.5x `triangles_per_mesh`
//   triangles, each with its own Leaf material (type 13: front reflectance,
//   back reflectance, transmittance per band; params[0], params[1] = mean
//   reflectance and transmittance as sampling weights);
// - `num_instances` crown instances at random positions in the square, crown
//   centres 2.5 to 6 m high, random heading and a scale of 0.8 to 1.2;
// - a sun (emitter type 0, from zenith 30 degrees), a uniform sky, nb bands,
//   an orthographic nadir camera covering the square, the measurement plane at
//   the canopy top, and optionally the periodic tile of the square.
// Everything follows from `seed`: equal options give identical scenes.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "embree/scene_manager.h"

namespace vorn::bench {

struct CanopyOptions {
    int num_bands = 3;             ///< spectral bands nb
    int num_instances = 400;       ///< crown instances
    int num_leaf_meshes = 4;       ///< distinct crown meshes
    int triangles_per_mesh = 600;  ///< mean crown mesh size (two triangles per leaf)
    float extent = 20.0f;          ///< side of the square plot, metres
    int num_repetitions = 0;       ///< > 0 makes the plot a periodic tile
    int image_width = 256;         ///< sensor pixels
    int image_height = 256;
    uint64_t seed = 20240611;
};

/// splitmix64: tiny, fast, and identical on every platform.
struct BenchRng {
    uint64_t state;
    uint64_t next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    /// Uniform in [0, 1).
    float uniform() { return float(next() >> 40) * (1.0f / 16777216.0f); }
    float uniform(float lo, float hi) { return lo + (hi - lo) * uniform(); }
    /// Uniform direction on the unit sphere.
    float3 direction() {
        const float z = uniform(-1.0f, 1.0f), phi = uniform(0.0f, 6.2831853f);
        const float r = std::sqrt(std::fmax(0.0f, 1.0f - z * z));
        return {r * std::cos(phi), r * std::sin(phi), z};
    }
};

/// Rays as two parallel arrays (origins, unit directions).
struct RaySet {
    std::vector<float3> origin, direction;
    size_t size() const { return origin.size(); }
};

struct CanopyScene {
    float extent = 0;         ///< the plot is [0, extent]^2
    float top = 0;            ///< highest point (the scene's max_height)
    int ground_instance = 0;  ///< instance id of the ground square
    uint32_t total_triangles = 0;

    /// Downward camera-like rays: origins 5 m over the canopy top spread over
    /// the plot, directions up to 20 degrees off nadir.
    RaySet camera_rays(size_t n, uint64_t seed) const {
        BenchRng rng{seed};
        RaySet r;
        for (size_t i = 0; i < n; ++i) {
            r.origin.push_back(
                {rng.uniform(0, extent), rng.uniform(0, extent), top + 5.0f});
            const float tilt = 0.364f * std::sqrt(rng.uniform()),
                        phi = rng.uniform(0, 6.2831853f);
            r.direction.push_back(
                normalize(float3{tilt * std::cos(phi), tilt * std::sin(phi), -1.0f}));
        }
        return r;
    }

    /// Rays from random points inside the canopy layer in uniform random
    /// directions, as scattered light paths and shadow rays start.
    RaySet inside_rays(size_t n, uint64_t seed) const {
        BenchRng rng{seed};
        RaySet r;
        for (size_t i = 0; i < n; ++i) {
            r.origin.push_back({rng.uniform(0, extent), rng.uniform(0, extent),
                                rng.uniform(0.5f, std::fmax(1.0f, top - 0.5f))});
            r.direction.push_back(rng.direction());
        }
        return r;
    }
};

namespace detail {

/// Quantity q of leaf mesh k in band b: reflectance rising towards the last
/// band (green to near infrared), transmittance a little below it.
inline float leaf_value(int k, int q, int b, int nb) {
    const float x = nb > 1 ? float(b) / float(nb - 1) : 0.5f;
    const float base = 0.06f + 0.38f * x + 0.01f * float(k);
    return q == 0 ? base : q == 1 ? 0.8f * base : 0.9f * base;
}

/// One crown: diamond leaves scattered through an ellipsoid of radius 1.5 m
/// and half height 1.2 m around the origin, each with a random orientation.
inline Mesh make_crown(BenchRng& rng, int num_leaves, int material_id) {
    Mesh m;
    m.material_id = material_id;
    for (int l = 0; l < num_leaves; ++l) {
        float3 c;
        do {
            c = {rng.uniform(-1, 1), rng.uniform(-1, 1), rng.uniform(-1, 1)};
        } while (dot(c, c) > 1.0f);
        c = {1.5f * c.x, 1.5f * c.y, 1.2f * c.z};
        float3 n = rng.direction();
        if (n.z < 0) n = -n;  // leaves face mostly upwards
        const float3 a = normalize(
            cross(n, std::fabs(n.z) < 0.9f ? float3{0, 0, 1} : float3{1, 0, 0}));
        const float3 w = cross(n, a);  // unit: n and a are orthonormal
        const float len = rng.uniform(0.14f, 0.22f), half_w = 0.45f * len;
        const int i = int(m.vertices.size());
        m.vertices.push_back(c - 0.5f * len * a);  // base
        m.vertices.push_back(c + half_w * w);      // side
        m.vertices.push_back(c + 0.5f * len * a);  // tip
        m.vertices.push_back(c - half_w * w);      // other side
        // The blade curls: side normals lean outwards, the midrib keeps n.
        m.normals.insert(m.normals.end(),
                         {n, normalize(n + 0.3f * w), n, normalize(n - 0.3f * w)});
        m.indices.push_back({i, i + 1, i + 2});
        m.indices.push_back({i, i + 2, i + 3});
    }
    return m;
}

}  // namespace detail

/// Fills an empty scene (CPU or GPU) with the canopy described above and builds it.
template <class Scene>
CanopyScene make_canopy_scene(Scene& scene, const CanopyOptions& o) {
    BenchRng rng{o.seed};
    const int nb = o.num_bands, nl = o.num_leaf_meshes;
    const float e = o.extent;
    scene.set_num_bands(nb);

    // Spectral array: ground nb | leaf k: 3 nb each | sun nb | sky nb.
    std::vector<float> spectral;
    for (int b = 0; b < nb; ++b) spectral.push_back(0.1f + 0.2f * float(b) / float(nb));
    scene.add_material(MaterialType::Lambertian, 0);
    for (int k = 0; k < nl; ++k) {
        const int id = scene.add_material(MaterialType::Leaf, int(spectral.size()));
        float mean[3] = {0, 0, 0};
        for (int q = 0; q < 3; ++q)
            for (int b = 0; b < nb; ++b) {
                spectral.push_back(detail::leaf_value(k, q, b, nb));
                mean[q] += spectral.back() / float(nb);
            }
        scene.materials[size_t(id)].params[0] = 0.5f * (mean[0] + mean[1]);
        scene.materials[size_t(id)].params[1] = mean[2];
    }
    const int sun = int(spectral.size());
    for (int b = 0; b < nb; ++b) spectral.push_back(1000.0f);
    const int sky = int(spectral.size());
    for (int b = 0; b < nb; ++b) spectral.push_back(30.0f);
    scene.upload_spectral_params(spectral);
    scene.set_emitter(EmitterType::Sun, {0.5f, 0.0f, 0.8660254f}, sun);
    scene.set_sky(sky);

    scene.add_mesh({{0, 0, 0}, {e, 0, 0}, {e, e, 0}, {0, e, 0}},
                   {{0, 0, 1}, {0, 0, 1}, {0, 0, 1}, {0, 0, 1}}, {{0, 1, 2}, {0, 2, 3}},
                   0);
    CanopyScene out;
    out.ground_instance = scene.add_instance(0, 0, 0, 0, 1);
    for (int k = 0; k < nl; ++k) {
        const float f = nl > 1 ? 0.5f + float(k) / float(nl - 1) : 1.0f;
        const int leaves = std::max(1, int(f * float(o.triangles_per_mesh) / 2.0f));
        const Mesh crown = detail::make_crown(rng, leaves, 1 + k);
        scene.add_mesh(crown.vertices, crown.normals, crown.indices, crown.material_id);
    }
    for (int i = 0; i < o.num_instances; ++i) {
        const float x = rng.uniform(0, e), y = rng.uniform(0, e),
                    z = rng.uniform(2.5f, 6.0f);
        const float h = rng.uniform(0, 6.2831853f), s = rng.uniform(0.8f, 1.2f);
        const float c = s * std::cos(h), sn = s * std::sin(h);
        const float xf[12] = {c, -sn, 0, x, sn, c, 0, y, 0, 0, s, z};
        scene.add_instance(1 + int(rng.next() % uint64_t(nl)), xf);
    }

    SensorData sensor{};
    sensor.type = kSensorOrthographic;
    sensor.width = o.image_width;
    sensor.height = o.image_height;
    const float cam[16] = {1, 0, 0, 0.5f * e, 0, 1, 0, 0.5f * e,
                           0, 0, 1, 20.0f,    0, 0, 0, 1};
    for (int i = 0; i < 16; ++i) sensor.cam_xform[i] = cam[i];
    sensor.fov = 60.0f * 3.1415927f / 180.0f;
    sensor.ortho_w = sensor.ortho_h = e;
    scene.set_sensor(sensor);
    scene.set_repetitive(o.num_repetitions, e, e);

    scene.build();
    scene.set_measurement_plane(scene.max_height());
    out.extent = e;
    out.top = scene.max_height();
    out.total_triangles = scene.total_triangles();
    return out;
}

}  // namespace vorn::bench
