// Embree (built with assertions, as Debian ships it) aborts the process on a
// ray with a NaN, an infinity or a component beyond about 1.8e18. The CPU
// scene's queries take such a ray as a miss and count it.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "scene/checks.h"
#include "tests/cpp/scene_test_util.h"

namespace vorn::test {
namespace {

TEST(RayGuard, UntraceableRaysAreCountedMissesAndTheRestAreTraced) {
    EmbreeSceneManager s;
    add_unit_triangle(s);
    s.add_instance(0, identity_xform().data());
    s.build();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const float beyond = 1.01f * kMaxRayCoordinate;
    const struct {
        float3 o, d;
    } bad[] = {{{nan, 0.2f, 1}, {0, 0, -1}}, {{0.2f, 0.2f, 1}, {0, inf, -1}},
               {{0.2f, 0.2f, beyond}, {0, 0, -1}}, {{0.2f, 0.2f, 1}, {0, 0, -1e19f}}};
    for (const auto& r : bad) {
        EXPECT_FALSE(s.trace_ray(r.o, r.d).hit);
        EXPECT_FALSE(s.trace_shadow(r.o, r.d, 10.0f));
    }
    EXPECT_EQ(s.rejected_rays(), 8u);
    // At the edge of the range the triangle below is still found, uncounted.
    const float3 edge{0.2f, 0.2f, kMaxRayCoordinate};
    EXPECT_TRUE(s.trace_ray(edge, {0, 0, -1}).hit);
    EXPECT_TRUE(s.trace_shadow(edge, {0, 0, -1}, 2.0f * kMaxRayCoordinate));
    EXPECT_EQ(s.rejected_rays(), 8u);
}

}  // namespace
}  // namespace vorn::test
