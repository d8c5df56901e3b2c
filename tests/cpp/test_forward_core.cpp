// The photon core on its own: grid cell rules, emission geometry, energies,
// weights, seeds and draw order, checked against a reference generator
// written out here from the published PCG32 algorithm.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include "core/forward_photon.h"

namespace vorn {
namespace {

// ---- reference stream --------------------------------------------------------

struct RefPcg {
    uint64_t state = 0, inc = 0;
    uint32_t step() {
        const uint64_t old = state;
        state = old * 6364136223846793005ull + inc;
        const uint32_t x = uint32_t(((old >> 18) ^ old) >> 27);
        const uint32_t rot = uint32_t(old >> 59);
        return (x >> rot) | (x << ((32 - rot) & 31));
    }
    float uniform() { return float(step()) * 2.3283064e-10f; }
};

/// The stream of forward photon `index`: initstate index + 1000003, initseq index * 7919
/// + 1.
RefPcg photon_stream(uint64_t index) {
    RefPcg r;
    r.inc = ((index * 7919 + 1) << 1) | 1;
    r.step();
    r.state += index + 1000003;
    r.step();
    return r;
}

// ---- grid --------------------------------------------------------------------

TEST(ForwardGrid, ColumnsTruncateThenClampToTheBorderColumns) {
    struct Case {
        float x;
        int want;
    };
    // Extent 4 m in 4 columns of 1 m: x = W lands in the last column, points
    // left of the extent in the first, NaN and infinities never escape [0, 3].
    const Case cases[] = {{0.0f, 0},
                          {0.999f, 0},
                          {1.0f, 1},
                          {2.5f, 2},
                          {3.999f, 3},
                          {4.0f, 3},
                          {7.0f, 3},
                          {-0.5f, 0},
                          {-1e9f, 0},
                          {1e30f, 3},
                          {std::numeric_limits<float>::infinity(), 3},
                          {-std::numeric_limits<float>::infinity(), 0},
                          {std::numeric_limits<float>::quiet_NaN(), 0}};
    for (const Case& c : cases)
        EXPECT_EQ(grid_column(c.x, 1.0f, 4), c.want) << "x " << c.x;
}

TEST(ForwardGrid, LayersMatchHalfOpenIntervalsAndClampOutside) {
    const float one[] = {0.0f, 1.0f};
    // Above the single layer and below it both give layer 0 (nz - 1 = 0).
    EXPECT_EQ(grid_layer(one, 1, 5.0f), 0);
    EXPECT_EQ(grid_layer(one, 1, -1.0f), 0);
    const float three[] = {0.0f, 1.0f, 2.0f, 4.0f};
    struct Case {
        float z;
        int want;
    };
    const Case cases[] = {{0.0f, 0}, {0.5f, 0}, {1.0f, 1}, {1.99f, 1}, {2.0f, 2},
                          {3.9f, 2}, {4.0f, 2}, {50.f, 2}, {-3.0f, 0}};
    for (const Case& c : cases)
        EXPECT_EQ(grid_layer(three, 3, c.z), c.want) << "z " << c.z;
}

TEST(ForwardGrid, CellIndexIsLayerMajorThenRowThenColumn) {
    const float layers[] = {0.0f, 1.0f, 2.0f};
    const ForwardGrid g{3, 2, 2, 2.0f, 5.0f, layers};  // extent 6 x 10
    EXPECT_EQ(grid_cell(g, make_f3(0.1f, 0.1f, 0.5f)), 0);
    EXPECT_EQ(grid_cell(g, make_f3(5.9f, 0.1f, 0.5f)), 2);
    EXPECT_EQ(grid_cell(g, make_f3(0.1f, 9.0f, 0.5f)), 3);
    EXPECT_EQ(grid_cell(g, make_f3(4.1f, 6.0f, 1.5f)), (1 * 2 + 1) * 3 + 2);
}

// ---- emission ----------------------------------------------------------------

struct ForwardEmission : ::testing::Test {
    float spectral[8] = {2.0f, 3.0f, 0.25f, 0.5f, 0, 0, 0, 0};  // sun [0, 1], sky [2, 3]
    float layers[2] = {0.0f, 1.0f};
    double energy[2] = {0.0, 0.0};
    SceneView sv;
    ForwardConfig cfg{};

