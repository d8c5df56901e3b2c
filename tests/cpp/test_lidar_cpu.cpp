// CPU LiDAR engine against closed forms on a flat surface, and its independence
// from the number of worker threads.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "embree/lidar.h"
#include "tests/cpp/error_test_util.h"

namespace vorn::embree {
namespace {

constexpr float kE = 2.0f, kA = 0.1f, kRes = 0.15f;
// Spectral array (2 bands): a Lambertian at 0, a leaf at 2.
const std::vector<float> kSpectral = {0.3f, 0.6f, 0.4f, 0.45f, 0.2f, 0.25f, 0.1f, 0.1f};

/// A two-band scene: Lambertian material 0, leaf material 1, and a wide ground
/// plane z = 0 (normal +z) of the Lambertian.
void describe(EmbreeSceneManager& s) {
    s.set_num_bands(2);
    s.add_material(MaterialType::Lambertian, 0);
    s.add_material(MaterialType::Leaf, 2);
    s.upload_spectral_params(kSpectral);
    const float h = 1000.0f;
    const int mesh = s.add_mesh({{-h, -h, 0}, {h, -h, 0}, {h, h, 0}, {-h, h, 0}}, {},
                                {{0, 1, 2}, {0, 2, 3}}, 0);
    s.add_instance(mesh, 0.0f, 0.0f, 0.0f, 1.0f);
}

struct Pulses {
    std::vector<float> o, d;
    int count() const { return int(o.size() / 3); }
    void add(float3 origin, float3 dir) {
        o.insert(o.end(), {origin.x, origin.y, origin.z});
        d.insert(d.end(), {dir.x, dir.y, dir.z});
    }
};

LiDARResult run(EmbreeSceneManager& s, const Pulses& p, int nw, bool direct, int threads,
                float alpha = 5e-4f) {
    return simulate_lidar(s, p.o.data(), p.d.data(), p.count(), alpha, 10, kE, kA, kRes,
                          0.0f, 100.0f, nw, 4.0f, 1e-8f, 5, direct, threads, {});
}

TEST(CpuLidar, FlatLambertianPlaneReturnsRhoEAOverPiRSquared) {
    EmbreeSceneManager s;
    describe(s);
    s.build();
    Pulses p;
    const float heights[3] = {5.05f, 12.34f, 40.0f};
    for (int i = 0; i < 3; ++i) p.add({float(i), -2.0f * i, heights[i]}, {0, 0, -1});
    const LiDARResult r = run(s, p, 2, false, 2);
    ASSERT_EQ(r.num_bins, 667);
    ASSERT_EQ(r.waveform.size(), size_t(3) * 667 * 2);
    ASSERT_EQ(r.num_returns, 3);
    for (int i = 0; i < 3; ++i) {
        const double h = heights[i];
        // Beam weights and smoothing kernel both sum to 1, so the bins of a band
        // add up to the whole return; sub-rays 5e-4 rad off nadir change cos and
        // range by < 1e-6.
        for (int w = 0; w < 2; ++w) {
            double sum = 0.0;
            for (int b = 0; b < r.num_bins; ++b)
                sum += r.waveform[(size_t(i) * r.num_bins + b) * 2 + w];
            const double want = kSpectral[size_t(w)] * kE * kA / (M_PI * h * h);
            EXPECT_NEAR(sum, want, 2e-5 * want) << "pulse " << i << " band " << w;
        }
        const float* rec = &r.points[size_t(8 * i)];
        EXPECT_NEAR(rec[6], h, kRes) << "pulse " << i;  // within one bin
        EXPECT_NEAR(rec[0], float(i), 1e-5f);
        EXPECT_NEAR(rec[1], -2.0f * i, 1e-5f);
        EXPECT_NEAR(rec[2], h - rec[6], 1e-5f);
        EXPECT_EQ(rec[4], 1.0f);
        EXPECT_EQ(rec[5], 1.0f);
        EXPECT_EQ(rec[7], float(i));
    }
}

TEST(CpuLidar, ResultsDoNotDependOnTheThreadCount) {
    EmbreeSceneManager s;
    describe(s);
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    for (int i = 0; i < 40; ++i) {  // small leaves between 2 and 10 m
        const float x = 3 * u(rng), y = 3 * u(rng), z = 6 + 4 * u(rng);
        const int mesh = s.add_mesh({{x, y, z},
                                     {x + 0.3f, y + 0.05f * u(rng), z + 0.1f * u(rng)},
                                     {x + 0.1f, y + 0.3f, z + 0.1f * u(rng)}},
                                    {}, {{0, 1, 2}}, 1);
        s.add_instance(mesh, 0.0f, 0.0f, 0.0f, 1.0f);
    }
    s.build();
    Pulses p;
    for (int i = 0; i < 60; ++i) {
        const float3 d = normalize(float3{0.2f * u(rng), 0.2f * u(rng), -1.0f});
        p.add({2 * u(rng), 2 * u(rng), 15.0f}, d);
    }
    // A wide beam (0.75 m footprint radius) so that leaves split many pulses.
    const LiDARResult one = run(s, p, 2, false, 1, 0.05f);
    EXPECT_GT(one.num_returns, p.count());
    const LiDARResult serial = run(s, p, 1, true, 1);
    ASSERT_EQ(serial.num_returns, p.count());
    for (int i = 0; i < serial.num_returns; ++i)  // direct mode: in pulse order
        EXPECT_EQ(serial.points[8 * i + 7], float(i));
    for (int threads : {2, 3, 8}) {
        const LiDARResult many = run(s, p, 2, false, threads, 0.05f);
        EXPECT_EQ(many.waveform, one.waveform) << threads << " threads";
        EXPECT_EQ(many.points, one.points) << threads << " threads";
        EXPECT_EQ(run(s, p, 1, true, threads).points, serial.points) << threads;
    }
}

TEST(CpuLidar, RefusesALeafWithoutRoomForItsBackReflectance) {
    // Four bands, but room for only the leaf's first band: its back face reads index 4.
    EmbreeSceneManager leaf;
    leaf.set_num_bands(4);
    leaf.add_material(MaterialType::Leaf, 0);
    leaf.upload_spectral_params({0.1f, 0.2f, 0.3f, 0.4f});
    leaf.add_instance(
        leaf.add_mesh({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {}, {{0, 1, 2}}, 0), 0.0f, 0.0f,
        0.0f, 1.0f);
    leaf.build();
    Pulses p;
    p.add({0, 0, 1}, {0, 0, -1});
    const std::string msg = test::error_of([&] { run(leaf, p, 1, false, 1); });
    EXPECT_NE(msg.find("back reflectance"), std::string::npos) << msg;
}

}  // namespace
}  // namespace vorn::embree
