// What the emulated driver refuses, as a device would: malformed PTX, a launch
// variable of another size, entries a module lacks, modules compiled with
// other options, oversized launch parameters, payload words beyond the
// pipeline's count, refits of structures built without update, and host
// memory passed where device memory belongs.
#include <gtest/gtest.h>

#include <string>

#include "gpu/optix_api.h"
#include "gpu/tests/probe_pipeline.h"
#include "gpu/tests/scene_fixture.h"

namespace vorn::test {
namespace {

std::string probe_ptx() { return read_text(test_ptx_dir() + "/trace_probe.ptx"); }

OptixPipelineCompileOptions probe_options(
    size_t params_bytes = sizeof(probe::ProbeParams)) {
    OptixPipelineCompileOptions o{};
    o.numPayloadValues = 3;
    o.numAttributeValues = 2;
    o.pipelineLaunchParamsVariableName = "params";
    o.pipelineLaunchParamsSizeInBytes = params_bytes;
    return o;
}

struct ModuleResult {
    OptixResult code;
    std::string log;
    OptixModule module;
};

ModuleResult create_module(const OptiXContext& ctx, const std::string& ptx,
                           const OptixPipelineCompileOptions& pco) {
    OptixModuleCompileOptions mco{};
    char log[4096] = {};
    size_t size = sizeof log;
    OptixModule m = nullptr;
    const OptixResult r = optix_api().module_create(ctx.context(), &mco, &pco, ptx.data(),
                                                    ptx.size(), log, &size, &m);
    return {r, log, m};
}

TEST(EmuRejects, ModulesNeedPtxAndTheLaunchVariableSize) {
    OptiXContext ctx(0);
    EXPECT_EQ(create_module(ctx, "not ptx at all", probe_options()).code,
              OPTIX_ERROR_INVALID_INPUT);
    const ModuleResult wrong = create_module(ctx, probe_ptx(), probe_options(56));
    EXPECT_EQ(wrong.code, OPTIX_ERROR_INVALID_INPUT);
    EXPECT_NE(wrong.log.find("params has 48 bytes"), std::string::npos) << wrong.log;
    const ModuleResult good = create_module(ctx, probe_ptx(), probe_options());
    ASSERT_EQ(good.code, OPTIX_SUCCESS) << good.log;
    optix_api().module_destroy(good.module);
}

TEST(EmuRejects, ProgramGroupsNeedAnEntryOfTheirKindInTheModule) {
    OptiXContext ctx(0);
    const ModuleResult m = create_module(ctx, probe_ptx(), probe_options());
    ASSERT_EQ(m.code, OPTIX_SUCCESS);
    struct Case {
        unsigned kind;
        const char* entry;
        OptixResult expected;
    };
    const Case cases[] = {
        {OPTIX_PROGRAM_GROUP_KIND_RAYGEN, "__raygen__probe", OPTIX_SUCCESS},
        {OPTIX_PROGRAM_GROUP_KIND_RAYGEN, "__raygen__absent", OPTIX_ERROR_INVALID_VALUE},
        {OPTIX_PROGRAM_GROUP_KIND_RAYGEN, "__miss__probe_radiance",
         OPTIX_ERROR_INVALID_VALUE},
        {OPTIX_PROGRAM_GROUP_KIND_MISS, "__miss__probe_shadow", OPTIX_SUCCESS},
        {OPTIX_PROGRAM_GROUP_KIND_HITGROUP, "__closesthit__probe_shadow", OPTIX_SUCCESS},
        {OPTIX_PROGRAM_GROUP_KIND_HITGROUP, "__closesthit__radiance",
         OPTIX_ERROR_INVALID_VALUE},
    };
    for (const Case& c : cases) {
        OptixProgramGroupDesc d{};
        d.kind = c.kind;
        if (c.kind == OPTIX_PROGRAM_GROUP_KIND_HITGROUP) {
            d.hitgroup.moduleCH = m.module;
            d.hitgroup.entryFunctionNameCH = c.entry;
        } else {
            d.raygen = {m.module, c.entry};
        }
        OptixProgramGroupOptions options{};
        char log[4096] = {};
        size_t size = sizeof log;
        OptixProgramGroup g = nullptr;
        EXPECT_EQ(optix_api().program_group_create(ctx.context(), &d, 1, &options, log,
                                                   &size, &g),
                  c.expected)
            << c.entry;
        if (c.expected != OPTIX_SUCCESS) {
            EXPECT_NE(std::string(log).find(c.entry), std::string::npos) << log;
        }
        if (g) optix_api().program_group_destroy(g);
    }
    optix_api().module_destroy(m.module);
}

TEST(EmuRejects, PipelineOptionsMustMatchTheModules) {
    OptiXContext ctx(0);
    const ModuleResult m = create_module(ctx, probe_ptx(), probe_options());
    ASSERT_EQ(m.code, OPTIX_SUCCESS);
    OptixProgramGroupDesc d{};
    d.kind = OPTIX_PROGRAM_GROUP_KIND_RAYGEN;
    d.raygen = {m.module, "__raygen__probe"};
    OptixProgramGroupOptions options{};
    OptixProgramGroup g = nullptr;
    ASSERT_EQ(optix_api().program_group_create(ctx.context(), &d, 1, &options, nullptr,
                                               nullptr, &g),
              OPTIX_SUCCESS);
    OptixPipelineCompileOptions other = probe_options();
    other.numPayloadValues = 2;
    OptixPipelineLinkOptions link{};
    link.maxTraceDepth = 1;
    OptixPipeline p = nullptr;
    EXPECT_EQ(optix_api().pipeline_create(ctx.context(), &other, &link, &g, 1, nullptr,
                                          nullptr, &p),
              OPTIX_ERROR_PIPELINE_LINK_ERROR);
    const OptixPipelineCompileOptions same = probe_options();
    EXPECT_EQ(optix_api().pipeline_create(ctx.context(), &same, &link, &g, 1, nullptr,
                                          nullptr, &p),
              OPTIX_SUCCESS);
    optix_api().pipeline_destroy(p);
    optix_api().program_group_destroy(g);
    optix_api().module_destroy(m.module);
}

TEST(EmuRejects, TracingMorePayloadWordsThanThePipelineHasFailsTheLaunch) {
    OptiXContext ctx(0);
    const TestScene s = make_test_scene();
    ProbePipeline pipeline(ctx, probe_ptx(), 2);  // the probe traces 3 words
    ProbeScene scene(ctx, pipeline, s.meshes, s.instances);
    testing::internal::CaptureStderr();
    try {
        scene.trace(make_rays(10, 1), 10);
        FAIL() << "launch succeeded";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "OptiX: launch (7050)");
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[OptiX][emulator] trace passes 3 payload words, the pipeline 2\n");
}

TEST(EmuRejects, LaunchParametersLargerThanTheVariableAreRefused) {
    OptiXContext ctx(0);
    const TestScene s = make_test_scene();
    ProbePipeline pipeline(ctx, probe_ptx());
    DeviceBuffer params, raygen;
    params.alloc(64, "params");
    params.fill(0, "params");
    SbtRecord<probe::ProbeMissData> rg{};
    optix_check(optix_api().sbt_record_pack_header(pipeline.raygen(), rg.header),
                "sbt rg");
    raygen.upload(&rg, sizeof rg, "sbt rg");
    OptixShaderBindingTable sbt{};
    sbt.raygenRecord = raygen.get();
    testing::internal::CaptureStderr();
    EXPECT_EQ(optix_api().launch(pipeline.pipeline(), ctx.stream(), params.get(), 64,
                                 &sbt, 1, 1, 1),
              OPTIX_ERROR_INVALID_VALUE);
    testing::internal::GetCapturedStderr();
    // A host copy of the record is not device memory.
    sbt.raygenRecord = CUdeviceptr(reinterpret_cast<uintptr_t>(&rg));
    EXPECT_EQ(optix_api().launch(pipeline.pipeline(), ctx.stream(), params.get(), 48,
                                 &sbt, 1, 1, 1),
              OPTIX_ERROR_INVALID_VALUE);
}

TEST(EmuRejects, AccelBuildsCheckMemoryAndUpdatePermission) {
    OptiXContext ctx(0);
    const Mesh mesh = make_test_scene().meshes[0];
    DeviceBuffer verts, idx, out, temp;
    verts.upload(mesh.vertices, "verts");
    idx.upload(mesh.indices, "idx");
    CUdeviceptr vb = verts.get();
    const unsigned flags = 0;
    OptixBuildInput in{};
    in.type = OPTIX_BUILD_INPUT_TYPE_TRIANGLES;
    in.triangleArray.vertexBuffers = &vb;
    in.triangleArray.numVertices = unsigned(mesh.vertices.size());
    in.triangleArray.vertexFormat = OPTIX_VERTEX_FORMAT_FLOAT3;
    in.triangleArray.indexBuffer = idx.get();
    in.triangleArray.numIndexTriplets = unsigned(mesh.indices.size());
    in.triangleArray.indexFormat = OPTIX_INDICES_FORMAT_UNSIGNED_INT3;
    in.triangleArray.flags = &flags;
    in.triangleArray.numSbtRecords = 1;
    OptixAccelBuildOptions options{};
    options.buildFlags = OPTIX_BUILD_FLAG_PREFER_FAST_TRACE;
    options.operation = OPTIX_BUILD_OPERATION_BUILD;
    OptixAccelBufferSizes sizes{};
    ASSERT_EQ(
        optix_api().accel_compute_memory_usage(ctx.context(), &options, &in, 1, &sizes),
        OPTIX_SUCCESS);
    out.alloc(sizes.outputSizeInBytes, "out");
    temp.alloc(sizes.tempSizeInBytes, "temp");
    OptixTraversableHandle h = 0;
    auto build = [&] {
        return optix_api().accel_build(ctx.context(), ctx.stream(), &options, &in, 1,
                                       temp.get(), temp.size(), out.get(), out.size(), &h,
                                       nullptr, 0);
    };
    ASSERT_EQ(build(), OPTIX_SUCCESS);
    EXPECT_EQ(h, out.get());
    // Refit of a structure built without ALLOW_UPDATE.
    options.operation = OPTIX_BUILD_OPERATION_UPDATE;
    EXPECT_EQ(build(), OPTIX_ERROR_INVALID_OPERATION);
    // Vertices in host memory.
    options.operation = OPTIX_BUILD_OPERATION_BUILD;
    vb = CUdeviceptr(reinterpret_cast<uintptr_t>(mesh.vertices.data()));
    EXPECT_EQ(build(), OPTIX_ERROR_INVALID_VALUE);
    // An output buffer smaller than reported.
    vb = verts.get();
    out.alloc(sizes.outputSizeInBytes / 2, "small out");
    EXPECT_EQ(build(), OPTIX_ERROR_INVALID_VALUE);
}

}  // namespace
}  // namespace vorn::test
