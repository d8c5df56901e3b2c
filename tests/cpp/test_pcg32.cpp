// The path random stream against the generator author's published reference
// output, and the float conversion at both ends of its range.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#include "core/pcg32.h"

namespace vorn {
namespace {

// pcg32_srandom_r(&rng, 42u, 54u) followed by pcg32_random_r in the author's
// minimal C implementation (pcg32-demo, "Round 1"). seed_path follows the same
// algorithm: state = 0, inc = initseq << 1 | 1, step, state += initstate, step.
TEST(Pcg32, MatchesPublishedReferenceStream) {
    const uint32_t expected[] = {0xa15c02b7u, 0x7b47f409u, 0xba1d3330u,
                                 0x83d2f293u, 0xbfa4784bu, 0xcbed606eu};
    Pcg32 rng;
    seed_path(rng, 42u, 54u);
    EXPECT_EQ(rng.inc, (54ull << 1) | 1ull);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(next_u32(rng), expected[i]) << "output " << i;
}

TEST(Pcg32, IncrementIsAlwaysOddAndStreamsDiffer) {
    for (uint64_t seq : {0ull, 1ull, 7920ull, 0xffffffffffffffffull}) {
        Pcg32 a, b;
        seed_path(a, 12345u, seq);
        seed_path(b, 12345u, seq + 1);
        EXPECT_EQ(a.inc & 1u, 1u) << "initseq " << seq;
        int same = 0;
        for (int i = 0; i < 16; ++i) same += next_u32(a) == next_u32(b);
        EXPECT_LT(same, 2) << "initseq " << seq;
    }
}

TEST(Pcg32, EngineSeedGivesDocumentedIncrement) {
    // initseq = index * 7919 + 1 makes inc = index * 15838 + 3.
    for (uint64_t index : {0ull, 1ull, 999ull, 123456789ull}) {
        Pcg32 rng;
        seed_path(rng, index + 1000003u, index * 7919u + 1u);
        EXPECT_EQ(rng.inc, index * 15838u + 3u) << "index " << index;
    }
}

TEST(Pcg32, FloatConversionEndpoints) {
    EXPECT_EQ(kPcg32ToUnit, std::ldexp(1.0f, -32));
    EXPECT_EQ(u32_to_unit_float(0u), 0.0f);
    // Floats in [2^31, 2^32) are 256 apart, so the top 128 outputs round up to 2^32.
    for (uint32_t x = 4294967168u; x != 0u; ++x) {
        ASSERT_EQ(u32_to_unit_float(x), 1.0f) << "output " << x;
    }
    // 2^32 - 129 is nearer 2^32 - 256 than 2^32.
    EXPECT_EQ(u32_to_unit_float(4294967167u), 1.0f - std::ldexp(1.0f, -24));
    EXPECT_EQ(u32_to_unit_float(1u << 31), 0.5f);
}

TEST(Pcg32, NextFloatIsConvertedNextOutput) {
    Pcg32 a, b;
    seed_path(a, 42u, 54u);
    b = a;
    for (int i = 0; i < 1000; ++i) {
        float f = next_float(a);
        ASSERT_EQ(f, u32_to_unit_float(next_u32(b))) << "draw " << i;
        ASSERT_GE(f, 0.0f);
        ASSERT_LE(f, 1.0f);
    }
}

TEST(Pcg32, BsdfUniformsFillFromTheBack) {
    Pcg32 a, b;
    seed_path(a, 7u, 11u);
    b = a;
    float u[3];
    draw_bsdf_uniforms(a, u);
    EXPECT_EQ(u[2], next_float(b));
    EXPECT_EQ(u[1], next_float(b));
    EXPECT_EQ(u[0], next_float(b));
    EXPECT_EQ(a.state, b.state);
}

}  // namespace
}  // namespace vorn
