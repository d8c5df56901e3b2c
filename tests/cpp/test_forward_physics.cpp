// Forward tracer against closed forms: a Lambertian plane, a leaf plate over a
// black ground, sun and sky emission, energy closure of a periodic canopy and
// the periodic shadow test of the BRF tallies. Tolerances: deterministic
// quantities (every photon deposits the same energy) to float rounding;
// Monte Carlo quantities to 5 standard deviations of their binomial count.
#include <gtest/gtest.h>

#include <cmath>

#include "forward_test_util.h"

namespace vorn::test {
namespace {

constexpr int kBlack = 5;  // a material type without a model: absorbs everything

void set_ortho_extent(EmbreeSceneManager& s, float w, float h) {
    SensorData sensor{};
    sensor.ortho_w = w;
    sensor.ortho_h = h;
    s.set_sensor(sensor);
}

TEST(ForwardPhysics, LambertianPlaneAbsorbsOneMinusRhoAndReflectsRhoPerBand) {
    const float rho[2] = {0.2f, 0.6f}, sun[2] = {1.5f, 0.8f};
    const float W = 4.0f, H = 3.0f;
    for (double theta : {0.0, 35.0, 70.0}) {
        EmbreeSceneManager s;
        s.set_num_bands(2);
        s.add_material(MaterialType::Lambertian, 0);
        s.upload_spectral_params({rho[0], rho[1], sun[0], sun[1]});
        add_rect(s, -1, -1, 5, 4, 0.0f, 0);
        const float3 sd = direction_deg(theta, -120.0);
        s.set_emitter(EmitterType::Sun, sd, 2);
        set_ortho_extent(s, W, H);
        s.build();
        ForwardRequest r;
        r.num_bands = 2;
        r.layers = {-1.0f, -0.5f, 0.5f, 2.0f};
        const float3 v1 = direction_deg(50.0, 30.0);
        r.brf_dirs = {0, 0, 1, v1.x, v1.y, v1.z, 0.6f, 0, -0.8f};
        const ForwardTallies t = run_forward(s, r);
        const double view_cos[3] = {1.0, v1.z, 0.0};  // the third looks down: never seen
        for (int b = 0; b < 2; ++b) {
            const double inc = sun[b] * sd.z * W * H;
            EXPECT_NEAR(band_sum(t.grid, 2, b), (1 - rho[b]) * inc, 1e-5 * inc) << theta;
            EXPECT_NEAR(t.grid[size_t(2 + b)], (1 - rho[b]) * inc, 1e-5 * inc)
                << "layer 1";
            EXPECT_NEAR(t.albedo[size_t(b)], rho[b] * inc, 1e-5 * inc) << theta;
            for (int k = 0; k < 3; ++k)
                EXPECT_NEAR(t.brf[size_t(2 * k + b)], rho[b] / M_PI * view_cos[k] * inc,
                            1e-5 * inc)
                    << "theta " << theta << " dir " << k;
        }
        EXPECT_EQ(t.brf[4], 0.0f);
    }
}

TEST(ForwardPhysics, GridColumnsShareThePlaneInProportionToTheirArea) {
    EmbreeSceneManager s;
    s.add_material(MaterialType::Lambertian, 0);
    s.upload_spectral_params({0.0f, 1.0f});
    add_rect(s, -1, -1, 7, 5, 0.0f, 0);
    s.set_emitter(EmitterType::Sun, direction_deg(20.0, 45.0), 1);
    set_ortho_extent(s, 6.0f, 4.0f);
    s.build();
    ForwardRequest r;
    r.nx = 3;
    r.ny = 2;
    r.num_photons = 30000;
    const ForwardTallies t = run_forward(s, r);
    ASSERT_EQ(t.grid.size(), 6u);
    const double inc = direction_deg(20.0, 45.0).z * 24.0, p = 1.0 / 6.0;
    const double sigma = inc * std::sqrt(p * (1 - p) / r.num_photons);
    for (float cell : t.grid) EXPECT_NEAR(cell, p * inc, 5 * sigma);
}

TEST(ForwardPhysics, LeafPlateOverBlackGroundAbsorbsItsShareAndTransmitsT) {
    const float R = 0.3f, T = 0.25f, size = 10.0f;
    EmbreeSceneManager s;
    add_leaf_material(s, 0, R, T);  // sampling weights: both lobes carry R + T
    s.add_material(MaterialType(kBlack), 0);
    s.upload_spectral_params({R, 0.2f, T, 1.0f});
    const int ground = add_rect(s, 0, 0, size, size, 0.0f, 1);
    const int plate = add_rect(s, 0, 0, size, size, 1.0f, 0);
    s.set_emitter(EmitterType::Sun, direction_deg(30.0, 60.0), 3);
    s.set_repetitive(1000, size, size);
    s.set_measurement_plane(1.5f);
    s.build();
    ForwardRequest r;
    r.layers = {0.0f, 0.5f, 2.0f};
    r.per_leaf = true;
    r.terrain_instance_id = ground;
    r.brf_dirs = {0, 0, 1};
    const ForwardTallies t = run_forward(s, r);
    const double inc = direction_deg(30.0, 60.0).z * size * size;
    const double p_t = T / (R + T);
    const double sigma = (R + T) * inc * std::sqrt(p_t * (1 - p_t) / r.num_photons);
    ASSERT_EQ(t.leaf.size(), 4u);  // ground triangles first (instance 0), then the plate
    EXPECT_EQ(t.leaf[0] + t.leaf[1], 0.0f)
        << "the terrain never reaches the per-leaf tally";
    EXPECT_NEAR(t.leaf[2] + t.leaf[3], (1 - R - T) * inc, 1e-4 * inc);
    EXPECT_NEAR(t.grid[1], (1 - R - T) * inc, 1e-4 * inc);
    EXPECT_NEAR(t.terrain[0], T * inc, 5 * sigma);
    EXPECT_NEAR(t.grid[0], t.terrain[0], 1e-6 * inc);
    EXPECT_NEAR(t.albedo[0], R * inc, 5 * sigma);
    (void)plate;
}

TEST(ForwardPhysics, SunAndSkyPhotonsTogetherDeliverTheIrradianceOfBoth) {
    const float E = 1.2f, L = 0.3f, prob_sun = 0.3f, W = 5.0f, H = 5.0f;
    for (bool parametric : {false, true}) {
        EmbreeSceneManager s;
        s.add_material(MaterialType::Lambertian, 0);
        // [0] reflectance, [1] sun, [2] uniform sky, [3..12] flat parametric sky of Lz =
        // L.
        std::vector<float> spectral = {0.0f, E, L, 0, 0, 0, 0, 0, 0, 0, 0, 0, L};
        s.upload_spectral_params(spectral);
        add_rect(s, -1, -1, 6, 6, 0.0f, 0);
        const float3 sd = direction_deg(40.0, 10.0);
        s.set_emitter(EmitterType::Sun, sd, 1);
        if (parametric)
            s.set_hw_sky(3, sd);
        else
            s.set_sky(2);
        set_ortho_extent(s, W, H);
        s.build();
        ForwardRequest r;
        r.prob_sun = prob_sun;
        const ForwardTallies t = run_forward(s, r);
        // Per photon: E cos / p with probability p, else pi L / (1 - p).
        const double a = E * sd.z / prob_sun, b = M_PI * L / (1 - prob_sun);
        const double photon_e = W * H / r.num_photons;
        const double sigma = photon_e *
                             std::sqrt(r.num_photons * prob_sun * (1 - prob_sun)) *
                             std::fabs(a - b);
        EXPECT_NEAR(t.grid[0], (E * sd.z + M_PI * L) * W * H, 5 * sigma) << parametric;
    }
}

TEST(ForwardPhysics, PeriodicCanopyConservesEnergyWithoutRussianRoulette) {
    // Every event absorbs 1 - R - T (or 1 - rho) and carries the rest exactly,
    // so with roulette and the depth limit out of
    // reach absorbed + escaped = incident up to rounding and the tile-side
    // thresholds (1e-4 m) of the wrap. An oblique sun makes photons start
    // beyond the tile side.
    const float size = 3.0f;
    EmbreeSceneManager s;
    s.set_num_bands(2);
    // R / T is 1.25 in both bands and on both faces, so sampling weights of
    // 1.25 : 1 make either lobe carry exactly R + T.
    add_leaf_material(s, 0, 1.25f, 1.0f);
    s.add_material(MaterialType::Lambertian, 6);
    // leaf R front (2), R back (2), T (2); ground (2); sun (2)
    s.upload_spectral_params(
        {0.1f, 0.5f, 0.1f, 0.5f, 0.08f, 0.4f, 0.15f, 0.35f, 1.0f, 0.7f});
    add_rect(s, 0, 0, size, size, 0.0f, 1);
    add_random_leaves(s, 600, 0.12f, size, 0.3f, 1.8f, 0, 11);
    const float3 sd = direction_deg(55.0, -35.0);
    s.set_emitter(EmitterType::Sun, sd, 8);
    s.set_repetitive(1000, size, size);
    s.set_measurement_plane(2.0f);
    s.build();
    ForwardRequest r;
    r.num_bands = 2;
    r.brf_dirs = {0, 0, 1};
    r.rr_depth = 100000;
    r.max_depth = 100000;
    const ForwardTallies t = run_forward(s, r);
    const double sun[2] = {1.0, 0.7};
    for (int b = 0; b < 2; ++b) {
        const double inc = sun[b] * sd.z * size * size;
        EXPECT_NEAR(band_sum(t.grid, 2, b) + t.albedo[size_t(b)], inc, 1e-3 * inc)
            << "band " << b;
    }
}

TEST(ForwardPhysics, BrfShadowTestFollowsTheRayIntoTheNextTiles) {
    // A tall black wall at x = 0.5 in a 1 m tile. Looking 45 degrees towards
    // +x, ground points left of the wall see it directly; points right of it
    // see its copy in the next tile, but only when the tile repeats.
    const float rho = 0.5f;
    for (int reps : {0, 4}) {
        EmbreeSceneManager s;
        s.add_material(MaterialType::Lambertian, 0);
        s.add_material(MaterialType(kBlack), 0);
        s.upload_spectral_params({rho, 1.0f});
        add_rect(s, 0, 0, 1, 1, 0.0f, 0);
        const int wall =
            s.add_mesh({{0.5f, 0, 0}, {0.5f, 1, 0}, {0.5f, 1, 10}, {0.5f, 0, 10}}, {},
                       {{0, 1, 2}, {0, 2, 3}}, 1);
        s.add_instance(wall, 0, 0, 0, 1);
        s.set_emitter(EmitterType::Sun, make_f3(0, 0, 1), 1);
        s.set_repetitive(reps, 1.0f, 1.0f);
        s.build();
        ForwardRequest r;
        r.max_depth = 1;
        const float3 v = direction_deg(45.0, 0.0);
        r.brf_dirs = {v.x, v.y, v.z};
        const ForwardTallies t = run_forward(s, r);
        const double full = rho / M_PI * v.z;
        const double sigma = full * std::sqrt(0.25 / r.num_photons);
        EXPECT_NEAR(t.brf[0], reps == 0 ? 0.5 * full : 0.0, 5 * sigma) << "reps " << reps;
        EXPECT_EQ(t.albedo[0], 0.0f) << "max_depth 1 ends every photon at its first hit";
    }
}

}  // namespace
}  // namespace vorn::test
