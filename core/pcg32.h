// The random stream of one light path: PCG32 (64-bit LCG state, XSH-RR 64/32
// output). One stream per path keeps results independent of which thread runs
// the path. seed_path is the generator's published srandom routine;
// seed_stream derives both of its words from a strong hash of the path's
// indices, so that streams of neighbouring indices share no structure.
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
/// outputs map to exactly 1.0. The integer stream and this conversion are
/// exact on host and device alike, so every engine draws the same numbers.
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

/// SplitMix64's finaliser: a bijection of 64-bit words whose every output bit
/// depends on every input bit.
VORN_HD uint64_t mix64(uint64_t z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

/// What a stream belongs to: streams of different kinds never share a key.
enum class StreamKind : uint64_t {
    CameraSample = 1,
    Photon = 2,
    EnergyBalanceTop = 3,     ///< sample point and top-face rays of a primitive
    EnergyBalanceBottom = 4,  ///< bottom-face rays of a primitive
};

/// Seeds the stream of sample `b` of round `a` (a pixel in a pass, a photon
/// index with a = 0). Both seed words come from a double hash of the indices,
/// so streams neither repeat an index pattern nor line up across rounds (an
/// affine seed such as a * c + b makes draw j of every pass nearly an
/// arithmetic progression in the pass). For fixed (kind, a) the key is a
/// bijection of b: samples of one round never share a stream.
///
/// `seed` selects a whole set of streams (a replicate of a simulation): it
/// shifts every round by the hash mix64(seed), which is 0 for seed 0, so seed
/// 0 gives the standard streams and any other seed a set that shares no
/// round with them except by a 2^-64 coincidence.
VORN_HD void seed_stream(Pcg32& rng, StreamKind kind, uint64_t a, uint64_t b,
                         uint64_t seed = 0) {
    const uint64_t round = mix64(a + 0x9E3779B97F4A7C15ull * uint64_t(kind) + mix64(seed));
    const uint64_t key = mix64(round + b * 0xD1B54A32D192ED03ull);
    seed_path(rng, key, mix64(key ^ 0x5851F42D4C957F2Dull));
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
