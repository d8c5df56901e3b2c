#include "embree/backward.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "core/backward_path.h"
#include "embree/scene_view.h"
#include "embree/sun_shadows.h"
#include "embree/workers.h"
#include "scene/checks.h"

namespace vorn::embree {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kWho = "simulate_cpu";

/// Rejects sensors whose image cannot be held or indexed with 32-bit pixels.
void check_sensor(const SensorData& s) {
    if (s.width < 0 || s.height < 0)
        throw std::runtime_error(std::string(kWho) +
                                 ": sensor width and height must not be " +
                                 "negative, got " + std::to_string(s.width) + " x " +
                                 std::to_string(s.height));
    if (int64_t(s.width) * s.height > INT32_MAX)
        throw std::runtime_error(
            std::string(kWho) + ": sensor of " + std::to_string(s.width) + " x " +
            std::to_string(s.height) + " pixels exceeds 2^31 - 1 pixels");
}

/// Checks the per-primitive arrays against the scene's `n` primitives.
void check_primitive_inputs(const PrimitiveInputs& p, uint32_t n) {
    auto check = [n](const std::vector<float>& v, const char* name) {
        if (!v.empty() && v.size() != n)
            throw std::runtime_error(std::string(name) + ": array length " +
                                     std::to_string(v.size()) +
                                     " does not match n_primitives() = " + std::to_string(n));
    };
    const bool given = !p.temperatures.empty() || !p.emissivities.empty() || !p.sif.empty();
    if (given && n > uint32_t(INT32_MAX))  // primitives are numbered with 32-bit offsets
        throw std::runtime_error(std::string(kWho) +
                                 ": per-primitive data needs a scene of at most 2^31 - 1 "
                                 "triangles, this one has " + std::to_string(n));
    check(p.temperatures, "primitive_temperatures");
    check(p.emissivities, "primitive_emissivities");
    if (p.n_sif_bands < 0)
        throw std::runtime_error("sif_spectra: n_sif_bands must not be negative, got " +
                                 std::to_string(p.n_sif_bands));
    const uint64_t expected = uint64_t(p.n_sif_bands) * n;
    if (!p.sif.empty() && p.sif.size() != expected)
        throw std::runtime_error("sif_spectra: array length " + std::to_string(p.sif.size()) +
                                 " != n_sif_bands * n_primitives = " +
                                 std::to_string(p.n_sif_bands) + " * " + std::to_string(n) +
                                 " = " + std::to_string(expected));
}

/// The view's per-primitive part over `p` and the instance offsets it fills.
PrimitiveEmission view_of_primitives(const EmbreeSceneManager& scene, const PrimitiveInputs& p,
                                  std::vector<int32_t>& offsets) {
    PrimitiveEmission v{};
    v.sif_only = p.sif_only;
    if (p.temperatures.empty() && p.emissivities.empty() && p.sif.empty()) return v;
    const std::vector<int> counts = scene.instance_triangle_counts();
    offsets.assign(counts.size() + 1, 0);
    for (size_t i = 0; i < counts.size(); ++i) offsets[i + 1] = offsets[i] + counts[i];
    v.instance_offsets = offsets.data();
    v.n_primitives = uint32_t(offsets.back());
    v.temperatures = p.temperatures.empty() ? nullptr : p.temperatures.data();
    v.emissivities = p.emissivities.empty() ? nullptr : p.emissivities.data();
    v.sif = p.sif.empty() ? nullptr : p.sif.data();
    v.n_sif_bands = v.sif ? uint32_t(p.n_sif_bands) : 0u;
    return v;
}

/// Everything the workers of one call share; they only read it, except for
/// the row counter and their own rows of the image.
struct PassContext {
    const EmbreeSceneManager* scene;
    const SunShadowGrid* sun_grid;  ///< or null: shadow rays go to Embree
    SceneView view;
    int max_depth;
    int rr_depth;
    float* image;
    // On a line of their own, away from the fields every vertex reads.
    alignas(64) std::atomic<int> next_row{0};
    std::atomic<bool> stop{false};  ///< raised when a worker fails
};

/// Passes rendered together. A pixel's camera rays of these passes are nearly
/// one ray, so they go to Embree as one packet that descends the acceleration
/// structure once; each path then goes on alone, and the samples are folded
/// into the pixel in pass order, exactly as pass after pass would.
constexpr int kPassBlock = 8;

/// One worker of a block of `passes` passes from `first`: takes rows until
/// none is left. `scratch` holds this worker's 2 * nb doubles (throughput,
/// radiance).
void render_rows(PassContext& ctx, int first, int passes, double* scratch) {
    const EmbreeSceneManager& scene = *ctx.scene;
    const SunShadowTracer tracer{scene, ctx.sun_grid};
    const SceneView& view = ctx.view;
    const int width = view.sensor.width;
    const int height = view.sensor.height;
    const int nb = view.nb;
    double* tp = scratch;
    double* rad = scratch + nb;
    Pcg32 rng[kPassBlock];
    float3 o[kPassBlock], d[kPassBlock];
    RayHit hit[kPassBlock];
    int pass_of[kPassBlock];
    for (int y = ctx.next_row.fetch_add(1); y < height && !ctx.stop;
         y = ctx.next_row.fetch_add(1)) {
        for (int x = 0; x < width; ++x) {
            int n = 0;  // samples with a ray; the others leave the pixel as it is
            for (int p = first; p < first + passes; ++p)
                if (camera_sample(scene, view, x, y, p, &rng[n], &o[n], &d[n])) pass_of[n++] = p;
            if (ctx.max_depth >= 1) tracer.trace_rays(o, d, n, hit);
            float* pixel = ctx.image + (size_t(y) * size_t(width) + size_t(x)) * size_t(nb);
            for (int k = 0; k < n; ++k) {
                start_backward_path(view, tp, rad);
                if (ctx.max_depth >= 1)
                    continue_backward_path(tracer, view, o[k], d[k], hit[k], rng[k],
                                           ctx.max_depth, ctx.rr_depth, tp, rad);
                accumulate_sample(pixel, rad, nb, pass_of[k]);
            }
        }
    }
}

/// Per-worker band scratch (throughput and radiance, 2 nb doubles each),
/// allocated once so that workers never allocate. Every worker's block starts
/// on a cache line of its own: the path loop writes its scratch at every
/// vertex, and two workers sharing a line would pass it back and forth.
class WorkerScratch {
public:
    WorkerScratch(int workers, int nb)
        : stride_((2 * size_t(nb) + kLine - 1) / kLine * kLine),
          data_(size_t(workers) * stride_ + kLine) {}
    double* of(int t) {
        const uintptr_t base = reinterpret_cast<uintptr_t>(data_.data());
        const size_t skip = (kLine * sizeof(double) - base % (kLine * sizeof(double))) /
                            sizeof(double) % kLine;
        return data_.data() + skip + size_t(t) * stride_;
    }

private:
    static constexpr size_t kLine = 64 / sizeof(double);  ///< doubles per cache line
    size_t stride_;
    std::vector<double> data_;
};

/// Runs a block of passes on the call's workers; a throwing worker stops the
/// others and its failure leaves once they have all finished the block.
void run_passes(PassContext& ctx, int first, int passes, WorkerPool& workers,
                WorkerScratch& scratch) {
    ctx.next_row.store(0);
    workers.run(ctx.stop, [&](int t) { render_rows(ctx, first, passes, scratch.of(t)); });
}

}  // namespace

