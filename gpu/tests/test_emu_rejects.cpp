// What the emulated driver refuses as a device would, where the emulation
// could otherwise hide a fault of the backend: a launch variable of another
// size, payload words beyond the pipeline's count, refits of structures built
// without update, host memory passed where device memory belongs, and
// instances of a GAS whose buffer was freed.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "gpu/optix_api.h"
#include "gpu/tests/probe_pipeline.h"

namespace vorn::test {
namespace {

TEST(EmuRejects, ModuleNeedsTheLaunchVariableSize) {
    OptiXContext ctx(0);
    OptixPipelineCompileOptions pco{};
    pco.numPayloadValues = 3;
    pco.numAttributeValues = 2;
    pco.pipelineLaunchParamsVariableName = "params";
    pco.pipelineLaunchParamsSizeInBytes = 56;
    const OptixModuleCompileOptions mco{};
    const std::string ptx = probe_ptx();
    char log[4096] = {};
    size_t size = sizeof log;
    OptixModule m = nullptr;
    EXPECT_EQ(optix_api().module_create(ctx.context(), &mco, &pco, ptx.data(), ptx.size(),
                                        log, &size, &m),
              OPTIX_ERROR_INVALID_INPUT);
    EXPECT_NE(std::string(log).find("params has 48 bytes"), std::string::npos) << log;
}

TEST(EmuRejects, TracingMorePayloadWordsThanThePipelineHasFailsTheLaunch) {
    OptiXContext ctx(0);
    Probe probe(ctx, make_test_scene(), 2);  // the probe traces 3 words
    probe::ProbeTally tally{};
    testing::internal::CaptureStderr();
    try {
        probe.trace(make_rays(10, 1), 10, 1e-4f, 1e16f, &tally);
        ADD_FAILURE() << "launch succeeded";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "OptiX: launch (7050)");
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[OptiX][emulator] trace passes 3 payload words, the pipeline 2\n");
}

TEST(EmuRejects, AccelBuildsCheckMemoryAndUpdatePermission) {
    OptiXContext ctx(0);
    const Mesh mesh = make_test_scene().meshes[0];
    DeviceBuffer verts, idx, out, temp;
    verts.upload(mesh.vertices, "verts");
    idx.upload(mesh.indices, "idx");
    CUdeviceptr vb = verts.get();
    const unsigned flags = 0;
    const OptixBuildInput in = triangle_input(&vb, mesh, idx.get(), &flags);
    OptixAccelBuildOptions options{};
    options.operation = OPTIX_BUILD_OPERATION_BUILD;
    OptixAccelBufferSizes sizes{};
    ASSERT_EQ(
        optix_api().accel_compute_memory_usage(ctx.context(), &options, &in, 1, &sizes),
        OPTIX_SUCCESS);
    out.alloc(sizes.outputSizeInBytes, "out");
    temp.alloc(sizes.tempSizeInBytes, "temp");
    auto build = [&] {
        OptixTraversableHandle h = 0;
        return optix_api().accel_build(ctx.context(), ctx.stream(), &options, &in, 1,
                                       temp.get(), temp.size(), out.get(), out.size(), &h,
                                       nullptr, 0);
    };
    ASSERT_EQ(build(), OPTIX_SUCCESS);
    options.operation = OPTIX_BUILD_OPERATION_UPDATE;  // built without ALLOW_UPDATE
    EXPECT_EQ(build(), OPTIX_ERROR_INVALID_OPERATION);
    options.operation = OPTIX_BUILD_OPERATION_BUILD;
    vb = CUdeviceptr(reinterpret_cast<uintptr_t>(mesh.vertices.data()));
    EXPECT_EQ(build(), OPTIX_ERROR_INVALID_VALUE);  // vertices in host memory
}

TEST(EmuRejects, InstancesOfAGasWhoseBufferWasFreedFailTheIasBuild) {
    OptiXContext ctx(0);
    const Mesh mesh = make_test_scene().meshes[0];
    DeviceBuffer verts, idx, gas, temp, records, ias;
    verts.upload(mesh.vertices, "verts");
    idx.upload(mesh.indices, "idx");
    const CUdeviceptr vb = verts.get();
    const unsigned flags = 0;
    const OptixBuildInput tri = triangle_input(&vb, mesh, idx.get(), &flags);
    OptixAccelBuildOptions options{};
    options.operation = OPTIX_BUILD_OPERATION_BUILD;
    auto build = [&](const OptixBuildInput& in, DeviceBuffer& out) {
        OptixAccelBufferSizes sizes{};
        optix_check(optix_api().accel_compute_memory_usage(ctx.context(), &options, &in,
                                                           1, &sizes),
                    "sizes");
        out.alloc(sizes.outputSizeInBytes, "out");
        temp.alloc(sizes.tempSizeInBytes, "temp");
        OptixTraversableHandle h = 0;
        const OptixResult r = optix_api().accel_build(
            ctx.context(), ctx.stream(), &options, &in, 1, temp.get(), temp.size(),
            out.get(), out.size(), &h, nullptr, 0);
        return std::make_pair(r, h);
    };
    const auto [gas_result, gas_handle] = build(tri, gas);
    ASSERT_EQ(gas_result, OPTIX_SUCCESS);
    OptixInstance inst{};
    inst.transform[0] = inst.transform[5] = inst.transform[10] = 1.0f;
    inst.visibilityMask = 255;
    inst.traversableHandle = gas_handle;
    records.upload(&inst, sizeof inst, "instances");
    OptixBuildInput in{};
    in.type = OPTIX_BUILD_INPUT_TYPE_INSTANCES;
    in.instanceArray.instances = records.get();
    in.instanceArray.numInstances = 1;
    EXPECT_EQ(build(in, ias).first, OPTIX_SUCCESS);  // the GAS is live
    gas.release();
    testing::internal::CaptureStderr();
    EXPECT_EQ(build(in, ias).first, OPTIX_ERROR_INVALID_VALUE);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[OptiX][emulator] instance 0 names a GAS whose buffer was freed\n");
}

}  // namespace
}  // namespace vorn::test
