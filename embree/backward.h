// The CPU backward renderer: a multi-band radiance image of the Embree scene
// as its sensor sees it, one path per pixel per pass, rows shared out among
// one set of worker threads (kept for the whole call) through an atomic
// counter, several passes at a time.
#pragma once

#include <functional>
#include <vector>

#include "embree/scene_manager.h"

namespace vorn::embree {

/// The rendered image: image[(y * width + x) * nb + b], row 0 at the bottom
/// of the camera's view; the running mean over passes of band radiance.
struct BackwardImage {
    std::vector<float> image;  ///< width * height * nb values, zero-filled on creation
    int width = 0;             ///< sensor width in pixels
    int height = 0;            ///< sensor height in pixels
    int nb = 0;                ///< the scene's band count at the start of the call
};

/// Per-primitive data for one render, numbered like the GPU scene's
/// primitives (instances in order, each instance's triangles in index order);
/// an empty array is "not given". Units and faces: see the SceneView fields
/// (core/scene_view.h, PrimitiveEmission).
struct PrimitiveInputs {
    std::vector<float> temperatures;  ///< K, one per primitive
    std::vector<float> emissivities;  ///< one per primitive, every band
    std::vector<float> sif;           ///< n_sif_bands * primitives, band-major
    int n_sif_bands = 0;
    bool sif_only = false;
};

/// Renders `spp` passes. `max_depth` counts scattering events: the sun is
/// sampled at each of the first max_depth surface hits, while sky light
/// arrives only on a path that escapes after a scattering event, so after at
/// most max_depth - 1 of them (max_depth 1 shows the sky only where camera
/// rays escape directly). It is replaced by VORN_MAX_DEPTH when that is a
/// decimal number above 0; Russian roulette applies from `rr_depth`;
/// `num_threads` < 1 uses every hardware thread. Passes are rendered in
/// blocks of up to eight (a pixel's camera rays of a block are traced
/// together); `progress`, when set, is called on the calling thread after
/// every block, once per pass of it, with (passes done, spp, elapsed ms); an
/// exception it throws leaves the call and the image is lost.
/// An image without pixels returns at once, without passes or progress.
/// `seed` picks the set of random streams (0: the standard streams); a
/// different seed gives an independent replicate of the image.
/// Throws std::runtime_error for an unbuilt scene, fewer than one band, a
/// scene whose materials, emitter or sky would be read out of range, a thermal
/// wavelength list shorter than the band count, a sensor size that is
/// negative or too large, or per-primitive arrays whose lengths do not match
/// the scene's primitives; AllocationError when the image does not fit in
/// memory. While it runs, every operation that changes the scene is refused.
BackwardImage render_backward(EmbreeSceneManager& scene, int spp, int max_depth,
                              int rr_depth, int num_threads,
                              std::function<void(int, int, float)> progress,
                              const PrimitiveInputs& prims = {}, uint64_t seed = 0);

}  // namespace vorn::embree
