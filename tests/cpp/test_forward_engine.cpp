// The forward engine's bookkeeping: batches and progress, thread-count
// independence, tally sizes, per-leaf indexing, layer clamping, the depth
// override, the diagnostic line and argument errors.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <tuple>
#include <vector>

#include "forward_test_util.h"
#include "tests/cpp/error_test_util.h"

namespace vorn::test {
namespace {

/// A plane of reflectance rho over the 2 x 1 extent (tile sizes, no
/// repetition), sun at zenith angle 30 degrees.
void plane_scene(EmbreeSceneManager& s, float rho, float z = 0.0f) {
    s.add_material(MaterialType::Lambertian, 0);
    s.upload_spectral_params({rho, 1.0f, 0.5f});
    add_rect(s, -1, -1, 3, 2, z, 0);
    s.set_emitter(EmitterType::Sun, direction_deg(30.0, 0.0), 1);
    s.set_repetitive(0, 2.0f, 1.0f);
}

TEST(ForwardEngine, PhotonsRunInBatchesOfOneMillionWithProgressAfterEach) {
    EmbreeSceneManager s;
    plane_scene(s, 0.3f);
    s.set_emitter(EmitterType::Sun, make_f3(0.9999875f, 0.0f, 0.005f),
                  1);  // every photon dropped
    s.build();
    std::vector<std::tuple<int, int, float>> calls;
    ForwardRequest r;
    r.num_photons = 2500001;
    r.brf_dirs = {0, 0, 1};
    r.progress = [&calls](int done, int total, float ms) {
        calls.emplace_back(done, total, ms);
    };
    const ForwardTallies t = run_forward(s, r);
    ASSERT_EQ(calls.size(), 3u);
    const int want[3] = {1000000, 2000000, 2500001};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(std::get<0>(calls[i]), want[i]);
        EXPECT_EQ(std::get<1>(calls[i]), 2500001);
        EXPECT_GE(std::get<2>(calls[i]), i ? std::get<2>(calls[i - 1]) : 0.0f);
    }
    EXPECT_EQ(sum(t.grid) + sum(t.brf) + sum(t.albedo), 0.0);
}

TEST(ForwardEngine, NoPhotonsGiveZeroTalliesOfTheDocumentedSizesAndNoProgress) {
    EmbreeSceneManager s;
    plane_scene(s, 0.3f);
    s.build();
    for (int n : {0, -5}) {
        int calls = 0;
        ForwardRequest r;
        r.nx = 3;
        r.ny = 2;
        r.layers = {0, 1, 2, 3};
        r.num_photons = n;
        r.num_bands = 2;
        r.per_leaf = true;
        r.brf_dirs = {0, 0, 1, 0, 0.6f, 0.8f};
        r.terrain_instance_id = 0;
        r.progress = [&calls](int, int, float) { ++calls; };
        const ForwardTallies t = run_forward(s, r);
        EXPECT_EQ(calls, 0);
        EXPECT_EQ(t.grid.size(), size_t(3 * 2 * 3 * 2));
        EXPECT_EQ(t.leaf.size(), 2u * 2u);
        EXPECT_EQ(t.brf.size(), 2u * 2u);
        EXPECT_EQ(t.albedo.size(), 2u);
        EXPECT_EQ(t.terrain.size(), 2u);
        EXPECT_EQ(sum(t.grid) + sum(t.leaf) + sum(t.brf) + sum(t.albedo) + sum(t.terrain),
                  0.0);
        EXPECT_EQ(std::make_tuple(t.nx, t.ny, t.nz, t.nb), std::make_tuple(3, 2, 3, 2));
    }
}

TEST(ForwardEngine, FeaturesThatAreOffLeaveTheirTalliesEmpty) {
    EmbreeSceneManager s;
    plane_scene(s, 0.3f);
    s.build();
    ForwardRequest r;
    r.num_photons = 100;
    const ForwardTallies t = run_forward(s, r);
    EXPECT_EQ(t.grid.size(), 1u);
    EXPECT_TRUE(t.leaf.empty() && t.brf.empty() && t.albedo.empty() && t.terrain.empty());
    // BRF directions asked for but not given: the albedo is still tallied.
    const ForwardTallies u = embree::render_forward(s, 1, 1, {0, 1}, 100, 1, false, 1.0f,
                                                    nullptr, 2, 16, 3, 1, {}, -1);
    EXPECT_EQ(u.brf, std::vector<float>(2, 0.0f));
    EXPECT_GT(u.albedo.at(0), 0.0f);
}

TEST(ForwardEngine, OneAndTwoThreadsAgreeUpToSummationOrder) {
    const float size = 2.0f;
    EmbreeSceneManager s;
    s.set_num_bands(2);
    add_leaf_material(s, 0, 0.5f, 0.5f);
    s.add_material(MaterialType::Lambertian, 6);
    s.upload_spectral_params(
        {0.1f, 0.45f, 0.12f, 0.4f, 0.05f, 0.45f, 0.2f, 0.3f, 1.0f, 0.8f, 0.2f, 0.1f});
    const int ground = add_rect(s, 0, 0, size, size, 0.0f, 1);
    add_random_leaves(s, 150, 0.15f, size, 0.2f, 1.2f, 0, 3);
    s.set_emitter(EmitterType::Sun, direction_deg(40.0, 70.0), 8);
    s.set_sky(10);
    s.set_repetitive(20, size, size);
    s.set_measurement_plane(1.4f);
    s.build();
    ForwardRequest r;
    r.nx = 2;
    r.ny = 2;
    r.layers = {0.0f, 0.5f, 1.0f, 1.5f};
    r.num_photons = 8000;
    r.num_bands = 2;
    r.per_leaf = true;
    r.prob_sun = 0.6f;
    r.brf_dirs = {0, 0, 1, 0.5f, 0.0f, 0.8660254f};
    r.terrain_instance_id = ground;
    r.num_threads = 1;
    const ForwardTallies one = run_forward(s, r);
    r.num_threads = 2;
    const ForwardTallies two = run_forward(s, r);
    auto expect_same = [](const std::vector<float>& a, const std::vector<float>& b,
                          const char* what) {
        ASSERT_EQ(a.size(), b.size()) << what;
        double scale = 0.0;
        for (float x : a) scale = std::max(scale, double(std::fabs(x)));
        EXPECT_GT(scale, 0.0) << what;
        for (size_t i = 0; i < a.size(); ++i)
            EXPECT_NEAR(a[i], b[i], 1e-6 * scale) << what << " [" << i << "]";
    };
    expect_same(one.grid, two.grid, "grid");
    expect_same(one.leaf, two.leaf, "leaf");
    expect_same(one.brf, two.brf, "brf");
    expect_same(one.albedo, two.albedo, "albedo");
    expect_same(one.terrain, two.terrain, "terrain");
}

TEST(ForwardEngine, PerLeafIndexIsInstanceOffsetPlusTriangle) {
    // Two copies of a two-triangle plate side by side, the terrain below
    // them as instance 1 (between the plates in instance order).
    EmbreeSceneManager s;
    s.add_material(MaterialType::Lambertian, 0);
    s.upload_spectral_params({0.0f, 1.0f});
    const int plate = s.add_mesh({{0, 0, 1}, {1, 0, 1}, {1, 1, 1}, {0, 1, 1}}, {},
                                 {{0, 1, 2}, {0, 2, 3}}, 0);
    s.add_instance(plate, 0, 0, 0, 1);
    const int terrain = add_rect(s, -5, -5, 5, 5, 0.0f, 0);
    s.add_instance(plate, 1, 0, 0, 1);
    s.set_emitter(EmitterType::Sun, make_f3(0, 0, 1), 1);
    s.set_repetitive(0, 3.0f, 1.0f);  // the last third of the extent falls on the terrain
    s.set_measurement_plane(1.0f);
    s.build();
    ForwardRequest r;
    r.per_leaf = true;
    r.terrain_instance_id = terrain;
    r.num_photons = 30000;
    const ForwardTallies t = run_forward(s, r);
    ASSERT_EQ(t.leaf.size(), 6u);  // 2 + 2 + 2 triangles
    const double each = 0.5,
                 sigma = 3.0 * std::sqrt((1 / 6.0) * (5 / 6.0) / r.num_photons);
    for (size_t i : {0u, 1u, 4u, 5u})
        EXPECT_NEAR(t.leaf[i], each, 5 * sigma) << "triangle " << i;
    EXPECT_EQ(t.leaf[2] + t.leaf[3], 0.0f);
    EXPECT_NEAR(t.terrain[0], 1.0,
                5 * 3.0 * std::sqrt((1 / 3.0) * (2 / 3.0) / r.num_photons));
    EXPECT_NEAR(sum(t.leaf) + t.terrain[0], 3.0, 1e-4);
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
        EmbreeSceneManager s;
        plane_scene(s, 0.0f, c.z);
        s.set_measurement_plane(c.z);
        s.build();
        ForwardRequest r;
        r.layers = c.layers;
        r.num_photons = 1000;
        const ForwardTallies t = run_forward(s, r);
        const double inc = direction_deg(30.0, 0.0).z * 2.0;
        for (size_t l = 0; l < t.grid.size(); ++l)
            EXPECT_NEAR(t.grid[l], l == c.layer ? inc : 0.0, 1e-5)
                << "z " << c.z << " layer " << l;
    }
}

