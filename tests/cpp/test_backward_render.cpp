// CPU backward renderer: independence from the thread count and the running
// mean over passes, on a leafy tile that exercises every branch of the path loop.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "core/backward_path.h"
#include "embree/backward.h"
#include "embree/scene_view.h"

namespace vorn {
namespace {

using embree::BackwardImage;
using embree::EmbreeSceneManager;
using embree::render_backward;

constexpr int kBands = 3, kW = 24, kH = 17;

/// Leaf triangles scattered over a 6 x 6 m tile above a ground plane: leaf
/// transmission, shadows, Russian roulette, tile wrapping and the sky all occur.
void fill_leafy_scene(EmbreeSceneManager& s, bool periodic) {
    s.set_num_bands(kBands);
    // ground rho | leaf Rf, Rb, T | sun E | sky L
    s.upload_spectral_params({0.1f, 0.2f, 0.3f, 0.05f, 0.1f, 0.45f, 0.07f, 0.12f, 0.4f,
                              0.04f, 0.09f, 0.45f, 1.5f, 1.2f, 1.0f, 0.3f, 0.2f, 0.1f});
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
        for (int k = 0; k < 2; ++k)
            v.push_back(c +
                        float3{0.3f * rnd() - 0.15f, 0.3f * rnd() - 0.15f, 0.1f * rnd()});
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
    cam.width = kW;
    cam.height = kH;
    cam.fov = 1.0f;
    // Looking down at 45 degrees towards the tile from outside it.
    const float k = 0.70710678f;
    const float m[16] = {1, 0, 0, 3, 0, k, -k, -4, 0, k, k, 6, 0, 0, 0, 1};
    for (int i = 0; i < 16; ++i) cam.cam_xform[i] = m[i];
    s.set_sensor(cam);
    s.build();
}

TEST(BackwardRender, ImageIsIdenticalForAnyNumberOfWorkers) {
    for (bool periodic : {false, true}) {
        EmbreeSceneManager s;
        fill_leafy_scene(s, periodic);
        const BackwardImage one = render_backward(s, 3, 8, 2, 1, {});
        ASSERT_EQ(one.image.size(), size_t(kW * kH * kBands));
        double total = 0.0;
        for (float x : one.image) total += x;
        EXPECT_GT(total, 0.0);
        for (int threads : {2, 7})
            EXPECT_EQ(render_backward(s, 3, 8, 2, threads, {}).image, one.image)
                << threads << " threads, periodic " << periodic;
    }
}

TEST(BackwardRender, PixelHoldsTheRunningMeanOfItsPassSamples) {
    EmbreeSceneManager s;
    fill_leafy_scene(s, true);
    const SceneView view = embree::make_scene_view(s);
    const int spp = 3;
    const BackwardImage img = render_backward(s, spp, 6, 2, 2, {});
    double tp[kBands], rad[kBands];
    for (int y = 0; y < kH; y += 4) {
        for (int x = 0; x < kW; x += 5) {
            // Each pass's sample traced on its own, then the documented mean.
            float expect[kBands] = {0, 0, 0};
            for (int pass = 0; pass < spp; ++pass) {
                ASSERT_TRUE(render_pixel_sample(s, view, x, y, pass, 6, 2, tp, rad));
                const float w = 1.0f / float(pass + 1);
                for (int b = 0; b < kBands; ++b)
                    expect[b] = pass == 0 ? float(rad[b])
                                          : float(rad[b]) * w + expect[b] * (1.0f - w);
            }
            for (int b = 0; b < kBands; ++b)
                EXPECT_EQ(img.image[(size_t(y) * kW + size_t(x)) * kBands + size_t(b)],
                          expect[b])
                    << x << "," << y << " band " << b;
        }
    }
}

// Terrain following backs off to 1 m above max_height. A plate raised by
// update_instance_transform + refit_ias stands above the max_height of the last
// build and must still be seen, as in a scene built there: under a unit sky with
// two scattering events its top reflects exactly its rho.
TEST(BackwardRender, TerrainFollowingSeesInstancesRaisedByRefit) {
    constexpr int kPx = 8;
    auto render = [](float build_z) {
        EmbreeSceneManager s;
        s.upload_spectral_params({0.1f, 0.9f, 1.0f});  // ground rho | plate rho | sky L
        s.add_material(MaterialType::Lambertian, 0);
        s.add_material(MaterialType::Lambertian, 1);
        s.add_instance(s.add_mesh({{0, 0, 0}, {6, 0, 0}, {6, 6, 0}, {0, 6, 0}}, {},
                                  {{0, 1, 2}, {0, 2, 3}}, 0),
                       0, 0, 0, 1);
        // The plate covers x in [0, 3] at z = 2 once in place.
        const int plate = s.add_mesh({{0, 0, 2}, {3, 0, 2}, {3, 6, 2}, {0, 6, 2}}, {},
                                     {{0, 1, 2}, {0, 2, 3}}, 1);
        s.add_instance(plate, 0, 0, build_z, 1);
        s.set_sky(2);
        SensorData cam{};
        cam.type = kSensorOrthographic;
        cam.width = cam.height = kPx;
        cam.ortho_w = cam.ortho_h = 6.0f;
        // Looking straight down from above the tile centre.
        const float m[16] = {1, 0, 0, 3, 0, 1, 0, 3, 0, 0, 1, 10, 0, 0, 0, 1};
        for (int i = 0; i < 16; ++i) cam.cam_xform[i] = m[i];
        s.set_sensor(cam);
        s.set_terrain_following(true);
        s.build();
        const float in_place[12] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0};
        s.update_instance_transform(1, in_place);
        s.refit_ias();
        return render_backward(s, 2, 2, 3, 2, {}).image;
    };
    const std::vector<float> built = render(0.0f), moved = render(-5.0f);
    EXPECT_EQ(moved, built);
    // Pixel columns 0 to 2 lie wholly over the plate.
    for (int y = 0; y < kPx; ++y)
        for (int x = 0; x < 3; ++x)
            EXPECT_NEAR(moved[size_t(y) * kPx + size_t(x)], 0.9f, 1e-6f) << x << "," << y;
}

}  // namespace
}  // namespace vorn
