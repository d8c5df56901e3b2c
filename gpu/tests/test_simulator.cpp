// The simulator's host side on the emulated device, where Python cannot look:
// binding-table records byte by byte, launch buffers cached by size (and
// sized exactly), the pipelines that need PTX files the main pipeline does
// not (LiDAR, energy balance), and device memory after an interrupted run.
#include <gtest/gtest.h>

#include <cmath>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "gpu/optix_api.h"
#include "gpu/simulator.h"

namespace vorn::test {
namespace {

using Bytes = std::vector<unsigned char>;

Bytes download(CUdeviceptr p, size_t bytes) {
    Bytes out(bytes);
    EXPECT_EQ(cudaMemcpy(out.data(), reinterpret_cast<void*>(p), bytes, cudaMemcpyDeviceToHost),
              cudaSuccess);
    return out;
}

Bytes header_of(OptixProgramGroup g) {
    Bytes h(OPTIX_SBT_RECORD_HEADER_SIZE);
    EXPECT_EQ(optix_api().sbt_record_pack_header(g, h.data()), OPTIX_SUCCESS);
    return h;
}

Bytes slice(const Bytes& b, size_t from, size_t to) { return Bytes(b.begin() + from, b.begin() + to); }

size_t free_bytes() {
    size_t free = 0, total = 0;
    EXPECT_EQ(cudaMemGetInfo(&free, &total), cudaSuccess);
    return free;
}

/// Three meshes (the second without normals) in four instances.
void describe(SceneManager& s) {
    const std::vector<float3> quad = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}};
    s.add_mesh(quad, std::vector<float3>(4, {0, 0, 1}), {{0, 1, 2}, {0, 2, 3}}, 0);
    s.add_mesh(quad, {}, {{0, 1, 2}}, 1);
    s.add_mesh(quad, std::vector<float3>(4, {0, 1, 0}), {{0, 2, 3}}, 0);
    for (int i : {0, 1, 2, 1}) s.add_instance(i, float(i), 0.0f, 0.0f, 1.0f);
}

TEST(Simulator, MainTableCarriesEachMeshAtTwoMAndTwoMPlusOne) {
    OptiXContext ctx(0);
    SceneManager scene(ctx);
    describe(scene);
    scene.build();
    Simulator sim(ctx, VORN_PTX_DIR_DEFAULT);
    EXPECT_THROW(sim.build_sbt(scene), std::runtime_error);  // no pipeline yet
    sim.init();
    sim.build_sbt(scene);
    const OptixShaderBindingTable& t = sim.main_table().sbt;
    ASSERT_EQ(t.missRecordStrideInBytes, 48u);
    ASSERT_EQ(t.missRecordCount, 2u);
    ASSERT_EQ(t.hitgroupRecordStrideInBytes, 80u);
    ASSERT_EQ(t.hitgroupRecordCount, 6u);
    EXPECT_EQ(t.exceptionRecord, 0u);
    EXPECT_EQ(t.callablesRecordBase, 0u);
    const Bytes zeros(16, 0);
    const Bytes rg = download(t.raygenRecord, 48);
    EXPECT_EQ(slice(rg, 0, 32), header_of(sim.main_group(kGroupRaygenBackward)));
    EXPECT_EQ(slice(rg, 32, 48), zeros);
    const Bytes miss = download(t.missRecordBase, 96);
    for (int r = 0; r < 2; ++r) {
        const MainGroup g = r == 0 ? kGroupMissRadiance : kGroupMissShadow;
        EXPECT_EQ(slice(miss, 48 * r, 48 * r + 32), header_of(sim.main_group(g)));
        EXPECT_EQ(slice(miss, 48 * r + 32, 48 * r + 48), zeros);
    }
    const std::vector<HitGroupData> data = scene.get_hitgroup_data();
    const Bytes hits = download(t.hitgroupRecordBase, 6 * 80);
    for (size_t m = 0; m < 3; ++m) {
        Bytes d(sizeof(HitGroupData));
        std::memcpy(d.data(), &data[m], d.size());
        for (size_t r = 0; r < 2; ++r) {
            const size_t at = 80 * (2 * m + r);
            const MainGroup g = r == 0 ? kGroupHitRadiance : kGroupHitShadow;
            EXPECT_EQ(slice(hits, at, at + 32), header_of(sim.main_group(g))) << m << r;
            EXPECT_EQ(slice(hits, at + 32, at + 72), d) << m << r;
            EXPECT_EQ(slice(hits, at + 72, at + 80), Bytes(8, 0)) << m << r;
        }
    }
    SceneManager empty(ctx);  // no GPU meshes: no hit-group records
    sim.build_sbt(empty);
    EXPECT_EQ(sim.main_table().sbt.hitgroupRecordCount, 0u);
    EXPECT_EQ(sim.main_table().sbt.hitgroupRecordBase, 0u);
}

