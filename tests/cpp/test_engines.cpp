// The CPU engines on one leaf canopy: results independent of the number of
// worker threads to the last bit (per-leaf forward tallies and both energy
// balances included), the image as the running mean of its passes, a throwing
// progress report leaving the energy balance's outputs untouched, and the
// forward grid cells.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <utility>
#include <vector>

#include "core/backward_path.h"
#include "core/forward_photon.h"
#include "embree/backward.h"
#include "embree/energy_balance.h"
#include "embree/forward.h"
#include "embree/lidar.h"
#include "embree/scene_view.h"
#include "embree/sun_shadows.h"
#include "scene/world_primitives.h"

namespace vorn {
namespace {

using embree::EmbreeSceneManager;

constexpr int kW = 24, kH = 17;
constexpr float kSize = 3.0f;

float3 direction_deg(double theta, double phi) {
    const double t = theta * M_PI / 180.0, p = phi * M_PI / 180.0;
    return {float(std::sin(t) * std::cos(p)), float(std::sin(t) * std::sin(p)), float(std::cos(t))};
}

/// Uniform in [0, 1): the top 24 bits of a 64-bit LCG.
float uniform(uint64_t& state) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return float(state >> 40) * (1.0f / 16777216.0f);
}

/// Two bands: n random leaf triangles at 0.3 to 1.8 m over a Lambertian ground
/// (instance 0) in a periodic tile of kSize metres, each leaf repeated in the 8
/// neighbouring tiles so that the tiled canopy is unbroken. Sun (spectral 8)
/// and a uniform sky (10); a perspective camera looks down at 45 degrees.
void make_canopy(EmbreeSceneManager& s, int n, float3 sun, bool periodic = true) {
    s.set_num_bands(2);
    const int leaf = s.add_material(MaterialType::Leaf, 0);
    s.materials[size_t(leaf)].params[0] = 1.25f;
    s.materials[size_t(leaf)].params[1] = 1.0f;
    s.add_material(MaterialType::Lambertian, 6);
    // leaf R front, R back, T; ground; sun; sky (two bands each)
    s.upload_spectral_params({0.1f, 0.5f, 0.1f, 0.5f, 0.08f, 0.4f, 0.15f, 0.35f, 1.0f, 0.7f, 0.2f, 0.1f});
    s.add_instance(s.add_mesh({{0, 0, 0}, {kSize, 0, 0}, {kSize, kSize, 0}, {0, kSize, 0}}, {},
                              {{0, 1, 2}, {0, 2, 3}}, 1),
                   0, 0, 0, 1);
    uint64_t state = 11;
    auto u = [&state] { return uniform(state); };
    std::vector<float3> v;
    std::vector<int3> idx;
    for (int i = 0; i < n; ++i) {
        const float3 c{u() * kSize, u() * kSize, 0.3f + 1.5f * u()};
        float3 corner[3];
        for (float3& p : corner) p = 0.25f * float3{u() - 0.5f, u() - 0.5f, u() - 0.5f};
        for (int k = 0; k < 9; ++k) {
            idx.push_back({int(v.size()), int(v.size()) + 1, int(v.size()) + 2});
            const float3 shift{float(k % 3 - 1) * kSize, float(k / 3 - 1) * kSize, 0.0f};
            for (const float3& p : corner) v.push_back(c + p + shift);
        }
    }
    s.add_instance(s.add_mesh(std::move(v), {}, std::move(idx), 0), 0, 0, 0, 1);
    s.set_emitter(EmitterType::Sun, sun, 8);
    s.set_sky(10);
    if (periodic) s.set_repetitive(1000, kSize, kSize);
    s.set_measurement_plane(2.0f);
    SensorData cam{};
    cam.type = kSensorPerspective;
    cam.width = kW;
    cam.height = kH;
    cam.fov = 1.0f;
    const float k = 0.70710678f;
    const float m[16] = {1, 0, 0, 1.5f, 0, k, -k, -3, 0, k, k, 4, 0, 0, 0, 1};
    for (int i = 0; i < 16; ++i) cam.cam_xform[i] = m[i];
    s.set_sensor(cam);
    s.build();
}

TEST(Engines, BackwardImageIsTheRunningMeanOfItsPassesWhateverTheThreadCount) {
    // Every seed selects other streams; each keeps the single-ray order's image.
    for (bool periodic : {false, true}) {
        for (uint64_t seed : {uint64_t(0), uint64_t(7)}) {
            EmbreeSceneManager s;
            make_canopy(s, 100, direction_deg(35, 40), periodic);
            const std::vector<float> one = embree::render_backward(s, 3, 8, 2, 1, {}, {}, seed).image;
            for (int threads : {2, 7})
                EXPECT_EQ(embree::render_backward(s, 3, 8, 2, threads, {}, {}, seed).image, one)
                    << threads;
            // Each pass's sample traced on its own, then folded as documented.
            SceneView view = embree::make_scene_view(s);
            view.seed = seed;
            double tp[2], rad[2], total = 0.0;
            for (int y = 0; y < kH; y += 4) {
                for (int x = 0; x < kW; x += 5) {
                    float mean[2] = {0, 0};
                    for (int pass = 0; pass < 3; ++pass) {
                        ASSERT_TRUE(render_pixel_sample(s, view, x, y, pass, 8, 2, tp, rad));
                        const float w = 1.0f / float(pass + 1);
                        for (int b = 0; b < 2; ++b)
                            mean[b] = pass == 0 ? float(rad[b]) : float(rad[b]) * w + mean[b] * (1.0f - w);
                    }
                    for (int b = 0; b < 2; ++b) EXPECT_EQ(one[(size_t(y) * kW + x) * 2 + b], mean[b]) << x << "," << y;
                    total += mean[0];
                }
            }
            EXPECT_GT(total, 0.0);
        }
    }
}

TEST(Engines, ForwardTalliesAreBitIdenticalForAnyThreadCount) {
    EmbreeSceneManager s;
    make_canopy(s, 150, direction_deg(40, 70));
    // 9 chunks of photons, the last one partial; sun and sky photons.
    const float brf[6] = {0, 0, 1, 0.5f, 0.0f, 0.8660254f};
    auto forward = [&](int threads) {
        return embree::render_forward(s, 2, 2, {0.0f, 0.5f, 1.0f, 1.5f}, 33001, 2, true, 0.6f, brf, 2, 16,
                                      3, threads, {}, 0);
    };
    const auto one = forward(1);
    double sum = 0.0;
    for (float x : one.leaf) sum += x;
    EXPECT_GT(sum, 0.0);
    for (int threads : {2, 7}) {
        const auto many = forward(threads);
        EXPECT_EQ(many.grid, one.grid) << threads;
        EXPECT_EQ(many.leaf, one.leaf) << threads;
        EXPECT_EQ(many.brf, one.brf) << threads;
        EXPECT_EQ(many.albedo, one.albedo) << threads;
        EXPECT_EQ(many.terrain, one.terrain) << threads;
    }
}

TEST(Engines, LidarWaveformsAndDirectHitsDoNotDependOnTheThreadCount) {
    EmbreeSceneManager s;
    make_canopy(s, 150, direction_deg(0, 0), false);
    std::vector<float> o, d;
    uint64_t state = 99;
    auto u = [&state] { return 2.0f * uniform(state) - 1.0f; };
    for (int i = 0; i < 60; ++i) {
        const float3 dir = normalize(float3{0.05f * u(), 0.05f * u(), -1.0f});
        o.insert(o.end(), {1.5f + u(), 1.5f + u(), 15.0f});
        d.insert(d.end(), {dir.x, dir.y, dir.z});
    }
    auto run = [&](int threads, bool direct) {  // a wide beam: leaves split many pulses
        return embree::simulate_lidar(s, o.data(), d.data(), 60, 0.05f, 10, 2.0f, 0.1f, 0.15f, 0.0f,
                                      100.0f, 2, 4.0f, 1e-8f, 5, direct, threads, {});
    };
    const LiDARResult wave = run(1, false), direct = run(1, true);
    EXPECT_GT(wave.num_returns, 30);
    EXPECT_GT(direct.num_returns, 40);
    for (int i = 1; i < direct.num_returns; ++i)  // in pulse order
        EXPECT_LT(direct.points[8 * size_t(i - 1) + 7], direct.points[8 * size_t(i) + 7]);
    for (int threads : {2, 3, 8}) {
        const LiDARResult many = run(threads, false);
        EXPECT_TRUE(many.waveform == wave.waveform && many.points == wave.points) << threads;
        EXPECT_EQ(run(threads, true).points, direct.points) << threads;
    }
}

TEST(Engines, EnergyBalancesAreBitIdenticalForAnyThreadCount) {
    EmbreeSceneManager s;
    make_canopy(s, 40, direction_deg(30, 10));
    const uint32_t np = s.total_triangles();
    std::vector<float> albedos(2 * np), temps(np, 300.0f);
    for (uint32_t i = 0; i < 2 * np; ++i) albedos[i] = float(i % 7) / 7.0f;
    const EnergyBalanceParams one{1, 5, 700.0f, 30.0f, 25.0f, 0.4f, 0.2f, 0.9f, true,
                                  albedos.data(), int32_t(np)};
    const float sun[2] = {500.0f, 700.0f}, sky[2] = {20.0f, 30.0f};
    const EnergyBalanceMultibandParams many{2, 5, 0.4f, 0.2f, 0.9f, true, sun, sky,
                                            albedos.data(), int32_t(2 * np)};
    const PrimitiveOverrides overrides{temps.data(), np, nullptr, 0};
    std::vector<float> top1, bot1, top_mb1, bot_mb1, top, bot;
    embree::run_energy_balance(s, one, overrides, top1, bot1, 1, {});
    embree::run_energy_balance_multiband(s, many, overrides, top_mb1, bot_mb1, 1, {});
    ASSERT_EQ(top1.size(), np);
    ASSERT_EQ(bot_mb1.size(), 2 * np);
    double sum = 0.0;
    for (float x : bot1) sum += x;
    EXPECT_GT(sum, 0.0);
    for (int threads : {2, 7}) {
        embree::run_energy_balance(s, one, overrides, top, bot, threads, {});
        EXPECT_TRUE(top == top1 && bot == bot1) << threads;
        embree::run_energy_balance_multiband(s, many, overrides, top, bot, threads, {});
        EXPECT_TRUE(top == top_mb1 && bot == bot_mb1) << threads;
    }
    // One batch: the only report comes at the end; its exception leaves the outputs as they were.
    top.assign(1, -1.0f);
    auto stop = [np](int done, int total, float) {
        EXPECT_TRUE(done == int(np) && total == int(np));
        throw std::runtime_error("interrupted");
    };
    EXPECT_THROW(embree::run_energy_balance(s, one, overrides, top, bot, 3, stop), std::runtime_error);
    EXPECT_EQ(top, std::vector<float>(1, -1.0f));
}

// ---- shadow rays along the sun through the grid ------------------------------

/// The canopy with a mirrored, unevenly scaled and turned copy of its leaves
/// as well: every mesh behind an Embree instance, not flattened.
void add_turned_copy(EmbreeSceneManager& s) {
    const float xf[12] = {-0.9f, 0.3f, 0.0f, 2.5f, 0.2f, 1.2f, 0.1f, 0.4f, 0.0f, -0.2f, 0.8f, 0.3f};
    s.add_instance(1, xf);
    s.build();
}

TEST(SunShadowGrid, AnswersEveryShadowRayExactlyAsEmbree) {
    // The engines' shadow rays leave a surface just off it: the grid must
    // neither find the triangle the ray leaves nor lose one it grazes.
    for (bool turned : {false, true}) {
        for (const float3 sun : {direction_deg(35, 40), direction_deg(0, 0), direction_deg(75, 200)}) {
            EmbreeSceneManager s;
            make_canopy(s, 400, sun);
            if (turned) add_turned_copy(s);
            WorldPrimitives w;
            fill_world_primitives(s.meshes, s.instances, w);
            embree::SunShadowGrid grid(s, w, sun, {size_t(1) << 30, 1e9});
            ASSERT_TRUE(grid.built());
            uint64_t state = 5;
            auto u = [&state] { return uniform(state); };
            int occluded = 0, checked = 0;
            auto check = [&](float3 o, float tfar) {
                const bool want = s.trace_shadow(o, sun, tfar);
                ASSERT_EQ(grid.occluded(o, tfar), want)
                    << o.x << " " << o.y << " " << o.z << " tfar " << tfar << " turned " << turned;
                occluded += want;
                ++checked;
            };
            for (size_t i = 0; i < 20000; ++i) {
                const size_t p = i % w.v0.size();
                float b1 = u(), b2 = u();
                if (b1 + b2 > 1.0f) b1 = 1.0f - b1, b2 = 1.0f - b2;
                const float3 x = w.v0[p] + b1 * (w.v1[p] - w.v0[p]) + b2 * (w.v2[p] - w.v0[p]);
                const float3 o = offset_ray_origin(x, face_towards(w.normals[p], sun));
                check(o, i % 3 ? kPeriodicFar : 0.05f + 2.0f * u());
                // Anywhere in and around the tile, under the ground too.
                check({6.0f * u() - 1.5f, 6.0f * u() - 1.5f, 3.0f * u() - 0.5f}, kPeriodicFar);
            }
            EXPECT_GT(occluded, checked / 20) << turned;  // both answers, thousands of times
            EXPECT_LT(occluded, checked * 19 / 20) << turned;
            // Rays the scene refuses or skips are its to answer and to count.
            const uint64_t rejected = s.rejected_rays();
            const float nan = std::nanf("");
            for (const auto& [o, tfar] : {std::pair{float3{nan, 1, 1}, kPeriodicFar},
                                          std::pair{float3{1, 1, 1e30f}, kPeriodicFar},
                                          std::pair{float3{1, 1, 0.1f}, 0.5f * embree::kTnear},
                                          std::pair{float3{1, 1, 0.1f}, nan}})
                check(o, tfar);
            EXPECT_EQ(grid.occluded({nan, 1, 1}, 1.0f), false);
            EXPECT_EQ(s.rejected_rays(), rejected + 5);  // two refused rays, each asked twice, and one more
        }
    }
}

TEST(SunShadowGrid, EnginesGiveTheSameBitsThroughTheGridAndThroughEmbree) {
    using Shadows = EmbreeSceneManager::SunShadows;
    EmbreeSceneManager s;
    const float3 sun = direction_deg(30, 10);
    make_canopy(s, 100, sun);
    add_turned_copy(s);
    auto run = [&](Shadows how) {
        s.sun_shadows = how;
        const uint32_t np = s.total_triangles();
        std::vector<float> albedos(np, 0.3f), top, bot;
        const EnergyBalanceParams eb{1, 4, 700.0f, 30.0f, 25.0f, 0.4f, 0.2f, 0.9f, true,
                                     albedos.data(), int32_t(np)};
        embree::run_energy_balance(s, eb, {}, top, bot, 2, {});
        std::vector<float> out = embree::render_backward(s, 3, 8, 2, 2, {}).image;
        out.insert(out.end(), top.begin(), top.end());
        out.insert(out.end(), bot.begin(), bot.end());
        return out;
    };
    const std::vector<float> grid = run(Shadows::Grid);
    EXPECT_EQ(grid, run(Shadows::Embree));
    EXPECT_EQ(grid, run(Shadows::Auto));
    // Auto builds a grid only for calls with many shadow rays per triangle.
    const double rays = 16.0 * s.total_triangles();
    s.sun_shadows = Shadows::Auto;
    EXPECT_TRUE(embree::sun_grid_for(s, sun, rays) != nullptr);
    EXPECT_TRUE(embree::sun_grid_for(s, sun, rays / 2) == nullptr);
    s.sun_shadows = Shadows::Embree;
    EXPECT_TRUE(embree::sun_grid_for(s, sun, rays) == nullptr);
    // A moved instance is Embree's alone until refit_ias commits it.
    const float moved[12] = {0.9f, 0.3f, 0, 0.5f, -0.3f, 0.9f, 0, 0.2f, 0, 0, 1.1f, 0.1f};
    s.update_instance_transform(2, moved);
    s.sun_shadows = Shadows::Grid;
    EXPECT_TRUE(embree::sun_grid_for(s, sun, rays) == nullptr);
    s.refit_ias();
    EXPECT_TRUE(embree::sun_grid_for(s, sun, rays) != nullptr);
    EXPECT_EQ(run(Shadows::Grid), run(Shadows::Embree));
}

TEST(ForwardGrid, ColumnsClampEvenNanAndInfinityAndCellsAreLayerRowColumn) {
    const float inf = std::numeric_limits<float>::infinity();
    // Extent 4 m in 4 columns of 1 m: x = W lands in the last column.
    const std::pair<float, int> cases[] = {{0.0f, 0},  {0.999f, 0}, {1.0f, 1},  {3.999f, 3},
                                           {4.0f, 3},  {-0.5f, 0},  {1e30f, 3}, {inf, 3},
                                           {-inf, 0}, {std::nanf(""), 0}};
    for (const auto& [x, want] : cases) EXPECT_EQ(grid_column(x, 1.0f, 4), want) << x;
    const float layers[] = {0.0f, 1.0f, 2.0f};
    const ForwardGrid g{3, 2, 2, 2.0f, 5.0f, layers};  // extent 6 x 10
    EXPECT_EQ(grid_cell(g, make_f3(5.9f, 0.1f, 0.5f)), 2);
    EXPECT_EQ(grid_cell(g, make_f3(0.1f, 9.0f, -3.0f)), 3);
    EXPECT_EQ(grid_cell(g, make_f3(4.1f, 6.0f, 7.5f)), (1 * 2 + 1) * 3 + 2);
}

}  // namespace
}  // namespace vorn
