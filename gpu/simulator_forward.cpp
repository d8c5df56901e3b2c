// Forward photons on the GPU: __raygen__forward runs the CPU tracer's photon
// loop (core/forward_photon.h) on photon k * B + i for launch index i of
// batch k, seeded as the CPU seeds that photon, and adds its tallies with
// double atomics. The host checks the request as the CPU tracer does (same
// extent rule, same messages), keeps the tally buffers, launches the batches
// with progress between them and downloads the tallies unscaled.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>

#include "core/diagnostics.h"
#include "core/forward_photon.h"
#include "gpu/optix_api.h"
#include "gpu/simulator.h"
#include "scene/checks.h"
#include "scene/forward_request.h"

namespace vorn {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kWho = "simulate_forward";
constexpr int kLaunchWidth = 1024;
constexpr int kForwardRrDepth = 3;
/// Largest tally (values) accepted: far above any real grid, far below what
/// would overflow the index arithmetic.
constexpr double kMaxTallyValues = 1e12;

float elapsed_ms(Clock::time_point start) {
    return std::chrono::duration<float, std::milli>(Clock::now() - start).count();
}

/// nx * ny * nz * nb (or T * nb), refused beyond kMaxTallyValues.
size_t tally_values(double n, const char* what) {
    if (n > kMaxTallyValues)
        fail_input(kWho, std::string(what) + " of " + show_value(n) +
                             " values is more than can be allocated");
    return size_t(n);
}

/// A zeroed device tally of `n` doubles.
void zeroed(DeviceBuffer& b, size_t n, const char* alloc_step, const char* zero_step) {
    b.alloc(n * sizeof(double), alloc_step);
    b.fill(0, zero_step);
}

/// Downloads `n` doubles of `b` into `out` as float.
void download(const DeviceBuffer& b, size_t n, std::vector<float>& out, const char* step) {
    std::vector<double> d(n);
    if (n) b.copy_to_host(d.data(), n * sizeof(double), step);
    out.assign(d.begin(), d.end());
}

}  // namespace

std::vector<int> forward_batches(int num_photons, int* stride) {
    std::vector<int> batches;
    *stride = 0;
    if (num_photons <= 0) return batches;
    const int first = std::min(num_photons, kGpuForwardBatchPhotons);
    *stride = (first + kLaunchWidth - 1) / kLaunchWidth * kLaunchWidth;
    for (int done = 0; done < num_photons;) {
        batches.push_back(std::min(*stride, num_photons - done));
        done += batches.back();
    }
    return batches;
}