TEST(ForwardEngine, DepthOverrideAndDiagnosticLine) {
    EmbreeSceneManager s;
    plane_scene(s, 0.4f);
    s.build();
    ForwardRequest r;
    r.nx = 2;
    r.ny = 3;
    r.num_photons = 1000;
    r.brf_dirs = {0, 0, 1};
    const double reflected = 0.4 * direction_deg(30.0, 0.0).z * 2.0;
    struct Case {
        const char* env;
        bool applies;
    };
    for (const Case& c : {Case{nullptr, false}, Case{"1", true}, Case{" 1 ", true},
                          Case{"0", false}, Case{"abc", false}, Case{"-3", false}}) {
        if (c.env)
            setenv("VORN_MAX_DEPTH", c.env, 1);
        else
            unsetenv("VORN_MAX_DEPTH");
        testing::internal::CaptureStdout();
        const ForwardTallies t = run_forward(s, r);
        const std::string out = testing::internal::GetCapturedStdout();
        // One scattering event allowed: photons end at the plane, none escapes.
        EXPECT_NEAR(t.albedo[0], c.applies ? 0.0 : reflected, 1e-5)
            << (c.env ? c.env : "unset");
        const std::string line =
            "Forward fPAR (CPU): 1000 photons, grid 2x3x1, 1 bands, 2 threads\n";
        EXPECT_EQ(out,
                  (c.applies ? std::string("[CPU fwd] VORN_MAX_DEPTH=1\n") : "") + line);
    }
    unsetenv("VORN_MAX_DEPTH");
}