BackwardImage render_backward(EmbreeSceneManager& scene, int spp, int max_depth,
                              int rr_depth, int num_threads,
                              std::function<void(int, int, float)> progress,
                              const PrimitiveInputs& prims, uint64_t seed) {
    const SceneDescription::InUse in_use(scene);  // the scene cannot change under the workers
    const int nb = scene.num_bands;
    scene.validate_for_engine(nb, kWho);
    if (nb < 1)
        throw std::runtime_error(std::string(kWho) + ": the scene has " + std::to_string(nb) +
                                 " bands; set_num_bands must be at least 1");
    check_sensor(scene.sensor);
    check_primitive_inputs(prims, scene.total_triangles());
    max_depth = max_depth_override(max_depth, "[CPU bwd]");

    BackwardImage out;
    out.width = scene.sensor.width;
    out.height = scene.sensor.height;
    out.nb = nb;
    allocate(out.image, size_t(out.width) * size_t(out.height) * size_t(nb), 0.0f, kWho,
             "the image");
    // More threads than rows would only wait on the row counter.
    const int threads = std::max(1, std::min(resolve_threads(num_threads), out.height));
    const Clock::time_point start = Clock::now();
    // Without pixels there is nothing to render, however many passes.
    if (spp < 1 || out.image.empty()) return out;

    PassContext ctx;
    ctx.scene = &scene;
    ctx.view = make_scene_view(scene);
    ctx.view.seed = seed;
    std::vector<int32_t> offsets;
    ctx.view.prims = view_of_primitives(scene, prims, offsets);
    ctx.max_depth = max_depth;
    ctx.rr_depth = rr_depth;
    ctx.image = out.image.data();
    // Every path casts a shadow ray towards the sun from each surface it meets.
    const std::unique_ptr<SunShadowGrid> sun_grid =
        max_depth >= 1 ? sun_grid_for(scene, ctx.view.emitter.direction,
                                      double(out.width) * double(out.height) * double(spp))
                       : nullptr;
    ctx.sun_grid = sun_grid.get();
    WorkerScratch scratch(threads, nb);
    WorkerPool workers(threads);  // one set of threads for every pass
    for (int first = 0, passes = 0; first < spp; first += passes) {
        passes = std::min(kPassBlock, spp - first);
        run_passes(ctx, first, passes, workers, scratch);
        if (!progress) continue;
        // Every pass of the block is done now; each is reported, in order.
        const std::chrono::duration<double, std::milli> ms = Clock::now() - start;
        for (int pass = first; pass < first + passes; ++pass)
            progress(pass + 1, spp, float(ms.count()));
    }
    return out;
}

}  // namespace vorn::embree
