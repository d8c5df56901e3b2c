// CPU LiDAR engine against closed forms on flat surfaces, and its independence
// from the number of worker threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "embree/lidar.h"
#include "tests/cpp/error_test_util.h"

namespace vorn::embree {
namespace {

constexpr float kE = 2.0f, kA = 0.1f, kRes = 0.15f;
// Spectral array of the test scenes (2 bands): a Lambertian at 0, a leaf at 2.
const std::vector<float> kSpectral = {0.3f, 0.6f, 0.4f, 0.45f, 0.2f, 0.25f, 0.1f, 0.1f};

/// Square of half-width `half` in the plane z = `z`, counter-clockwise seen from +z.
int add_plane(EmbreeSceneManager& s, float z, float half, int material) {
    const int mesh = s.add_mesh(
        {{-half, -half, z}, {half, -half, z}, {half, half, z}, {-half, half, z}}, {},
        {{0, 1, 2}, {0, 2, 3}}, material);
    return s.add_instance(mesh, 0.0f, 0.0f, 0.0f, 1.0f);
}

/// A built two-band scene with a Lambertian (material 0) and a leaf (material 1).
void describe(EmbreeSceneManager& s) {
    s.set_num_bands(2);
    s.add_material(MaterialType::Lambertian, 0);
    s.add_material(MaterialType::Leaf, 2);
    s.upload_spectral_params(kSpectral);
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
                float max_range = 100.0f, float alpha = 5e-4f) {
    return simulate_lidar(s, p.o.data(), p.d.data(), p.count(), alpha, 10, kE, kA, kRes,
                          0.0f, max_range, nw, 4.0f, 1e-8f, 5, direct, threads, {});
}

/// Sum over bins of band w of pulse p: the smoothing kernel sums to 1, so this
/// is the pulse's returned energy in that band.
double band_energy(const LiDARResult& r, int p, int nw, int w) {
    double sum = 0.0;
    for (int b = 0; b < r.num_bins; ++b)
        sum += r.waveform[(size_t(p) * r.num_bins + b) * nw + w];
    return sum;
}

TEST(CpuLidar, FlatLambertianPlaneReturnsRhoEAOverPiRSquared) {
    EmbreeSceneManager s;
    describe(s);
    add_plane(s, 0.0f, 1000.0f, 0);
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
        // Sub-rays leave at most 5e-4 rad off nadir: cos and range change by < 1e-6.
        for (int w = 0; w < 2; ++w) {
            const double want = kSpectral[size_t(w)] * kE * kA / (M_PI * h * h);
            EXPECT_NEAR(band_energy(r, i, 2, w), want, 2e-5 * want)
                << "pulse " << i << " band " << w;
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

TEST(CpuLidar, DirectModeRecordsTheTrueRangeAndFirstBand) {
    EmbreeSceneManager s;
    describe(s);
    add_plane(s, 0.0f, 1000.0f, 0);
    add_plane(s, -50.0f, 1000.0f, 1);  // hidden below the first
    s.build();
    Pulses p;
    p.add({1, 2, 10}, {0, 0, -1});
    p.add({0, 0, 10}, {0, 0, 1});  // misses
    const float c = std::cos(0.5f);
    p.add({3, 0, 20}, {std::sin(0.5f), 0, -c});  // slant range 20 / cos
    const LiDARResult r = run(s, p, 2, true, 1);
    EXPECT_TRUE(r.waveform.empty());
    EXPECT_EQ(r.num_bins, 667);
    ASSERT_EQ(r.num_returns, 2);
    const double r2 = 20.0 / c;
    const std::vector<double> want = {1,
                                      2,
                                      0,
                                      0.3 * kE * kA / (M_PI * 100.0),
                                      1,
                                      1,
                                      10,
                                      0,
                                      3 + 20.0 * std::tan(0.5),
                                      0,
                                      0,
                                      c * 0.3 * kE * kA / (M_PI * r2 * r2),
                                      1,
                                      1,
                                      r2,
                                      2};
    for (size_t i = 0; i < want.size(); ++i)
        EXPECT_NEAR(r.points[i], want[i], 1e-5 * std::max(1.0, std::abs(want[i])))
            << "value " << i;
}

TEST(CpuLidar, LeafBackFaceUsesTheBackReflectanceInWaveformModeOnly) {
    EmbreeSceneManager s;
    describe(s);
    add_plane(s, 0.0f, 1000.0f, 1);  // leaf, face normal +z
    s.build();
    Pulses p;
    p.add({0, 0, 8}, {0, 0, -1});  // front face
    p.add({0, 0, -8}, {0, 0, 1});  // back face
    const LiDARResult r = run(s, p, 2, false, 1);
    const double scale = kE * kA / (M_PI * 64.0);
    for (int w = 0; w < 2; ++w) {
        EXPECT_NEAR(band_energy(r, 0, 2, w), kSpectral[size_t(2 + w)] * scale,
                    2e-5 * scale);
        EXPECT_NEAR(band_energy(r, 1, 2, w), kSpectral[size_t(4 + w)] * scale,
                    2e-5 * scale);
    }
    const LiDARResult d = run(s, p, 2, true, 1);
    ASSERT_EQ(d.num_returns, 2);
    EXPECT_NEAR(d.points[3], 0.4 * scale, 1e-5 * scale);
    EXPECT_NEAR(d.points[11], 0.4 * scale,
                1e-5 * scale);  // front value, whatever the face
}

TEST(CpuLidar, MissesAndOutOfWindowHitsLeaveTheWaveformEmpty) {
    EmbreeSceneManager s;
    describe(s);
    add_plane(s, 0.0f, 1000.0f, 0);
    s.build();
    Pulses p;
    p.add({0, 0, 5}, {0, 0, 1});    // away from the plane
    p.add({0, 0, 30}, {0, 0, -1});  // beyond max_range 20
    const LiDARResult r = run(s, p, 1, false, 2, 20.0f);
    EXPECT_EQ(r.num_bins, 134);
    for (float v : r.waveform) ASSERT_EQ(v, 0.0f);
    EXPECT_EQ(r.num_returns, 0);
    EXPECT_EQ(run(s, p, 1, true, 2, 20.0f).num_returns, 0);
}

TEST(CpuLidar, ResultsDoNotDependOnTheThreadCount) {
    EmbreeSceneManager s;
    describe(s);
    add_plane(s, 0.0f, 1000.0f, 0);
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
    const LiDARResult one = run(s, p, 2, false, 1, 100.0f, 0.05f);
    EXPECT_GT(one.num_returns, p.count());
    for (int threads : {2, 3, 8}) {
        const LiDARResult many = run(s, p, 2, false, threads, 100.0f, 0.05f);
        EXPECT_EQ(many.waveform, one.waveform) << threads << " threads";
        EXPECT_EQ(many.points, one.points) << threads << " threads";
    }
    // Direct mode: records in pulse order whatever the thread count.
    const LiDARResult serial = run(s, p, 1, true, 1);
    ASSERT_EQ(serial.num_returns, p.count());
    for (int i = 0; i < serial.num_returns; ++i) EXPECT_EQ(serial.points[8 * i + 7], float(i));
    for (int threads : {2, 3, 8})
        EXPECT_EQ(run(s, p, 1, true, threads).points, serial.points) << threads << " threads";
}

TEST(CpuLidar, ProgressIsReportedOnceAtTheEnd) {
    EmbreeSceneManager s;
    describe(s);
    s.build();
    Pulses p;
    p.add({0, 0, 1}, {0, 0, -1});
    int calls = 0;
    auto progress = [&](int done, int total, float ms) {
        ++calls;
        EXPECT_EQ(done, 1);
        EXPECT_EQ(total, 1);
        EXPECT_GE(ms, 0.0f);
    };
    const LiDARResult r =
        simulate_lidar(s, p.o.data(), p.d.data(), 1, 5e-4f, 10, kE, kA, kRes, 0, 100, 1,
                       4.0f, 1e-8f, 5, false, 0, progress);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(r.num_returns, 0);  // empty scene
}

TEST(CpuLidar, RejectsScenesAndBandCountsItCannotRead) {
    Pulses p;
    p.add({0, 0, 1}, {0, 0, -1});
    auto error_of = [&](EmbreeSceneManager& s, int nw) {
        return test::error_of([&] { run(s, p, nw, false, 1); });
    };
    EmbreeSceneManager unbuilt;
    describe(unbuilt);
    EXPECT_NE(error_of(unbuilt, 1).find("not built"), std::string::npos);
    EmbreeSceneManager s;
    describe(s);
    s.build();
    for (int nw : {0, 3, -1})
        EXPECT_NE(error_of(s, nw).find("num_wavelengths"), std::string::npos) << nw;
    // Four bands, but room for only the leaf's first band: its back face reads index 4.
    EmbreeSceneManager leaf;
    leaf.set_num_bands(4);
    leaf.add_material(MaterialType::Leaf, 0);
    leaf.upload_spectral_params({0.1f, 0.2f, 0.3f, 0.4f});
    add_plane(leaf, 0.0f, 10.0f, 0);
    leaf.build();
    EXPECT_NE(error_of(leaf, 1).find("back reflectance"), std::string::npos)
        << error_of(leaf, 1);
}

}  // namespace
}  // namespace vorn::embree
