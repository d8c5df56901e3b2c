// simulate_forward_cpu: the CPU forward photon tracer behind the documented
// signature, with its tallies returned as a dict of arrays.
#include <string>

#include "embree/forward.h"
#include "python/bindings.h"
#include "python/convert.h"
#include "python/docstrings.h"
#include "python/shared_args.h"
#include "scene/checks.h"

namespace vorn::py_bind {

namespace {

constexpr int kRussianRouletteDepth = 3;
constexpr const char* kWho = "simulate_forward_cpu";

/// The BRF directions the engine reads: none unless directions are asked
/// for and given; then a 1-D array holding at least 3 * num_brf_dirs values.
std::vector<float> read_brf_directions(const FloatArray& dirs, int num_brf_dirs) {
    if (num_brf_dirs <= 0 || dirs.size() < 1) return {};
    return read_directions(dirs, num_brf_dirs, kWho, "brf_directions");
}

py::dict to_dict(const vorn::embree::ForwardTallies& t, bool per_leaf, int num_brf_dirs) {
    // Every shape comes from the tallies' own band count, so no array can
    // claim more values than the engine produced.
    const py::ssize_t nb = t.nb;
    py::dict out;
    out["grid"] = to_array(t.grid, {t.nz, t.ny, t.nx, nb});
    if (per_leaf && !t.leaf.empty())
        out["leaf"] = to_array(t.leaf, {py::ssize_t(t.leaf.size()) / nb, nb});
    if (!t.brf.empty()) out["brf"] = to_array(t.brf, {num_brf_dirs, nb});
    if (!t.albedo.empty()) out["albedo"] = to_array(t.albedo, {nb});
    if (!t.terrain.empty()) out["terrain"] = to_array(t.terrain, {nb});
    return out;
}

py::dict simulate_forward_cpu(vorn::embree::EmbreeSceneManager& scene, int nx, int ny,
                              const FloatArray& layer_heights, int num_photons,
                              int num_bands, bool per_leaf,
                              const FloatArray& brf_directions, int num_brf_dirs,
                              float prob_sun, int max_depth, int terrain_instance_id,
                              const py::object& progress, long long seed, int num_threads) {
    if (num_photons < 0)
        throw std::runtime_error(std::string(kWho) + ": num_photons must be >= 0, got " +
                                 std::to_string(num_photons));
    const uint64_t stream_set = check_seed(seed, kWho);
    const int threads = check_threads(num_threads, kWho);
    if (num_bands < 1)
        throw std::runtime_error(
            "simulate_forward_cpu: num_bands must be at least 1, got " +
            std::to_string(num_bands));
    check_finite(prob_sun, kWho, "prob_sun");
    const std::vector<float> layers = read_1d(layer_heights, kWho, "layer_heights");
    check_coordinates(layers.data(), layers.size(), kWho, "layer_heights");
    const std::vector<float> dirs = read_brf_directions(brf_directions, num_brf_dirs);
    const uint64_t rejected = scene.rejected_rays();
    // Interruptible even without a callable: Ctrl-C is noticed between
    // batches on this thread, and the partial tallies are dropped.
    vorn::embree::ForwardTallies t = vorn::embree::render_forward(
        scene, nx, ny, layers, num_photons, num_bands, per_leaf, prob_sun,
        dirs.empty() ? nullptr : dirs.data(), num_brf_dirs, max_depth,
        kRussianRouletteDepth, threads, wrap_progress_interruptible(progress),
        terrain_instance_id, stream_set);
    report_rejected_rays(scene.rejected_rays() - rejected, "[CPU fwd]");
    return to_dict(t, per_leaf, num_brf_dirs);
}

}  // namespace

void bind_forward(py::module_& m) {
    // layer_heights has no default although defaulted parameters precede it:
    // it can be given by keyword (or positionally), and leaving it out fails
    // the call with TypeError.
    forward_args([&](auto... a) {
        m.def("simulate_forward_cpu", &simulate_forward_cpu, a..., py::kw_only(),
              py::arg("seed") = 0, py::arg("num_threads") = 0, doc::kSimulateForwardCpu);
    });
}

}  // namespace vorn::py_bind