    void SetUp() override {
        sv.spectral = spectral;
        sv.num_spectral = 8;
        sv.nb = 2;
        sv.emitter.spectral_offset = 0;
        sv.measurement_plane_height = 3.0f;
        cfg.grid = ForwardGrid{4, 2, 1, 2.5f, 3.0f, layers};  // extent 10 x 6
        cfg.photon_e = 0.125;
        cfg.prob_sun = 0.5f;
    }
    ForwardPhoton photon() {
        ForwardPhoton ph;
        ph.energy = energy;
        return ph;
    }
};

TEST_F(ForwardEmission, SunPhotonWithoutSkyTakesTwoDrawsAndCrossesItsTargetPoint) {
    const float3 s = make_f3(0.3f, -0.4f, std::sqrt(0.75f));
    sv.emitter.direction = s;
    for (uint64_t index : {0ull, 7ull, 123456789ull}) {
        ForwardPhoton ph = photon();
        ASSERT_TRUE(emit_photon(sv, cfg, index, ph));
        RefPcg ref = photon_stream(index);
        const float px = ref.uniform() * 4.0f * 2.5f, py = ref.uniform() * 2.0f * 3.0f;
        // The third draw belongs to the first scattering event, not to emission.
        EXPECT_EQ(next_u32(ph.rng), ref.step()) << "index " << index;
        EXPECT_FLOAT_EQ(ph.origin.z, 3.1f);
        // Going down 0.1 along d reaches (px, py) at the measurement plane.
        const float t = 0.1f / s.z;
        EXPECT_NEAR(ph.origin.x + t * ph.d.x, px, 1e-5);
        EXPECT_NEAR(ph.origin.y + t * ph.d.y, py, 1e-5);
        EXPECT_EQ(ph.d.x, -s.x);
        EXPECT_EQ(ph.d.z, -s.z);
        EXPECT_NEAR(ph.energy[0], 2.0 * s.z, 1e-6);
        EXPECT_NEAR(ph.energy[1], 3.0 * s.z, 1e-6);
        EXPECT_DOUBLE_EQ(ph.weight,
                         0.125 / 0.5);  // photon_e / prob_sun even without a sky
        EXPECT_EQ(ph.depth, 0);
        EXPECT_EQ(ph.wraps, 0);
    }
}

TEST_F(ForwardEmission, WithASkyTheThirdDrawChoosesAndSkyPhotonsTakeTwoMore) {
    sv.emitter.direction = make_f3(0.0f, 0.0f, 1.0f);
    sv.sky.sky_offset = 2;
    int suns = 0, skies = 0;
    for (uint64_t index = 0; index < 64; ++index) {
        ForwardPhoton ph = photon();
        ASSERT_TRUE(emit_photon(sv, cfg, index, ph));
        RefPcg ref = photon_stream(index);
        const float px = ref.uniform() * 10.0f, py = ref.uniform() * 6.0f;
        const bool sun = ref.uniform() < 0.5f;
        if (sun) {
            ++suns;
            EXPECT_EQ(ph.d.z, -1.0f);
            EXPECT_DOUBLE_EQ(ph.weight, 0.25);
            EXPECT_NEAR(ph.energy[0], 2.0, 1e-12);
        } else {
            ++skies;
            const float r = std::sqrt(ref.uniform());
            const float phi = 6.2831855f * ref.uniform();
            const double x = r * std::cos(phi), y = r * std::sin(phi);
            const double z = std::sqrt(std::max(1.0 - x * x - y * y, 0.0));
            EXPECT_NEAR(ph.d.x, x, 1e-6);
            EXPECT_NEAR(ph.d.y, y, 1e-6);
            EXPECT_NEAR(ph.d.z, -z, 1e-5);
            EXPECT_NEAR(ph.origin.x + (0.1f / float(z)) * ph.d.x, px, 1e-4);
            EXPECT_NEAR(ph.origin.y + (0.1f / float(z)) * ph.d.y, py, 1e-4);
            EXPECT_DOUBLE_EQ(ph.weight, 0.125 / 0.5);
            EXPECT_NEAR(ph.energy[0], M_PI * 0.25, 1e-12);  // pi L: irradiance of the sky
            EXPECT_NEAR(ph.energy[1], M_PI * 0.5, 1e-12);
        }
        EXPECT_EQ(next_u32(ph.rng), ref.step()) << "index " << index;
    }
    EXPECT_GT(suns, 16);
    EXPECT_GT(skies, 16);
}

TEST_F(ForwardEmission, SunNearTheHorizonDropsEveryPhotonAndSunBelowDropsOnlySunPhotons) {
    sv.sky.sky_offset = 2;
    const float3 low[] = {make_f3(1.0f, 0.0f, 0.005f), make_f3(1.0f, 0.0f, -0.009f),
                          make_f3(0.0f, 0.0f, 0.0f)};
    for (float3 s : low) {
        sv.emitter.direction = s;
        for (uint64_t i = 0; i < 32; ++i) {
            ForwardPhoton ph = photon();
            EXPECT_FALSE(emit_photon(sv, cfg, i, ph)) << "s.z " << s.z;
        }
    }
    sv.emitter.direction = make_f3(0.0f, 0.6f, -0.8f);
    for (uint64_t i = 0; i < 64; ++i) {
        ForwardPhoton ph = photon();
        RefPcg ref = photon_stream(i);
        ref.uniform();
        ref.uniform();
        const bool sky = !(ref.uniform() < 0.5f);
        EXPECT_EQ(emit_photon(sv, cfg, i, ph), sky) << "index " << i;
    }
}

TEST_F(ForwardEmission, ParametricSkyRadianceIsLookedUpAtTheSampledUpwardVector) {
    // A flat gradation (A..I = 0) makes the sky radiance equal Lz everywhere.
    float hw[20] = {};
    hw[9] = 0.7f;
    hw[19] = 1.3f;
    sv.spectral = hw;
    sv.emitter.direction = make_f3(0.0f, 0.0f, 1.0f);
    sv.emitter.spectral_offset = 0;
    sv.sky.hw_sky_offset = 0;
    cfg.prob_sun = 0.0f;  // every photon from the sky
    for (uint64_t i = 0; i < 16; ++i) {
        ForwardPhoton ph = photon();
        ASSERT_TRUE(emit_photon(sv, cfg, i, ph));
        EXPECT_LT(ph.d.z, 0.0f);
        EXPECT_NEAR(ph.energy[0], M_PI * 0.7, 1e-6);
        EXPECT_NEAR(ph.energy[1], M_PI * 1.3, 1e-6);
        EXPECT_DOUBLE_EQ(ph.weight, 0.125);
    }
}

TEST(ForwardSelection, ProbSunOfOneKeepsEvenADrawOfExactlyOneOnTheSun) {
    // 0xFFFFFFFF converts to exactly 1.0f: the draw the generator can return.
    const float top = float(0xFFFFFFFFu) * 2.3283064e-10f;
    ASSERT_EQ(top, 1.0f);
    EXPECT_TRUE(choose_sun_photon(top, 1.0f));
    EXPECT_TRUE(choose_sun_photon(0.25f, 0.5f));
    EXPECT_FALSE(choose_sun_photon(0.5f, 0.5f));
    EXPECT_FALSE(choose_sun_photon(0.0f, 0.0f));
}

}  // namespace
}  // namespace vorn
