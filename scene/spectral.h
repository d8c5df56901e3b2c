// Layout of the flat spectral parameter array. Materials are quantity-major
// (all bands of quantity 0, then all bands of quantity 1, ...); the parametric
// sky is band-major with ten values per band.
#pragma once

#include <cstdint>

#include "scene/records.h"

namespace vorn {

/// Index of quantity q of band b for a material starting at `offset`.
VORN_HD int64_t material_slot(int32_t offset, int q, int nb, int b) {
    return int64_t(offset) + int64_t(q) * nb + b;
}

/// Index of coefficient q (0..8 = A..I, 9 = zenith radiance) of band b.
VORN_HD int64_t hw_sky_slot(int32_t offset, int b, int q) { return int64_t(offset) + 10 * int64_t(b) + q; }

constexpr int kHwSkyValuesPerBand = 10;

/// Number of per-band quantities a material type reads (0 for black types).
VORN_HD int material_quantities(MaterialType type) {
    switch (type) {
        case MaterialType::Lambertian: return 1;
        case MaterialType::Rpv: return 4;
        case MaterialType::Leaf: return 3;
        default: return 0;
    }
}

}  // namespace vorn
