// The CPU energy balance on a random leaf canopy in a periodic tile: the same
// bits for any number of worker threads, single-band and multiband, and a
// progress report that throws ends the call with the outputs untouched.
#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <vector>

#include "embree/energy_balance.h"

namespace vorn {
namespace {

using embree::EmbreeSceneManager;

/// Two bands: `n` random leaf triangles over a Lambertian ground in a 3 m tile.
uint32_t make_canopy(EmbreeSceneManager& s, int n) {
    s.set_num_bands(2);
    s.add_material(MaterialType::Leaf, 0);
    s.add_material(MaterialType::Lambertian, 6);
    s.upload_spectral_params({0.1f, 0.5f, 0.1f, 0.4f, 0.05f, 0.4f, 0.15f, 0.35f});
    s.add_instance(s.add_mesh({{0, 0, 0}, {3, 0, 0}, {3, 3, 0}, {0, 3, 0}}, {},
                              {{0, 1, 2}, {0, 2, 3}}, 1),
                   0, 0, 0, 1);
    uint64_t state = 5;
    auto u = [&state] {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return float(state >> 40) * (1.0f / 16777216.0f);
    };
    std::vector<float3> v;
    std::vector<int3> idx;
    for (int i = 0; i < n; ++i) {
        const float3 c{3 * u(), 3 * u(), 0.3f + 1.5f * u()};
        idx.push_back({3 * i, 3 * i + 1, 3 * i + 2});
        for (int k = 0; k < 3; ++k) v.push_back(c + 0.3f * float3{u() - 0.5f, u() - 0.5f, u() - 0.5f});
    }
    s.add_instance(s.add_mesh(std::move(v), {}, std::move(idx), 0), 0, 0, 0, 1);
    s.set_repetitive(100, 3.0f, 3.0f);
    s.build();
    return uint32_t(n + 2);
}

TEST(EnergyBalance, ResultsAreBitIdenticalForAnyThreadCount) {
    EmbreeSceneManager s;
    const uint32_t np = make_canopy(s, 150);
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
    EXPECT_THROW(embree::run_energy_balance(s, one, overrides, top, bot, 3,
                                            [np](int done, int total, float) {
                                                EXPECT_TRUE(done == int(np) && total == int(np));
                                                throw std::runtime_error("interrupted");
                                            }),
                 std::runtime_error);
    EXPECT_EQ(top, std::vector<float>(1, -1.0f));
}

}  // namespace
}  // namespace vorn
