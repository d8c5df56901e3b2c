// The path random stream against the generator author's published reference
// output, and the float conversion at both ends of its range.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#include "core/pcg32.h"

namespace vorn {
namespace {

// pcg32_srandom_r(&rng, 42u, 54u) then pcg32_random_r in the author's minimal
// C implementation (pcg32-demo, "Round 1").
TEST(Pcg32, MatchesPublishedReferenceStream) {
    const uint32_t expected[] = {0xa15c02b7u, 0x7b47f409u, 0xba1d3330u,
                                 0x83d2f293u, 0xbfa4784bu, 0xcbed606eu};
    Pcg32 rng;
    seed_path(rng, 42u, 54u);
    EXPECT_EQ(rng.inc, (54ull << 1) | 1ull);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(next_u32(rng), expected[i]) << "output " << i;
}

TEST(Pcg32, FloatConversionEndpoints) {
    EXPECT_EQ(u32_to_unit_float(0u), 0.0f);
    EXPECT_EQ(u32_to_unit_float(1u << 31), 0.5f);
    // Floats in [2^31, 2^32) are 256 apart, so the top 128 outputs round up to 2^32.
    for (uint32_t x = 4294967168u; x != 0u; ++x)
        ASSERT_EQ(u32_to_unit_float(x), 1.0f) << x;
    EXPECT_EQ(u32_to_unit_float(4294967167u), 1.0f - std::ldexp(1.0f, -24));
}

TEST(Pcg32, BsdfUniformsAreConvertedOutputsFilledFromTheBack) {
    Pcg32 a, b;
    seed_path(a, 7u, 11u);
    b = a;
    float u[3];
    draw_bsdf_uniforms(a, u);
    for (int i = 2; i >= 0; --i) EXPECT_EQ(u[i], u32_to_unit_float(next_u32(b))) << i;
    EXPECT_EQ(next_float(a), u32_to_unit_float(next_u32(b)));
}

}  // namespace
}  // namespace vorn