TEST(ForwardEngine, BadRequestsAreRejectedBeforeAnyWork) {
    EmbreeSceneManager built, unbuilt, no_extent;
    plane_scene(built, 0.3f);
    built.build();
    plane_scene(unbuilt, 0.3f);
    plane_scene(no_extent, 0.3f);
    no_extent.set_repetitive(0, 0.0f, 0.0f);
    no_extent.build();
    auto call = [](EmbreeSceneManager& s, std::vector<float> layers, int nx,
                   float prob_sun, int nb) {
        return error_of([&] {
            embree::render_forward(s, nx, 1, layers, 10, nb, false, prob_sun, nullptr, 0,
                                   16, 3, 1, {}, -1);
        });
    };
    EXPECT_EQ(call(built, {0.0f}, 1, 1.0f, 1),
              "layer_heights must have at least 2 entries");
    EXPECT_EQ(call(built, {}, 1, 1.0f, 1), "layer_heights must have at least 2 entries");
    EXPECT_NE(
        call(built, {0, 1}, 0, 1.0f, 1).find("nx and ny must be at least 1, got 0 x 1"),
        std::string::npos);
    EXPECT_NE(call(no_extent, {0, 1}, 1, 1.0f, 1).find("extent must be positive"),
              std::string::npos);
    for (float p : {1.5f, -0.1f, NAN})
        EXPECT_NE(call(built, {0, 1}, 1, p, 1).find("prob_sun must lie in [0, 1]"),
                  std::string::npos)
            << p;
    EXPECT_NE(
        call(built, {0, 1}, 1, 0.0f, 1).find("prob_sun must be above 0 when no sky"),
        std::string::npos);
    EXPECT_NE(call(unbuilt, {0, 1}, 1, 1.0f, 1).find("scene not built"),
              std::string::npos);
    // Three bands would read the material and the sun beyond the spectral array.
    EXPECT_NE(call(built, {0, 1}, 1, 1.0f, 3).find("spectral"), std::string::npos);
}

}  // namespace
}  // namespace vorn::test
