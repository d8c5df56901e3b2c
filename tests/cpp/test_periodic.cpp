// Tile exit and wrap, and the shadow test through the repeated tile, driven
// by a fake tracer that records every shadow query.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/periodic.h"

namespace vorn {
namespace {

struct ShadowCall {
    float3 o, d;
    float tfar;
};

// Answers the scripted sequence (false once it runs out) and records the calls.
struct FakeTracer {
    std::vector<bool> answers;
    mutable std::vector<ShadowCall> calls;
    bool trace_shadow(const float3& o, const float3& d, float tfar) const {
        calls.push_back({o, d, tfar});
        return calls.size() <= answers.size() && answers[calls.size() - 1];
    }
};

constexpr float kHigh = 1e30f;  // a max_height that never stops the wrapping

void expect_near3(float3 got, double x, double y, double z, double tol, const char* what) {
    EXPECT_NEAR(got.x, x, tol) << what;
    EXPECT_NEAR(got.y, y, tol) << what;
    EXPECT_NEAR(got.z, z, tol) << what;
}

float3 unit(double x, double y, double z) {
    double l = std::sqrt(x * x + y * y + z * z);
    return make_f3(float(x / l), float(y / l), float(z / l));
}

TEST(TileExit, NearestSideWinsXOnATieAndTheSideJustEnteredIsNoExit) {
    const PeriodicTile tile{1, 10, 20};
    // x side at t = 8 / dx beats the y side at 17 / dy: exit at (10, 19, 1).
    float3 o = make_f3(2, 3, 5);
    float t = -1;
    ASSERT_TRUE(exit_and_wrap(tile, o, unit(1, 2, -0.5), &t));
    EXPECT_NEAR(t, 8.0 * std::sqrt(5.25), 1e-5);
    expect_near3(o, 0, 19, 1, 1e-5, "x exit, wrapped by -sx");
    o = make_f3(2, 3, 5);
    ASSERT_TRUE(exit_and_wrap(tile, o, unit(0.5, -2, -1), &t));
    expect_near3(o, 2.75, 20, 3.5, 1e-5, "y exit, wrapped by +sy");
    EXPECT_EQ(tile_exit(tile, make_f3(5, 15, 0), unit(1, 1, 0)).axis, TileAxis::X);
    EXPECT_EQ(tile_exit(tile, make_f3(0, 5, 0), make_f3(1, 0, 0)).t, 10.0f);
    EXPECT_EQ(tile_exit(tile, make_f3(5e-5f, 5, 0), make_f3(-1, 0, 0)).axis, TileAxis::None);
    EXPECT_FALSE(exit_and_wrap(tile, o, make_f3(1e-9f, -1e-8f, -1), &t));  // vertical: never
    // Origins outside the tile (left heading in, two periods right, below in y,
    // outside in both) move to where the same ray lies in the tile, travelling nothing.
    const float3 d = unit(1, -1, -1);
    const float3 outside[] = {make_f3(-3, 5, 1), make_f3(27.5f, 5, 1), make_f3(4, -35, 1),
                              make_f3(-12, 65, 2)};
    const double want_x[] = {7.0, 7.5, 4.0, 8.0};
    for (int i = 0; i < 4; ++i) {
        o = outside[i];
        ASSERT_TRUE(continue_through_tile(tile, o, d, &t));
        EXPECT_EQ(t, 0.0f);
        expect_near3(o, want_x[i], 5.0, outside[i].z, 1e-5, "shifted origin");
    }
}

TEST(OccludedPeriodic, InactiveTileOrVerticalRayIsOneFullLengthQuery) {
    const float3 o = make_f3(1, 2, 3);
    for (const PeriodicTile& tile : {PeriodicTile{0, 10, 10}, PeriodicTile{3, 10, 0},
                                     PeriodicTile{3, -1, 10}, PeriodicTile{-2, 5, 5}, PeriodicTile{3, 5, 5}}) {
        const float3 d = tile.num_repetitions == 3 && tile.scene_x_size == 5 ? make_f3(0, 0, -1) : unit(1, 1, 1);
        for (bool hit : {false, true}) {
            FakeTracer tracer{{hit}, {}};
            EXPECT_EQ(occluded_periodic(tracer, tile, d, o, kHigh), hit);
            ASSERT_EQ(tracer.calls.size(), 1u) << "reps " << tile.num_repetitions;
            EXPECT_EQ(tracer.calls[0].tfar, 1e16f);
            expect_near3(tracer.calls[0].o, 1, 2, 3, 0, "origin as given");
        }
    }
}

TEST(OccludedPeriodic, WrapsOriginPerCrossingUpToTheLimitWithTheLengthLeft) {
    const float3 d = make_f3(0.6f, 0.8f, 0);
    for (bool third_hits : {false, true}) {  // an occluder in the last copy counts
        FakeTracer tracer{{false, false, third_hits}, {}};
        EXPECT_EQ(occluded_periodic(tracer, PeriodicTile{2, 10, 10}, d, make_f3(1, 1, 2), kHigh), third_hits);
        ASSERT_EQ(tracer.calls.size(), 3u);
        // y side first (t = 11.25), then x (t = 3.75 more).
        expect_near3(tracer.calls[1].o, 7.75, 0, 2, 1e-5, "after first wrap");
        expect_near3(tracer.calls[2].o, 0, 3, 2, 1e-5, "after second wrap");
    }
    // Tiles 2^52 wide: each crossing is exact in float and shortens the 1e16 of
    // the query (10000000272564224) visibly: 3 * 2^50, then 2^52; the next
    // crossing would overshoot, so there is no fourth query.
    const float big = std::ldexp(1.0f, 52);
    FakeTracer tr;
    EXPECT_FALSE(occluded_periodic(tr, PeriodicTile{5, big, big}, make_f3(1, 0, 0),
                                   make_f3(std::ldexp(1.0f, 50), 1, 0), kHigh));
    ASSERT_EQ(tr.calls.size(), 3u);
    const double far = 10000000272564224.0 - 3 * std::ldexp(1.0, 50);
    EXPECT_TRUE(double(tr.calls[1].tfar) == far && double(tr.calls[2].tfar) == far - std::ldexp(1.0, 52));
    // A shadow ray from geometry sticking out of the tile is tested in the
    // tile copy of its origin, with the full length left.
    tr.calls.clear();
    EXPECT_FALSE(occluded_periodic(tr, PeriodicTile{2, 10, 10}, unit(1, 0, 1), make_f3(-2.0f, 3.0f, 0.5f), kHigh));
    ASSERT_GE(tr.calls.size(), 2u);
    expect_near3(tr.calls[1].o, 8.0, 3.0, 0.5, 1e-5, "second query");
    EXPECT_EQ(tr.calls[1].tfar, kPeriodicFar);
}

TEST(OccludedPeriodic, ARayClimbingAboveTheSceneStopsWrapping) {
    // 100 crossings allowed; the ray rises 1 per metre across 10 m tiles and the
    // scene ends at 25 m: queries from z = 0, 10, 20 only (the fourth would
    // start at 30, above everything).
    const float3 d = unit(1, 0, 1);
    for (float top : {25.0f, kHigh}) {
        FakeTracer tracer;
        EXPECT_FALSE(occluded_periodic(tracer, PeriodicTile{100, 10, 10}, d,
                                       make_f3(0, 5, 0), top));
        EXPECT_EQ(tracer.calls.size(), top == kHigh ? 101u : 3u) << top;
    }
    // Descending rays are never cut short.
    FakeTracer down;
    occluded_periodic(down, PeriodicTile{5, 10, 10}, unit(1, 0, -1), make_f3(0, 5, 90), 1.0f);
    EXPECT_EQ(down.calls.size(), 6u);
}

}  // namespace
}  // namespace vorn
