// The random stream of one light path: PCG32 (64-bit LCG state, XSH-RR 64/32
// output). One stream per path keeps results independent of which thread runs
// the path; the seeding below is the generator's published srandom routine.
#pragma once

#include <cstdint>

#include "core/hd.h"

namespace vorn {

struct Pcg32 {
    uint64_t state;  ///< LCG state
    uint64_t inc;    ///< stream increment, always odd
};

constexpr uint64_t kPcg32Multiplier = 6364136223846793005ULL;
/// 2^-32: the u32 -> float conversion rounds to nearest, so the 128 largest
/// outputs map to exactly 1.0; engines rely on the same rounding on both sides.
constexpr float kPcg32ToUnit = 2.3283064e-10f;

/// Advances the stream one step and returns the output of the old state.
VORN_HD uint32_t next_u32(Pcg32& rng) {
    uint64_t old = rng.state;
    rng.state = old * kPcg32Multiplier + rng.inc;
    uint32_t xorshifted = uint32_t(((old >> 18u) ^ old) >> 27u);
    uint32_t rot = uint32_t(old >> 59u);
    return (xorshifted >> rot) | (xorshifted << ((0u - rot) & 31u));
}

VORN_HD void seed_path(Pcg32& rng, uint64_t initstate, uint64_t initseq) {
    rng.state = 0u;
    rng.inc = (initseq << 1u) | 1u;
    next_u32(rng);
    rng.state += initstate;
    next_u32(rng);
}

/// Maps a raw output to [0, 1] (closed: see kPcg32ToUnit).
VORN_HD float u32_to_unit_float(uint32_t x) { return float(x) * kPcg32ToUnit; }

VORN_HD float next_float(Pcg32& rng) { return u32_to_unit_float(next_u32(rng)); }

/// The three uniforms of one scattering event, in the engines' fixed order:
/// the first draw becomes u[2], the second u[1], the third u[0].
VORN_HD void draw_bsdf_uniforms(Pcg32& rng, float u[3]) {
    u[2] = next_float(rng);
    u[1] = next_float(rng);
    u[0] = next_float(rng);
}

}  // namespace vorn
