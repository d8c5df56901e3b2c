// Tile exit and wrap, and the shadow test through the repeated tile, driven
// by a fake tracer that records every shadow query.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/periodic.h"

namespace vorn {
namespace {

PeriodicTile make_tile(int reps, float sx, float sy) {
    PeriodicTile t;
    t.num_repetitions = reps;
    t.scene_x_size = sx;
    t.scene_y_size = sy;
    return t;
}

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

void expect_near3(float3 got, double x, double y, double z, double tol,
                  const char* what) {
    EXPECT_NEAR(got.x, x, tol) << what;
    EXPECT_NEAR(got.y, y, tol) << what;
    EXPECT_NEAR(got.z, z, tol) << what;
}

float3 unit(double x, double y, double z) {
    double l = std::sqrt(x * x + y * y + z * z);
    return make_f3(float(x / l), float(y / l), float(z / l));
}

TEST(TileExit, SlantedRayLeavesThroughNearestSideAndWraps) {
    const PeriodicTile tile = make_tile(1, 10, 20);
    // x side at t = 8 / dx beats the y side at 17 / dy: exit at (10, 19, 1).
    float3 o = make_f3(2, 3, 5), d = unit(1, 2, -0.5);
    float t = -1;
    ASSERT_TRUE(exit_and_wrap(tile, o, d, &t));
    EXPECT_NEAR(t, 8.0 * std::sqrt(5.25), 1e-5);
    expect_near3(o, 0, 19, 1, 1e-5, "x exit, wrapped by -sx");
    // Negative y direction: y side at 1.5 |d| beats x; wrapped by +sy.
    o = make_f3(2, 3, 5);
    d = unit(0.5, -2, -1);
    ASSERT_TRUE(exit_and_wrap(tile, o, d, &t));
    EXPECT_NEAR(t, 1.5 * std::sqrt(5.25), 1e-5);
    expect_near3(o, 2.75, 20, 3.5, 1e-5, "y exit, wrapped by +sy");
}

TEST(TileExit, CornerTieGoesToX) {
    const PeriodicTile tile = make_tile(1, 10, 10);
    float3 o = make_f3(5, 5, 0), d = unit(1, 1, 0);
    TileExit ex = tile_exit(tile, o, d);
    EXPECT_EQ(ex.axis, TileAxis::X);
    float t;
    ASSERT_TRUE(exit_and_wrap(tile, o, d, &t));
    expect_near3(o, 0, 10, 0, 1e-5, "only x wraps");
}

TEST(TileExit, IgnoresTheSideJustEnteredAndTinySteps) {
    const PeriodicTile tile = make_tile(1, 10, 10);
    TileExit ex = tile_exit(tile, make_f3(0, 5, 0), make_f3(1, 0, 0));
    EXPECT_EQ(ex.axis, TileAxis::X);
    EXPECT_EQ(ex.t, 10.0f);
    // The only forward side is 5e-5 away (<= 1e-4): no exit at all.
    ex = tile_exit(tile, make_f3(5e-5f, 5, 0), make_f3(-1, 0, 0));
    EXPECT_EQ(ex.axis, TileAxis::None);
}

TEST(TileExit, VerticalRaysNeverWrap) {
    const PeriodicTile tile = make_tile(4, 10, 10);
    const float3 dirs[] = {make_f3(0, 0, -1), make_f3(0, 0, 1),
                           make_f3(1e-9f, -1e-8f, -1)};
    for (float3 d : dirs) {
        float3 o = make_f3(3, 4, 5);
        float t = -7;
        EXPECT_EQ(tile_exit(tile, o, d).axis, TileAxis::None);
        EXPECT_FALSE(exit_and_wrap(tile, o, d, &t));
        expect_near3(o, 3, 4, 5, 0, "origin untouched");
        EXPECT_EQ(t, -7.0f);
        FakeTracer tracer;
        EXPECT_FALSE(occluded_periodic(tracer, tile, d, o));
        EXPECT_EQ(tracer.calls.size(), 1u);
    }
}

TEST(TileEntry, OriginsOutsideTheTileMoveInByWholePeriods) {
    const PeriodicTile tile = make_tile(3, 10, 20);
    const float3 d = unit(1, -1, -1);
    struct Case {
        float3 o;
        double x, y;
    } cases[] = {
        {make_f3(-3.0f, 5.0f, 1.0f), 7.0, 5.0},     // left of the tile, heading in
        {make_f3(27.5f, 5.0f, 1.0f), 7.5, 5.0},     // two periods to the right
        {make_f3(4.0f, -15.0f, 1.0f), 4.0, 5.0},    // below in y only
        {make_f3(-12.0f, 45.0f, 2.0f), 8.0, 5.0},   // outside in both
    };
    for (const Case& c : cases) {
        float3 o = c.o;
        float t = -1.0f;
        ASSERT_TRUE(continue_through_tile(tile, o, d, &t));
        EXPECT_EQ(t, 0.0f);
        expect_near3(o, c.x, c.y, c.o.z, 1e-5, "shifted origin");
    }
    // Inside the tile the crossing is the ordinary exit and wrap.
    float3 inside = make_f3(5.0f, 5.0f, 1.0f), copy = inside;
    float t_in = 0.0f, t_exit = 0.0f;
    ASSERT_TRUE(continue_through_tile(tile, inside, d, &t_in));
    ASSERT_TRUE(exit_and_wrap(tile, copy, d, &t_exit));
    EXPECT_EQ(t_in, t_exit);
    expect_near3(inside, copy.x, copy.y, copy.z, 0.0, "inside");
}

TEST(OccludedPeriodic, ShadowRayFromOutsideTheTileIsTestedInsideIt) {
    // An origin on geometry sticking out of the tile: the second query must
    // start in the tile copy of that point, not beyond the entry side.
    const PeriodicTile tile = make_tile(2, 10, 10);
    FakeTracer tr;
    const float3 d = unit(1, 0, 1);
    EXPECT_FALSE(occluded_periodic(tr, tile, d, make_f3(-2.0f, 3.0f, 0.5f)));
    ASSERT_GE(tr.calls.size(), 2u);
    expect_near3(tr.calls[1].o, 8.0, 3.0, 0.5, 1e-5, "second query");
    EXPECT_EQ(tr.calls[1].tfar, kPeriodicFar);  // a shift travels no distance
}

TEST(OccludedPeriodic, InactiveTileIsOneFullLengthQuery) {
    const PeriodicTile tiles[] = {make_tile(0, 10, 10), make_tile(3, 10, 0),
                                  make_tile(3, -1, 10), make_tile(-2, 5, 5)};
    const float3 o = make_f3(1, 2, 3), d = unit(1, 1, 1);
    for (const PeriodicTile& tile : tiles) {
        for (bool hit : {false, true}) {
            FakeTracer tracer{{hit}, {}};
            EXPECT_EQ(occluded_periodic(tracer, tile, d, o), hit);
            ASSERT_EQ(tracer.calls.size(), 1u) << "reps " << tile.num_repetitions;
            EXPECT_EQ(tracer.calls[0].tfar, 1e16f);
            expect_near3(tracer.calls[0].o, 1, 2, 3, 0, "origin as given");
            expect_near3(tracer.calls[0].d, d.x, d.y, d.z, 0, "direction as given");
        }
    }
}

TEST(OccludedPeriodic, WrapsOriginPerCrossingUpToTheLimit) {
    const PeriodicTile tile = make_tile(2, 10, 10);
    const float3 d = make_f3(0.6f, 0.8f, 0);
    FakeTracer tracer;
    EXPECT_FALSE(occluded_periodic(tracer, tile, d, make_f3(1, 1, 2)));
    ASSERT_EQ(tracer.calls.size(), 3u);
    // y side first (t = 11.25), then x (t = 3.75 more).
    expect_near3(tracer.calls[1].o, 7.75, 0, 2, 1e-5, "after first wrap");
    expect_near3(tracer.calls[2].o, 0, 3, 2, 1e-5, "after second wrap");
    for (const ShadowCall& c : tracer.calls) {
        expect_near3(c.d, d.x, d.y, d.z, 0, "direction kept");
        // Metre-sized steps are below the float resolution of 1e16.
        EXPECT_EQ(c.tfar, 1e16f);
    }
}

TEST(OccludedPeriodic, OccluderInALaterCopy) {
    const PeriodicTile tile = make_tile(5, 10, 10);
    FakeTracer tracer{{false, false, true}, {}};
    EXPECT_TRUE(
        occluded_periodic(tracer, tile, make_f3(0.6f, 0.8f, 0), make_f3(1, 1, 2)));
    EXPECT_EQ(tracer.calls.size(), 3u);
}

TEST(OccludedPeriodic, RemainingLengthShrinksAndRunsOut) {
    // Tile 2^52 wide: every crossing is exact in float and visible against 1e16.
    const float big = std::ldexp(1.0f, 52);
    const PeriodicTile tile = make_tile(5, big, big);
    FakeTracer tracer;
    EXPECT_FALSE(occluded_periodic(tracer, tile, make_f3(1, 0, 0),
                                   make_f3(std::ldexp(1.0f, 50), 1, 0)));
    // 1e16f = 10000000272564224; crossings of 3*2^50 then 2^52; the next
    // crossing would overshoot, so no fourth query.
    ASSERT_EQ(tracer.calls.size(), 3u);
    const double far = 10000000272564224.0;
    EXPECT_EQ(double(tracer.calls[1].tfar), far - 3 * std::ldexp(1.0, 50));
    EXPECT_EQ(double(tracer.calls[2].tfar),
              far - 3 * std::ldexp(1.0, 50) - std::ldexp(1.0, 52));
    expect_near3(tracer.calls[1].o, 0, 1, 0, 0, "wrapped to x = 0");
    expect_near3(tracer.calls[2].o, 0, 1, 0, 0, "wrapped to x = 0 again");
}

}  // namespace
}  // namespace vorn
