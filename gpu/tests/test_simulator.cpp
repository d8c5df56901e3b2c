// The simulator's host side on the emulated device, where Python cannot look:
// binding-table records byte by byte, launch buffers cached by size (and
// sized exactly), the pipelines that need PTX files the main pipeline does
// not (LiDAR, energy balance), and the forward program, launched by hand as
// its host side will, against the CPU photon tracer.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "embree/forward.h"
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

    Simulator sim(ctx, VORN_PTX_DIR_DEFAULT);
    sim.init();
    const OptixPipeline main = sim.pipeline();
    const std::string prefix = std::string("Cannot open PTX: ") + VORN_PTX_DIR_DEFAULT + "/";
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
}

/// Ground and two leaves (one instance mirrored) in the tile [0, 4]^2, sun
/// and sky, two bands; the sensor footprint is the tile as well.
template <class Scene>
void forward_scene(Scene& s) {
    s.set_num_bands(2);
    s.upload_spectral_params({0.2f, 0.3f, 0.1f, 0.4f, 0.15f, 0.35f, 0.2f, 0.3f, 1000.0f,
                              800.0f, 50.0f, 60.0f});
    s.add_material(MaterialType::Lambertian, 0);
    s.materials[size_t(s.add_material(MaterialType::Leaf, 2))].params[0] = 0.4f;
    s.materials[1].params[1] = 0.3f;
    s.add_mesh({{0, 0, 0}, {4, 0, 0}, {4, 4, 0}, {0, 4, 0}}, {}, {{0, 1, 2}, {0, 2, 3}}, 0);
    s.add_mesh({{0, 0, 0}, {1.5f, 0, 0.3f}, {1.5f, 1.5f, 0.6f}, {0, 1.5f, 0.2f}}, {},
               {{0, 1, 2}, {0, 2, 3}}, 1);
    s.add_instance(0, 0.0f, 0.0f, 0.0f, 1.0f);
    s.add_instance(1, 0.5f, 0.5f, 1.0f, 1.0f);
    const float mirrored[12] = {-1, 0, 0, 3.5f, 0, 1, 0, 2, 0, 0, 1, 2};
    s.add_instance(1, mirrored);
    s.set_emitter(EmitterType::Sun, {0.3f, 0.2f, 0.9327379f}, 8);
    s.set_sky(10);
    s.set_repetitive(2, 4.0f, 4.0f);
    SensorData sensor{};
    sensor.ortho_w = sensor.ortho_h = 4.0f;
    s.set_sensor(sensor);
    s.build();
}

TEST(Simulator, ForwardProgramTalliesThePhotonsOfTheCpuTracer) {
    const int nx = 2, ny = 2, nb = 2, photons = 3000, batch = 1024;
    const std::vector<float> layers = {0.0f, 1.0f, 2.0f, 3.0f};
    const float brf_dir[3] = {0.0f, 0.6f, 0.8f};
    embree::EmbreeSceneManager cpu;
    forward_scene(cpu);
    const embree::ForwardTallies want = embree::render_forward(
        cpu, nx, ny, layers, photons, nb, true, 0.7f, brf_dir, 1, 6, 3, 2, {}, 0);

    OptiXContext ctx(0);
    SceneManager gpu(ctx);
    forward_scene(gpu);
    Simulator sim(ctx, VORN_PTX_DIR_DEFAULT);
    sim.init();
    sim.build_sbt(gpu);
    unsigned char record[48] = {};
    ASSERT_EQ(optix_api().sbt_record_pack_header(sim.main_group(kGroupRaygenForward), record),
              OPTIX_SUCCESS);
    DeviceBuffer raygen, fpar, layer_buf, leaf, offsets, terrain, dirs, brf, albedo;
    raygen.upload(record, sizeof record, "test");
    OptixShaderBindingTable sbt = sim.main_table().sbt;
    sbt.raygenRecord = raygen.get();
    const size_t grid = size_t(nx * ny * 3 * nb), tris = want.leaf.size();
    for (auto [buffer, n] : {std::pair{&fpar, grid}, {&leaf, tris}, {&terrain, size_t(nb)},
                             {&brf, size_t(nb)}, {&albedo, size_t(nb)}}) {
        buffer->alloc(n * sizeof(double), "test");
        buffer->fill(0, "test");
    }
    layer_buf.upload(layers, "test");
    offsets.upload(gpu.primitives().instance_offsets, "test");
    dirs.upload(brf_dir, sizeof brf_dir, "test");
    sim.allocate_buffers(batch, nb);

    LaunchParams lp{};
    lp.scene = gpu.get_scene_data();
    lp.launch_width = 1024;
    lp.num_bands = nb;
    lp.max_depth = 6;
    lp.rr_depth = 3;
    lp.spp = 1;
    ForwardBlock& f = lp.forward;
    f = ForwardBlock{static_cast<double*>(fpar.data()), nx, ny, 3, 2.0f, 2.0f, batch,
                     static_cast<const float*>(layer_buf.data()), 16.0 / photons, 0.7f, 0,
                     static_cast<double*>(leaf.data()),
                     static_cast<const int32_t*>(offsets.data()), int32_t(tris / nb), true,
                     {}, static_cast<double*>(terrain.data()), 0, 0,
                     static_cast<const float*>(dirs.data()), static_cast<double*>(brf.data()),
                     static_cast<double*>(albedo.data()), 1, 3.0f};
    for (int done = 0, k = 0; done < photons; done += batch, ++k) {
        f.batch_photons = std::min(batch, photons - done);
        lp.launch_height = (f.batch_photons + 1023) / 1024;
        lp.num_rays = lp.launch_height * 1024;
        lp.sample_index = lp.launch_index = k;
        ASSERT_EQ(cudaMemcpy(sim.buffers().params.data(), &lp, sizeof lp,
                             cudaMemcpyHostToDevice),
                  cudaSuccess);
        ASSERT_EQ(optix_api().launch(sim.pipeline(), ctx.stream(), sim.buffers().params.get(),
                                     sizeof lp, &sbt, 1024, lp.launch_height, 1),
                  OPTIX_SUCCESS);
    }
    const std::pair<const std::vector<float>*, const DeviceBuffer*> tallies[] = {
        {&want.grid, &fpar}, {&want.leaf, &leaf}, {&want.terrain, &terrain},
        {&want.brf, &brf}, {&want.albedo, &albedo}};
    for (const auto& [cpu_values, buffer] : tallies) {
        ASSERT_FALSE(cpu_values->empty());
        std::vector<double> got(cpu_values->size());
        buffer->copy_to_host(got.data(), got.size() * sizeof(double), "test");
        double sum = 0;
        for (size_t i = 0; i < got.size(); ++i) {
            // Only the order of summation differs: float results agree to rounding.
            EXPECT_NEAR(float(got[i]), (*cpu_values)[i], 1e-6 * std::fabs((*cpu_values)[i]))
                << i;
            sum += got[i];
        }
        EXPECT_GT(sum, 0.0);
    }
}

}  // namespace
}  // namespace vorn::test
