// Forward tracer: grid cells, thread-count independence, border layers and
// closed forms (a Lambertian plane, a leaf plate over a black ground, the
// energy closure of a periodic canopy). Deterministic quantities (every photon
// deposits the same energy) to float rounding; Monte Carlo ones to 5 standard
// deviations of their binomial count.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

#include "core/forward_photon.h"
#include "embree/forward.h"
#include "embree/scene_manager.h"

namespace vorn {
namespace {

using embree::EmbreeSceneManager;
using embree::ForwardTallies;

constexpr int kBlack = 5;  // a material type without a model: absorbs everything

/// Every argument of render_forward, with the defaults of the Python binding.
struct Request {
    int nx = 1, ny = 1;
    std::vector<float> layers{0.0f, 100.0f};
    int num_photons = 20000, num_bands = 1;
    bool per_leaf = false;
    float prob_sun = 1.0f;
    std::vector<float> brf_dirs;  ///< x, y, z triples
    int max_depth = 16, rr_depth = 3, num_threads = 2, terrain = -1;

    ForwardTallies run(EmbreeSceneManager& s) const {
        const int nd = int(brf_dirs.size() / 3);
        return embree::render_forward(s, nx, ny, layers, num_photons, num_bands, per_leaf,
                                      prob_sun, nd ? brf_dirs.data() : nullptr, nd,
                                      max_depth, rr_depth, num_threads, {}, terrain);
    }
};

/// Sum over the cells of band b of a tally laid out [..][nb].
double band_sum(const std::vector<float>& v, int nb, int b) {
    double s = 0.0;
    for (size_t i = size_t(b); i < v.size(); i += size_t(nb)) s += v[i];
    return s;
}

float3 direction_deg(double theta, double phi) {
    const double t = theta * M_PI / 180.0, p = phi * M_PI / 180.0;
    return {float(std::sin(t) * std::cos(p)), float(std::sin(t) * std::sin(p)),
            float(std::cos(t))};
}

/// A Leaf material choosing its reflected and transmitted lobes with weights
/// `reflect` : `transmit`.
void add_leaf_material(EmbreeSceneManager& s, int offset, float reflect, float transmit) {
    const int id = s.add_material(MaterialType::Leaf, offset);
    s.materials[size_t(id)].params[0] = reflect;
    s.materials[size_t(id)].params[1] = transmit;
}

/// Horizontal rectangle at height z, normal +z, as one instance; returns its id.
int add_rect(EmbreeSceneManager& s, float x0, float y0, float x1, float y1, float z,
             int material) {
    const int mesh = s.add_mesh({{x0, y0, z}, {x1, y0, z}, {x1, y1, z}, {x0, y1, z}}, {},
                                {{0, 1, 2}, {0, 2, 3}}, material);
    return s.add_instance(mesh, 0.0f, 0.0f, 0.0f, 1.0f);
}

/// Two-band canopy in a periodic tile of `size` metres over a Lambertian ground
/// (instance 0): n random leaf triangles at heights 0.3 to 1.8 m, each repeated
/// in the 8 neighbouring tiles so that the tiled canopy is unbroken. Leaf
/// R / T is 1.25 in both bands and on both faces, so sampling weights of
/// 1.25 : 1 make either lobe carry exactly R + T. Sun at spectral offset 8.
void add_canopy(EmbreeSceneManager& s, int n, float size, float3 sun) {
    s.set_num_bands(2);
    add_leaf_material(s, 0, 1.25f, 1.0f);
    s.add_material(MaterialType::Lambertian, 6);
    // leaf R front (2), R back (2), T (2); ground (2); sun (2); sky (2)
    s.upload_spectral_params({0.1f, 0.5f, 0.1f, 0.5f, 0.08f, 0.4f, 0.15f, 0.35f, 1.0f,
                              0.7f, 0.2f, 0.1f});
    add_rect(s, 0, 0, size, size, 0.0f, 1);
    uint64_t state = 11;
    auto uniform = [&state]() {  // 64-bit LCG, top 24 bits
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return float(state >> 40) * (1.0f / 16777216.0f);
    };
    std::vector<float3> v;
    std::vector<int3> idx;
    for (int i = 0; i < n; ++i) {
        const float3 c{uniform() * size, uniform() * size, 0.3f + 1.5f * uniform()};
        float3 corner[3];
        for (float3& p : corner)
            p = 0.25f * float3{uniform() - 0.5f, uniform() - 0.5f, uniform() - 0.5f};
        for (int k = 0; k < 9; ++k) {
            idx.push_back({int(v.size()), int(v.size()) + 1, int(v.size()) + 2});
            const float3 shift{float(k % 3 - 1) * size, float(k / 3 - 1) * size, 0.0f};
            for (const float3& p : corner) v.push_back(c + p + shift);
        }
    }
    s.add_instance(s.add_mesh(std::move(v), {}, std::move(idx), 0), 0, 0, 0, 1);
    s.set_emitter(EmitterType::Sun, sun, 8);
    s.set_repetitive(1000, size, size);
    s.set_measurement_plane(2.0f);
}

TEST(ForwardGrid, ColumnsClampEvenNanAndInfinityAndCellsAreLayerRowColumn) {
    const float inf = std::numeric_limits<float>::infinity();
    // Extent 4 m in 4 columns of 1 m: x = W lands in the last column.
    const std::pair<float, int> cases[] = {{0.0f, 0},  {0.999f, 0}, {1.0f, 1}, {3.999f, 3},
                                           {4.0f, 3},  {7.0f, 3},   {-0.5f, 0}, {1e30f, 3},
                                           {inf, 3},   {-inf, 0},   {std::nanf(""), 0}};
    for (const auto& [x, want] : cases) EXPECT_EQ(grid_column(x, 1.0f, 4), want) << x;
    const float layers[] = {0.0f, 1.0f, 2.0f};
    const ForwardGrid g{3, 2, 2, 2.0f, 5.0f, layers};  // extent 6 x 10
    EXPECT_EQ(grid_cell(g, make_f3(5.9f, 0.1f, 0.5f)), 2);
    EXPECT_EQ(grid_cell(g, make_f3(0.1f, 9.0f, 0.5f)), 3);
    EXPECT_EQ(grid_cell(g, make_f3(4.1f, 6.0f, 1.5f)), (1 * 2 + 1) * 3 + 2);
}

TEST(ForwardEngine, OneAndTwoThreadsAgreeUpToSummationOrder) {
    EmbreeSceneManager s;
    add_canopy(s, 150, 2.0f, direction_deg(40.0, 70.0));
    s.set_sky(10);
    s.build();
    Request r;
    r.nx = r.ny = 2;
    r.layers = {0.0f, 0.5f, 1.0f, 1.5f};
    r.num_photons = 8000;
    r.num_bands = 2;
    r.per_leaf = true;
    r.prob_sun = 0.6f;
    r.brf_dirs = {0, 0, 1, 0.5f, 0.0f, 0.8660254f};
    r.terrain = 0;
    r.num_threads = 1;
    const ForwardTallies one = r.run(s);
    r.num_threads = 2;
    const ForwardTallies two = r.run(s);
    for (auto tally : {&ForwardTallies::grid, &ForwardTallies::leaf, &ForwardTallies::brf,
                       &ForwardTallies::albedo, &ForwardTallies::terrain}) {
        const std::vector<float>&a = one.*tally, &b = two.*tally;
        ASSERT_EQ(a.size(), b.size());
        double scale = 0.0;
        for (float x : a) scale = std::max(scale, double(std::fabs(x)));
        EXPECT_GT(scale, 0.0);
        for (size_t i = 0; i < a.size(); ++i) EXPECT_NEAR(a[i], b[i], 1e-6 * scale) << i;
    }
}

// Instances raised by update_instance_transform + refit_ias stand above the
// max_height of the last build. A photon scattered upwards from them must still
// cross the tile and meet the neighbouring copies, as in a scene built there.
TEST(ForwardEngine, ARefitSceneTalliesLikeOneBuiltInPlace) {
    auto make = [](float build_z) {
        auto s = std::make_unique<EmbreeSceneManager>();
        s->add_material(MaterialType::Lambertian, 0);
        s->upload_spectral_params({0.6f, 1.0f});
        add_rect(*s, 0, 0, 1, 1, 0.0f, 0);
        // A wall across the tile at x = 0.5, from z = 0.5 to 1.5, facing +x.
        const int wall = s->add_mesh({{0.5f, 0, 0.5f}, {0.5f, 1, 0.5f}, {0.5f, 1, 1.5f},
                                      {0.5f, 0, 1.5f}},
                                     {}, {{0, 1, 2}, {0, 2, 3}}, 0);
        s->add_instance(wall, 0.0f, 0.0f, build_z, 1.0f);
        s->set_emitter(EmitterType::Sun, direction_deg(45.0, 0.0), 1);
        s->set_repetitive(5, 1.0f, 1.0f);
        s->set_measurement_plane(2.0f);
        s->build();
        const float in_place[12] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0};
        s->update_instance_transform(1, in_place);
        s->refit_ias();
        return s;
    };
    const auto built = make(0.0f), moved = make(-5.0f);
    ASSERT_EQ(moved->max_height(), 0.0f);  // what the last build measured
    Request r;
    r.nx = 2;
    r.layers = {0.0f, 1.0f, 2.0f};
    r.brf_dirs = {0, 0, 1};
    r.num_threads = 1;
    const ForwardTallies want = r.run(*built), got = r.run(*moved);
    EXPECT_GT(band_sum(want.albedo, 1, 0), 0.0);
    EXPECT_EQ(got.grid, want.grid);
    EXPECT_EQ(got.brf, want.brf);
    EXPECT_EQ(got.albedo, want.albedo);
}

TEST(ForwardEngine, HitsOutsideTheLayersFallIntoTheBorderLayers) {
    struct Case {
        float z;
        std::vector<float> layers;
        size_t layer;
    };
    const Case cases[] = {{5.0f, {0, 1}, 0},
                          {5.0f, {0, 1, 2}, 1},
                          {-1.0f, {0, 1, 2}, 0},
                          {1.5f, {0, 1, 2}, 1}};
    for (const Case& c : cases) {
        // A black plane at height z under the sun at 30 degrees, 2 x 1 m extent.
        EmbreeSceneManager s;
        s.add_material(MaterialType::Lambertian, 0);
        s.upload_spectral_params({0.0f, 1.0f});
        add_rect(s, -1, -1, 3, 2, c.z, 0);
        s.set_emitter(EmitterType::Sun, direction_deg(30.0, 0.0), 1);
        s.set_repetitive(0, 2.0f, 1.0f);
        s.set_measurement_plane(c.z);
        s.build();
        Request r;
        r.layers = c.layers;
        r.num_photons = 1000;
        const ForwardTallies t = r.run(s);
        const double incident = direction_deg(30.0, 0.0).z * 2.0;
        for (size_t l = 0; l < t.grid.size(); ++l)
            EXPECT_NEAR(t.grid[l], l == c.layer ? incident : 0.0, 1e-5)
                << "z " << c.z << " layer " << l;
    }
}

TEST(ForwardPhysics, LambertianPlaneAbsorbsOneMinusRhoAndReflectsRhoPerBand) {
    const float rho[2] = {0.2f, 0.6f}, sun[2] = {1.5f, 0.8f}, W = 4.0f, H = 3.0f;
    for (double theta : {0.0, 35.0, 70.0}) {
        EmbreeSceneManager s;
        s.set_num_bands(2);
        s.add_material(MaterialType::Lambertian, 0);
        s.upload_spectral_params({rho[0], rho[1], sun[0], sun[1]});
        add_rect(s, -1, -1, 5, 4, 0.0f, 0);
        const float3 sd = direction_deg(theta, -120.0);
        s.set_emitter(EmitterType::Sun, sd, 2);
        SensorData sensor{};  // its orthographic size sets the extent
        sensor.ortho_w = W;
        sensor.ortho_h = H;
        s.set_sensor(sensor);
        s.build();
        Request r;
        r.num_bands = 2;
        r.layers = {-1.0f, -0.5f, 0.5f, 2.0f};
        const float3 v1 = direction_deg(50.0, 30.0);
        r.brf_dirs = {0, 0, 1, v1.x, v1.y, v1.z, 0.6f, 0, -0.8f};
        const ForwardTallies t = r.run(s);
        const double view_cos[3] = {1.0, v1.z, 0.0};  // the third looks down: never seen
        for (int b = 0; b < 2; ++b) {
            const double inc = sun[b] * sd.z * W * H;
            EXPECT_NEAR(band_sum(t.grid, 2, b), (1 - rho[b]) * inc, 1e-5 * inc) << theta;
            EXPECT_NEAR(t.grid[size_t(2 + b)], (1 - rho[b]) * inc, 1e-5 * inc) << theta;
            EXPECT_NEAR(t.albedo[size_t(b)], rho[b] * inc, 1e-5 * inc) << theta;
            for (int k = 0; k < 3; ++k)
                EXPECT_NEAR(t.brf[size_t(2 * k + b)], rho[b] / M_PI * view_cos[k] * inc,
                            1e-5 * inc)
                    << "theta " << theta << " dir " << k;
        }
        EXPECT_EQ(t.brf[4], 0.0f);
    }
}

TEST(ForwardPhysics, LeafPlateOverBlackGroundAbsorbsItsShareAndTransmitsT) {
    const float R = 0.3f, T = 0.25f, size = 10.0f;
    EmbreeSceneManager s;
    add_leaf_material(s, 0, R, T);  // sampling weights: both lobes carry R + T
    s.add_material(MaterialType(kBlack), 0);
    s.upload_spectral_params({R, 0.2f, T, 1.0f});
    const int ground = add_rect(s, 0, 0, size, size, 0.0f, 1);
    add_rect(s, 0, 0, size, size, 1.0f, 0);
    s.set_emitter(EmitterType::Sun, direction_deg(30.0, 60.0), 3);
    s.set_repetitive(1000, size, size);
    s.set_measurement_plane(1.5f);
    s.build();
    Request r;
    r.layers = {0.0f, 0.5f, 2.0f};
    r.per_leaf = true;
    r.terrain = ground;
    r.brf_dirs = {0, 0, 1};
    const ForwardTallies t = r.run(s);
    const double inc = direction_deg(30.0, 60.0).z * size * size, p_t = T / (R + T);
    const double sigma = (R + T) * inc * std::sqrt(p_t * (1 - p_t) / r.num_photons);
    ASSERT_EQ(t.leaf.size(), 4u);  // ground triangles first (instance 0), then the plate
    EXPECT_EQ(t.leaf[0] + t.leaf[1], 0.0f) << "terrain reached the per-leaf tally";
    EXPECT_NEAR(t.leaf[2] + t.leaf[3], (1 - R - T) * inc, 1e-4 * inc);
    EXPECT_NEAR(t.grid[1], (1 - R - T) * inc, 1e-4 * inc);
    EXPECT_NEAR(t.terrain[0], T * inc, 5 * sigma);
    EXPECT_NEAR(t.grid[0], t.terrain[0], 1e-6 * inc);
    EXPECT_NEAR(t.albedo[0], R * inc, 5 * sigma);
}

TEST(ForwardPhysics, PeriodicCanopyLeaksNoEnergyAtTheTileSides) {
    // Every event absorbs 1 - R - T (or 1 - rho) and carries the rest exactly,
    // so with roulette and the depth limit out of reach absorbed + escaped =
    // incident up to rounding and the tile-side thresholds (1e-4 m) of the
    // wrap. The oblique sun makes photons start beyond the tile side.
    const float size = 3.0f;
    const float3 sd = direction_deg(55.0, -35.0);
    EmbreeSceneManager s;
    add_canopy(s, 600, size, sd);
    s.build();
    Request r;
    r.num_bands = 2;
    r.brf_dirs = {0, 0, 1};
    r.rr_depth = r.max_depth = 100000;
    const ForwardTallies t = r.run(s);
    const double sun[2] = {1.0, 0.7};
    for (int b = 0; b < 2; ++b) {
        const double inc = sun[b] * sd.z * size * size;
        EXPECT_NEAR(band_sum(t.grid, 2, b) + t.albedo[size_t(b)], inc, 1e-3 * inc)
            << "band " << b;
    }
}

}  // namespace
}  // namespace vorn
