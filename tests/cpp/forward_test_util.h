// Scene builders and a call wrapper shared by the forward-tracer tests.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <numeric>
#include <vector>

#include "embree/forward.h"
#include "embree/scene_manager.h"

namespace vorn::test {

using embree::EmbreeSceneManager;
using embree::ForwardTallies;

/// Every argument of render_forward, with the defaults of the Python binding.
struct ForwardRequest {
    int nx = 1, ny = 1;
    std::vector<float> layers{0.0f, 100.0f};
    int num_photons = 20000;
    int num_bands = 1;
    bool per_leaf = false;
    float prob_sun = 1.0f;
    std::vector<float> brf_dirs;  ///< x, y, z triples
    int max_depth = 16;
    int rr_depth = 3;
    int num_threads = 2;
    std::function<void(int, int, float)> progress;
    int terrain_instance_id = -1;
};

inline ForwardTallies run_forward(EmbreeSceneManager& s, const ForwardRequest& r) {
    const int nd = int(r.brf_dirs.size() / 3);
    return embree::render_forward(
        s, r.nx, r.ny, r.layers, r.num_photons, r.num_bands, r.per_leaf, r.prob_sun,
        nd ? r.brf_dirs.data() : nullptr, nd, r.max_depth, r.rr_depth, r.num_threads,
        r.progress, r.terrain_instance_id);
}

inline double sum(const std::vector<float>& v) {
    return std::accumulate(v.begin(), v.end(), 0.0);
}

/// Sum over the cells of band b of a tally laid out [..][nb].
inline double band_sum(const std::vector<float>& v, int nb, int b) {
    double s = 0.0;
    for (size_t i = size_t(b); i < v.size(); i += size_t(nb)) s += v[i];
    return s;
}

/// Unit vector at zenith angle theta and azimuth phi (degrees).
inline float3 direction_deg(double theta, double phi) {
    const double t = theta * M_PI / 180.0, p = phi * M_PI / 180.0;
    return {float(std::sin(t) * std::cos(p)), float(std::sin(t) * std::sin(p)),
            float(std::cos(t))};
}

/// A Leaf material reading its spectra from `offset`, whose reflected and
/// transmitted lobes are chosen with weights `reflect` : `transmit`; returns its id.
inline int add_leaf_material(EmbreeSceneManager& s, int offset, float reflect,
                             float transmit) {
    const int id = s.add_material(MaterialType::Leaf, offset);
    s.materials[size_t(id)].params[0] = reflect;
    s.materials[size_t(id)].params[1] = transmit;
    return id;
}

/// Horizontal rectangle [x0, x1] x [y0, y1] at height z, face normal +z, as one
/// instance; returns the instance id.
inline int add_rect(EmbreeSceneManager& s, float x0, float y0, float x1, float y1,
                    float z, int material) {
    const int mesh = s.add_mesh({{x0, y0, z}, {x1, y0, z}, {x1, y1, z}, {x0, y1, z}}, {},
                                {{0, 1, 2}, {0, 2, 3}}, material);
    return s.add_instance(mesh, 0.0f, 0.0f, 0.0f, 1.0f);
}

/// Square leaves of side `side` with centres uniform in the tile [0, size]^2
/// and heights in [z0, z1], normals uniform on the sphere, from a fixed LCG.
/// Leaves crossing a tile side get a copy one tile over, so the repeated
/// scene is an unbroken random canopy. One mesh, one instance.
inline int add_random_leaves(EmbreeSceneManager& s, int n, float side, float size,
                             float z0, float z1, int material, uint64_t seed) {
    uint64_t state = seed * 2862933555777941757ull + 3037000493ull;
    auto uniform = [&state]() {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return double(state >> 11) * (1.0 / 9007199254740992.0);
    };
    std::vector<float3> v;
    std::vector<int3> idx;
    const double h = side / 2.0, reach = h * std::sqrt(2.0);
    for (int i = 0; i < n; ++i) {
        const double cx = uniform() * size, cy = uniform() * size;
        const double cz = z0 + uniform() * (z1 - z0);
        const double nz = 2.0 * uniform() - 1.0, ph = 2.0 * M_PI * uniform();
        const double r = std::sqrt(1.0 - nz * nz);
        const double n3[3] = {r * std::cos(ph), r * std::sin(ph), nz};
        // Two in-plane axes: any vector not parallel to n, crossed with n.
        const double a[3] = {std::fabs(n3[0]) > 0.9 ? 0.0 : 1.0,
                             std::fabs(n3[0]) > 0.9 ? 1.0 : 0.0, 0.0};
        double u[3] = {a[1] * n3[2] - a[2] * n3[1], a[2] * n3[0] - a[0] * n3[2],
                       a[0] * n3[1] - a[1] * n3[0]};
        const double ul = std::sqrt(u[0] * u[0] + u[1] * u[1] + u[2] * u[2]);
        for (double& c : u) c /= ul;
        const double w[3] = {n3[1] * u[2] - n3[2] * u[1], n3[2] * u[0] - n3[0] * u[2],
                             n3[0] * u[1] - n3[1] * u[0]};
        for (int sx = -1; sx <= 1; ++sx) {
            for (int sy = -1; sy <= 1; ++sy) {
                const double ox = cx + sx * size, oy = cy + sy * size;
                if (ox + reach < 0 || ox - reach > size || oy + reach < 0 ||
                    oy - reach > size)
                    continue;
                const int b = int(v.size());
                const double cs[4][2] = {{-h, -h}, {h, -h}, {h, h}, {-h, h}};
                for (const auto& c : cs)
                    v.push_back({float(ox + c[0] * u[0] + c[1] * w[0]),
                                 float(oy + c[0] * u[1] + c[1] * w[1]),
                                 float(cz + c[0] * u[2] + c[1] * w[2])});
                idx.push_back({b, b + 1, b + 2});
                idx.push_back({b, b + 2, b + 3});
            }
        }
    }
    const int mesh = s.add_mesh(std::move(v), {}, std::move(idx), material);
    return s.add_instance(mesh, 0.0f, 0.0f, 0.0f, 1.0f);
}

}  // namespace vorn::test
