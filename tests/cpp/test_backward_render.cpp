// CPU backward renderer: independence from the thread count, the running
// mean over passes, progress reports and the nadir ray of unknown sensors.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/backward_path.h"
#include "embree/backward.h"
#include "embree/scene_view.h"

namespace vorn {
namespace {

using embree::BackwardImage;
using embree::EmbreeSceneManager;
using embree::render_backward;

constexpr int kBands = 3;

/// Deterministic scatter of leaf triangles over a 6 x 6 m tile above a ground
/// plane: every feature of the path loop is exercised (leaf transmission,
/// shadows, Russian roulette, tile wrapping, sky).
void fill_leafy_scene(EmbreeSceneManager& s, bool periodic) {
    s.set_num_bands(kBands);
    // ground rho | leaf Rf, Rb, T | sun E | sky L
    std::vector<float> spectral = {0.1f,  0.2f,  0.3f, 0.05f, 0.1f,  0.45f,
                                   0.07f, 0.12f, 0.4f, 0.04f, 0.09f, 0.45f,
                                   1.5f,  1.2f,  1.0f, 0.3f,  0.2f,  0.1f};
    s.upload_spectral_params(spectral);
    s.add_material(MaterialType::Lambertian, 0);
    const int leaf = s.add_material(MaterialType::Leaf, kBands);
    s.materials[size_t(leaf)].params[0] = 0.5f;
    s.materials[size_t(leaf)].params[1] = 0.3f;
    s.add_mesh({{0, 0, 0}, {6, 0, 0}, {6, 6, 0}, {0, 6, 0}}, {}, {{0, 1, 2}, {0, 2, 3}},
               0);
    std::vector<float3> v;
    std::vector<int3> idx;
    uint32_t h = 12345u;
    auto rnd = [&h]() {  // xorshift32, in [0, 1)
        h ^= h << 13;
        h ^= h >> 17;
        h ^= h << 5;
        return float(h >> 8) * (1.0f / 16777216.0f);
    };
    for (int i = 0; i < 300; ++i) {
        const float3 c{6.0f * rnd(), 6.0f * rnd(), 0.5f + 2.0f * rnd()};
        const int base = int(v.size());
        v.push_back(c);
        v.push_back(c + float3{0.3f * rnd() - 0.15f, 0.3f * rnd() - 0.15f, 0.1f * rnd()});
        v.push_back(c + float3{0.3f * rnd() - 0.15f, 0.3f * rnd() - 0.15f, 0.1f * rnd()});
        idx.push_back({base, base + 1, base + 2});
    }
    s.add_mesh(v, {}, idx, leaf);
    s.add_instance(0, 0, 0, 0, 1);
    s.add_instance(1, 0, 0, 0, 1);
    s.set_emitter(EmitterType::Sun, normalize(float3{0.4f, 0.3f, 0.8f}), 12);
    s.set_sky(15);
    if (periodic) s.set_repetitive(3, 6.0f, 6.0f);
    SensorData cam{};
    cam.type = kSensorPerspective;
    cam.width = 24;
    cam.height = 17;
    cam.fov = 1.0f;
    // Looking down at 45 degrees towards the tile from outside it.
    const float k = 0.70710678f;
    const float m[16] = {1, 0, 0, 3, 0, k, -k, -4, 0, k, k, 6, 0, 0, 0, 1};
    for (int i = 0; i < 16; ++i) cam.cam_xform[i] = m[i];
    s.set_sensor(cam);
    s.build();
}

class ThreadCount : public ::testing::TestWithParam<bool> {};

TEST_P(ThreadCount, ImageIsIdenticalForAnyNumberOfWorkers) {
    EmbreeSceneManager s;
    fill_leafy_scene(s, GetParam());
    const BackwardImage one = render_backward(s, 3, 8, 2, 1, {});
    ASSERT_EQ(one.image.size(), size_t(24 * 17 * kBands));
    double total = 0.0;
    for (float x : one.image) total += x;
    EXPECT_GT(total, 0.0);
    for (int threads : {2, 3, 7}) {
        const BackwardImage many = render_backward(s, 3, 8, 2, threads, {});
        EXPECT_EQ(many.image, one.image) << threads << " threads";
    }
}

INSTANTIATE_TEST_SUITE_P(Periodic, ThreadCount, ::testing::Bool());

TEST(BackwardRender, PixelHoldsTheRunningMeanOfItsPassSamples) {
    EmbreeSceneManager s;
    fill_leafy_scene(s, true);
    const SceneView view = embree::make_scene_view(s);
    const int spp = 3;
    const BackwardImage img = render_backward(s, spp, 6, 2, 2, {});
    double tp[kBands], rad[kBands];
    int checked = 0;
    for (int y = 0; y < view.sensor.height; y += 4) {
        for (int x = 0; x < view.sensor.width; x += 5) {
            // Each pass's sample, traced on its own; then the documented mean.
            float expect[kBands] = {0, 0, 0};
            for (int pass = 0; pass < spp; ++pass) {
                ASSERT_TRUE(render_pixel_sample(s, view, x, y, pass, 6, 2, tp, rad));
                const float w = 1.0f / float(pass + 1);
                for (int b = 0; b < kBands; ++b)
                    expect[b] = pass == 0 ? float(rad[b])
                                          : float(rad[b]) * w + expect[b] * (1.0f - w);
            }
            for (int b = 0; b < kBands; ++b)
                EXPECT_EQ(img.image[(size_t(y) * 24 + size_t(x)) * kBands + size_t(b)],
                          expect[b])
                    << x << "," << y << " band " << b;
            ++checked;
        }
    }
    EXPECT_GT(checked, 20);
}

TEST(BackwardRender, ProgressRunsOnCallerAfterEachPassAndItsExceptionLeaves) {
    EmbreeSceneManager s;
    fill_leafy_scene(s, false);
    std::vector<int> done;
    std::vector<float> ms;
    render_backward(s, 4, 3, 3, 2, [&](int d, int total, float t) {
        EXPECT_EQ(total, 4);
        done.push_back(d);
        ms.push_back(t);
    });
    EXPECT_EQ(done, (std::vector<int>{1, 2, 3, 4}));
    for (size_t i = 1; i < ms.size(); ++i) EXPECT_GE(ms[i], ms[i - 1]);

    int calls = 0;
    EXPECT_THROW(render_backward(s, 4, 3, 3, 2,
                                 [&](int, int, float) {
                                     if (++calls == 2) throw std::runtime_error("stop");
                                 }),
                 std::runtime_error);
    EXPECT_EQ(calls, 2);
}

TEST(BackwardRender, UnknownSensorTypeLooksStraightDownFromHeight100) {
    // Lambertian ground only, sun at 60 degrees: every pixel sees
    // rho E cos(60)/pi whatever the sensor's matrix says.
    EmbreeSceneManager s;
    s.set_num_bands(1);
    s.upload_spectral_params({0.5f, 2.0f});
    s.add_material(MaterialType::Lambertian, 0);
    s.add_mesh({{-5, -5, 0}, {5, -5, 0}, {5, 5, 0}, {-5, 5, 0}}, {},
               {{0, 1, 2}, {0, 2, 3}}, 0);
    s.add_instance(0, 0, 0, 0, 1);
    s.set_emitter(EmitterType::Sun, {0.8660254f, 0.0f, 0.5f}, 1);
    SensorData cam{};
    cam.type = 7;
    cam.width = 3;
    cam.height = 2;  // zero matrix: any camera-based ray would be degenerate
    s.set_sensor(cam);
    s.build();
    const BackwardImage img = render_backward(s, 2, 1, 3, 1, {});
    const double want = 0.5 * 2.0 * 0.5 / M_PI;
    for (float v : img.image) EXPECT_NEAR(v, want, 1e-6 * want);
}

TEST(BackwardRender, DegenerateCameraDirectionWritesNothing) {
    EmbreeSceneManager s;
    fill_leafy_scene(s, false);
    SensorData cam = s.sensor;
    for (float& m : cam.cam_xform) m = 0.0f;  // perspective rays of zero length
    s.set_sensor(cam);
    const BackwardImage img = render_backward(s, 2, 4, 3, 2, {});
    for (float v : img.image) EXPECT_EQ(v, 0.0f);
}

TEST(BackwardRender, RejectsSensorsThatCannotBeIndexed) {
    EmbreeSceneManager s;
    fill_leafy_scene(s, false);
    SensorData cam = s.sensor;
    cam.width = 70000;
    cam.height = 70000;
    s.set_sensor(cam);
    try {
        render_backward(s, 1, 1, 3, 1, {});
        FAIL() << "expected an error";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("70000 x 70000 pixels exceeds"),
                  std::string::npos)
            << e.what();
    }
}

}  // namespace
}  // namespace vorn