TEST(Simulator, LaunchBuffersAreSizedExactlyAndCachedBySize) {
    OptiXContext ctx(0);
    Simulator sim(ctx, VORN_PTX_DIR_DEFAULT);
    const size_t before = free_bytes();
    auto bytes = [](size_t rays, size_t bands) {
        return rays * bands * 4 * 3 + rays * 64 + rays * 16 + sizeof(LaunchParams);
    };
    sim.allocate_buffers(1000, 3);
    EXPECT_EQ(before - free_bytes(), bytes(1000, 3));
    const void* film = sim.buffers().film.data();
    {
        // With no device memory left, the same pair must still succeed.
        std::vector<void*> hog;
        void* p = nullptr;
        while (free_bytes() > 0 && cudaMalloc(&p, std::min<size_t>(free_bytes(), 1ul << 30)) ==
                                       cudaSuccess)
            hog.push_back(p);
        EXPECT_NO_THROW(sim.allocate_buffers(1000, 3));
        EXPECT_EQ(sim.buffers().film.data(), film);
        try {
            sim.allocate_buffers(1000, 100);
            ADD_FAILURE() << "allocated without memory";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), "CUDA: film - out of memory");
        }
        for (void* q : hog) cudaFree(q);
    }
    EXPECT_EQ(sim.buffers().film.data(), nullptr);  // the failed resize released all six
    sim.allocate_buffers(1000, 3);
    sim.allocate_buffers(1000, 4);
    EXPECT_EQ(before - free_bytes(), bytes(1000, 4));
    EXPECT_EQ(sim.buffers().num_bands, 4);
    for (auto pair : {std::pair<int, int>{1 << 20, 4096}, {-1, 3}, {10, -2}}) {
        EXPECT_THROW(sim.allocate_buffers(pair.first, pair.second), std::runtime_error);
        EXPECT_EQ(sim.buffers().num_bands, 4);  // refused before anything was released
    }
    sim.free_buffers();
    EXPECT_EQ(free_bytes(), before);
}

TEST(Simulator, PipelinesWithoutTheirPtxFailAndLeaveTheMainPipelineUsable) {
    OptiXContext ctx(0);
    SceneManager scene(ctx);
    describe(scene);
    scene.build();
    // The test PTX folder holds none of the production programs.
    const std::string dir = VORN_TEST_PTX_DIR_DEFAULT;
    Simulator missing(ctx, dir);
    try {
        missing.init();
        ADD_FAILURE() << "built without PTX";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "Cannot open PTX: " + dir + "/raygen_backward.ptx");
    }
    EXPECT_FALSE(missing.pipeline_built());

    // A folder with the main pipeline's programs only.
    namespace fs = std::filesystem;
    const fs::path main_only = fs::temp_directory_path() / ("vorn_main_ptx_" + std::to_string(getpid()));
    fs::create_directories(main_only);
    for (const char* stem : {"raygen_backward", "closesthit", "miss", "raygen_forward"})
        fs::copy_file(fs::path(VORN_PTX_DIR_DEFAULT) / (std::string(stem) + ".ptx"),
                      main_only / (std::string(stem) + ".ptx"),
                      fs::copy_options::overwrite_existing);
    Simulator sim(ctx, main_only.string());
    sim.init();
    const OptixPipeline main = sim.pipeline();
    const std::string prefix = "Cannot open PTX: " + main_only.string() + "/";
    struct Case {
        void (Simulator::*call)();
        const char* stem;
    };
    for (const Case& c : {Case{&Simulator::extend_pipeline_with_lidar, "raygen_lidar"},
                          Case{&Simulator::init_eb_pipeline, "raygen_eb_rrt"},
                          Case{&Simulator::init_eb_mb_pipeline, "raygen_eb_rrt"}}) {
        try {
            (sim.*c.call)();
            ADD_FAILURE() << c.stem << " built without its PTX";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), prefix + c.stem + ".ptx");
        }
    }
    EXPECT_FALSE(sim.has_lidar());
    EXPECT_EQ(sim.pipeline(), main);
    EXPECT_EQ(sim.eb_pipeline(), nullptr);
    EXPECT_THROW(sim.build_sbt_eb(scene), std::runtime_error);
    EXPECT_THROW(sim.build_sbt_eb_mb(scene), std::runtime_error);
    sim.build_sbt(scene);  // the main pipeline's groups are all still there
    EXPECT_EQ(sim.main_table().sbt.hitgroupRecordCount, 6u);
    fs::remove_all(main_only);
}

TEST(Simulator, InterruptedForwardRunsReleaseTheirTalliesAndLeaveTheRestReusable) {
    OptiXContext ctx(0);
    SceneManager scene(ctx);
    describe(scene);
    scene.set_num_bands(1);
    scene.upload_spectral_params({0.5f, 0.5f, 1.0f});
    scene.add_material(MaterialType::Lambertian, 0);
    scene.add_material(MaterialType::Lambertian, 1);
    scene.set_emitter(EmitterType::Sun, {0.0f, 0.0f, 1.0f}, 2);
    scene.set_repetitive(0, 4.0f, 1.0f);
    scene.build();
    Simulator sim(ctx, VORN_PTX_DIR_DEFAULT);
    ForwardParams fp;
    fp.layer_heights = {0.0f, 1.0f};
    fp.num_photons = 3000;
    fp.brf_directions = {0.0f, 0.0f, 1.0f};
    fp.num_brf_dirs = 1;
    fp.per_leaf = true;
    fp.terrain_instance_id = 0;
    std::vector<float> leaf, brf, albedo, terrain;
    const std::vector<float> want = sim.simulate_forward(scene, fp, &leaf, &brf, &albedo, &terrain);
    const size_t after_run = free_bytes();
    fp.progress = [](int, int, float) { throw std::runtime_error("stop"); };
    EXPECT_THROW(sim.simulate_forward(scene, fp, &leaf, &brf, &albedo, &terrain), std::runtime_error);
    EXPECT_EQ(free_bytes(), after_run);  // the BRF and albedo tallies went with the call
    fp.progress = nullptr;
    const float brf_before = brf.at(0);
    // The same tallies, summed in another order.
    EXPECT_NEAR(sim.simulate_forward(scene, fp, &leaf, &brf, &albedo, &terrain).at(0), want[0],
                1e-6 * want[0]);
    EXPECT_NEAR(brf.at(0), brf_before, 1e-6 * brf_before);
    EXPECT_GT(brf_before, 0.0f);
    sim.cleanup();
    scene.free_gpu();
    EXPECT_EQ(free_bytes(), size_t(24) << 30);
}

}  // namespace
}  // namespace vorn::test