std::vector<float> Simulator::simulate_forward(SceneManager& scene, const ForwardParams& fp,
                                               std::vector<float>* leaf_out,
                                               std::vector<float>* brf_out,
                                               std::vector<float>* albedo_out,
                                               std::vector<float>* terrain_out) {
    DiagLine(DiagStream::Err) << "[fwd] enter simulate_forward\n";
    check_scene(scene, "Scene not built.", kWho);
    const SceneDescription::InUse in_use(scene);
    init();
    DiagLine(DiagStream::Err) << "[fwd] initialized\n";

    // ---- the request, checked as the CPU tracer checks it ----------------------
    const SceneData record = scene.get_scene_data();
    if (fp.layer_heights.size() < 2)
        throw std::runtime_error("layer_heights needs at least 2 values");
    const int nz = int(fp.layer_heights.size()) - 1;
    const int nb = fp.num_bands > 0 ? fp.num_bands : record.num_bands;
    if (nb < 1 || nb > kForwardMaxDeviceBands)
        fail_input(kWho, "num_bands must lie in [1, " + std::to_string(kForwardMaxDeviceBands) +
                             "] on the GPU, got " + std::to_string(nb));
    // One rule for both backends: the tile first, else the sensor footprint.
    float w = 0.0f, h = 0.0f;
    forward_extent(scene, &w, &h);
    check_forward_request(kWho, fp.nx, fp.ny, fp.prob_sun, w, h);
    const double photon_e = fp.num_photons > 0 ? double(w) * double(h) / fp.num_photons : 0.0;
    check_photon_weights(kWho, scene, fp.prob_sun, photon_e);
    scene.validate_for_engine(nb, kWho, false);
    const int num_dirs = std::max(fp.num_brf_dirs, 0);
    if (fp.brf_directions.size() < size_t(3) * size_t(num_dirs))
        fail_input(kWho, "num_brf_dirs = " + std::to_string(num_dirs) + " needs " +
                             std::to_string(3 * int64_t(num_dirs)) +
                             " brf_directions values, got " +
                             std::to_string(fp.brf_directions.size()));
    const size_t grid_values =
        tally_values(double(fp.nx) * fp.ny * nz * nb, "the grid");
    const std::vector<int32_t>& offsets = scene.primitives().instance_offsets;
    const int64_t triangles = offsets.empty() ? 0 : offsets.back();
    const bool leaf_on = fp.per_leaf && triangles >= 1;
    const size_t leaf_values = leaf_on ? tally_values(double(triangles) * nb, "the per-leaf tally") : 0;
    tally_values(double(num_dirs) * nb, "the BRF tally");
    check_allocation(double(grid_values) * sizeof(float), kWho, "the grid");

    // ---- binding table and tallies ---------------------------------------------
    DiagLine(DiagStream::Err) << "[fwd] building sbt...\n";
    build_sbt(scene);
    DiagLine(DiagStream::Err) << "[fwd] sbt built\n";
    DiagLine(DiagStream::Err) << "[fwd] creating forward sbt...\n";
    const EmptyRecord rg = pack_empty_record(groups_[kGroupRaygenForward], "sbt rg fwd");
    DiagLine(DiagStream::Err) << "[fwd] header packed\n";
    fwd_raygen_record_.alloc(sizeof rg, "sbt rg fwd alloc");
    DiagLine(DiagStream::Err) << "[fwd] malloc ok\n";
    fwd_raygen_record_.copy_from_host(&rg, sizeof rg, "sbt rg fwd upload");
    DiagLine(DiagStream::Err) << "[fwd] upload ok\n";
    const OptixShaderBindingTable sbt = main_table_with_raygen(fwd_raygen_record_);

    DiagLine(DiagStream::Err) << "[fwd] allocating grid: " << grid_values << " doubles\n";
    zeroed(fwd_fpar_, grid_values, "fpar grid", "fpar zero");
    DiagLine(DiagStream::Err) << "[fwd] grid allocated ok\n";
    const size_t layer_bytes = fp.layer_heights.size() * sizeof(float);
    DiagLine(DiagStream::Err) << "[fwd] layer_heights.size()=" << fp.layer_heights.size() << "\n";
    DiagLine(DiagStream::Err) << "[fwd] allocating " << layer_bytes << " bytes for layers\n";
    fwd_layers_.alloc(layer_bytes, "layers alloc");
    DiagLine(DiagStream::Err) << "[fwd] layers malloc ok\n";
    fwd_layers_.copy_from_host(fp.layer_heights.data(), layer_bytes, "layers upload");
    DiagLine(DiagStream::Err) << "[fwd] layers upload ok\n";
    if (fp.per_leaf) {
        fwd_leaf_.release();
        fwd_leaf_offsets_.release();
        if (leaf_on) {
            zeroed(fwd_leaf_, leaf_values, "leaf buf", "leaf zero");
            fwd_leaf_offsets_.upload(offsets, "leaf off");
        }
    }
    fwd_terrain_.release();
    if (fp.terrain_instance_id >= 0) zeroed(fwd_terrain_, size_t(nb), "terrain buf", "terrain zero");

    DiagLine(DiagStream::Err) << "[fwd] allocating per-ray buffers...\n";
    int stride = 0;
    const std::vector<int> batches = forward_batches(fp.num_photons, &stride);
    const int per_ray = std::max(stride, kLaunchWidth);
    allocate_buffers(per_ray, nb);
    DiagLine(DiagStream::Err) << "[fwd] buffers allocated (batch=" << stride << ")\n";

    // Per-call tallies: released on every way out of the call.
    DeviceBuffer brf_dirs, brf, albedo;
    if (num_dirs > 0) {
        brf_dirs.upload(fp.brf_directions.data(), size_t(3) * num_dirs * sizeof(float),
                        "brf dirs");
        zeroed(brf, size_t(num_dirs) * nb, "brf buf", "brf zero");
    }
    if (num_dirs > 0 || albedo_out) zeroed(albedo, size_t(nb), "albedo buf", "albedo zero");

    LaunchParams lp;
    std::memset(&lp, 0, sizeof lp);
    lp.launch_width = kLaunchWidth;
    lp.scene = record;
    lp.hits = buffers_.hits.data();
    lp.rngs = buffers_.rngs.data();
    lp.num_bands = uint32_t(nb);
    lp.tp = static_cast<float*>(buffers_.tp.data());
    lp.rad = static_cast<float*>(buffers_.rad.data());
    lp.max_depth = fp.max_depth;
    lp.rr_depth = kForwardRrDepth;
    lp.spp = 1;
    ForwardBlock& f = lp.forward;
    f.fpar = static_cast<double*>(fwd_fpar_.data());
    f.grid_nx = uint32_t(fp.nx);
    f.grid_ny = uint32_t(fp.ny);
    f.grid_nz = uint32_t(nz);
    f.grid_dx = w / float(fp.nx);
    f.grid_dy = h / float(fp.ny);
    f.batch_stride = uint32_t(stride);
    f.layers = static_cast<const float*>(fwd_layers_.data());
    f.photon_e = photon_e;
    f.prob_sun = fp.prob_sun;
    f.leaf = leaf_on ? static_cast<double*>(fwd_leaf_.data()) : nullptr;
    f.leaf_offsets = leaf_on ? static_cast<const int32_t*>(fwd_leaf_offsets_.data()) : nullptr;
    f.num_triangles = leaf_on ? int32_t(triangles) : 0;
    f.per_leaf = fp.per_leaf;
    f.terrain = static_cast<double*>(fwd_terrain_.data());
    f.terrain_instance_id = fp.terrain_instance_id;
    f.brf_dirs = static_cast<const float*>(brf_dirs.data());
    f.brf = static_cast<double*>(brf.data());
    f.albedo = static_cast<double*>(albedo.data());
    f.num_brf_dirs = num_dirs;
    f.grid_top = fp.layer_heights.back();

    DiagLine(DiagStream::Err) << "[fwd] scene=" << w << "x" << h << " dx=" << f.grid_dx
                              << " dy=" << f.grid_dy << " batch=" << stride
                              << " total=" << fp.num_photons << " photon_e=" << photon_e
                              << "\n";
    const Clock::time_point start = Clock::now();
    int done = 0, k = 0;
    for (const int count : batches) {
        lp.launch_height = uint32_t((count + kLaunchWidth - 1) / kLaunchWidth);
        lp.num_rays = lp.launch_height * kLaunchWidth;
        lp.sample_index = lp.launch_index = uint32_t(k);
        f.batch_photons = count;
        buffers_.params.copy_from_host(&lp, sizeof lp, "params fwd");
        optix_check(optix_api().launch(pipeline_, ctx_.stream(), buffers_.params.get(),
                                       sizeof lp, &sbt, kLaunchWidth, lp.launch_height, 1),
                    "launch fwd");
        cuda_check(cudaDeviceSynchronize(), "sync fwd");
        done += count;
        ++k;
        if (fp.progress) fp.progress(done, fp.num_photons, elapsed_ms(start));
    }
    diag_printf(DiagStream::Out, "Forward: %d photons (%d batches), %dx%dx%d grid, %d bands = %g ms\n",
                fp.num_photons, k, fp.nx, fp.ny, nz, nb, double(elapsed_ms(start)));

    std::vector<float> grid;
    download(fwd_fpar_, grid_values, grid, "download fpar");
    if (leaf_on && leaf_out) download(fwd_leaf_, leaf_values, *leaf_out, "download leaf");
    if (fp.terrain_instance_id >= 0 && terrain_out && fwd_terrain_)
        download(fwd_terrain_, size_t(nb), *terrain_out, "download terrain");
    if (num_dirs >= 1 && brf_out && brf)
        download(brf, size_t(num_dirs) * nb, *brf_out, "download brf");
    if (albedo_out && albedo) download(albedo, size_t(nb), *albedo_out, "download albedo");
    return grid;
}

}  // namespace vorn
