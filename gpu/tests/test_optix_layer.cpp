// The host side of the OptiX layer on its own: slot maps and option layouts
// against the byte offsets of the ABI notes, the 118 -> 105 fallback with
// scripted drivers, the error texts and the log callback's filter.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "gpu/gpu_check.h"
#include "gpu/optix_api.h"
#include "gpu/optix_context.h"

namespace vorn {
namespace {

TEST(OptixLayer, SlotsSitAtTheDocumentedOffsetsOfBothTables) {
    struct Case {
        OptixEntry entry;
        size_t offset118, offset105;  // bytes, 8 per slot
    };
    const Case cases[] = {
        {OptixEntry::GetErrorName, 0, 0},           {OptixEntry::DeviceContextCreate, 16, 16},
        {OptixEntry::DeviceContextDestroy, 24, 24}, {OptixEntry::ModuleCreate, 96, 96},
        {OptixEntry::ModuleDestroy, 144, 120},      {OptixEntry::ProgramGroupCreate, 192, 144},
        {OptixEntry::ProgramGroupDestroy, 200, 152}, {OptixEntry::ProgramGroupGetStackSize, 208, 160},
        {OptixEntry::PipelineCreate, 216, 168},     {OptixEntry::PipelineDestroy, 224, 176},
        {OptixEntry::PipelineSetStackSize, 240, 184}, {OptixEntry::AccelComputeMemoryUsage, 256, 192},
        {OptixEntry::AccelBuild, 264, 200},         {OptixEntry::SbtRecordPackHeader, 384, 320},
        {OptixEntry::Launch, 392, 328}};
    for (const Case& c : cases) {
        EXPECT_EQ(size_t(optix_slot(c.entry, 118)) * 8, c.offset118) << int(c.entry);
        EXPECT_EQ(size_t(optix_slot(c.entry, 105)) * 8, c.offset105) << int(c.entry);
    }
    EXPECT_EQ(optix_slot(OptixEntry::Launch, 93), -1);
    for (int e = 0; e < int(OptixEntry::Count); ++e) {
        EXPECT_LT(size_t(optix_slot(OptixEntry(e), 118)) * 8, kOptixTableBytes118);
        EXPECT_LT(size_t(optix_slot(OptixEntry(e), 105)) * 8, kOptixTableBytes105);
    }
}

// The layouts are pinned by static_asserts; the conversion must carry every field.
TEST(OptixLayer, PipelineOptionsConvertToTheAbi105Fields) {
    OptixPipelineCompileOptions o{};
    o.traversableGraphFlags = 2;
    o.numPayloadValues = 7;
    o.numAttributeValues = 3;
    o.exceptionFlags = 1;
    o.pipelineLaunchParamsVariableName = "params";
    o.usesPrimitiveTypeFlags = OPTIX_PRIMITIVE_TYPE_FLAGS_TRIANGLE;
    o.allowOpacityMicromaps = 1;
    o.allowClusteredGeometry = 1;
    const OptixPipelineCompileOptions105 n = to_abi105(o);
    EXPECT_EQ(std::vector<unsigned>({unsigned(n.traversableGraphFlags), unsigned(n.numPayloadValues),
                                     unsigned(n.numAttributeValues), unsigned(n.exceptionFlags),
                                     unsigned(n.usesPrimitiveTypeFlags), unsigned(n.allowOpacityMicromaps),
                                     unsigned(n.allowClusteredGeometry)}),
              std::vector<unsigned>({2, 7, 3, 1, 0x80000000u, 1, 1}));
    EXPECT_STREQ(n.pipelineLaunchParamsVariableName, "params");
}

// A scripted driver: serves the listed ABIs, or refuses 118 with a table size
// mismatch; records every query as (abi, table bytes).
std::vector<int> g_served;
bool g_wrong_size_for_118 = false;
std::vector<std::pair<int, size_t>> g_calls;

OptixResult scripted_query(int abi, unsigned, void*, const void**, void*, size_t bytes) {
    g_calls.push_back({abi, bytes});
    if (g_wrong_size_for_118 && abi == 118)
        return OPTIX_ERROR_FUNCTION_TABLE_SIZE_MISMATCH;
    for (int a : g_served)
        if (a == abi) return OPTIX_SUCCESS;
    return OPTIX_ERROR_UNSUPPORTED_ABI_VERSION;
}

TEST(OptixLayer, FillAsksFor118ThenFallsBackTo105OnlyOn7801) {
    struct Case {
        std::vector<int> served;
        bool wrong_size;
        int abi;  // 0: fill fails
        std::vector<std::pair<int, size_t>> calls;
    };
    const Case cases[] = {
        {{118, 105}, false, 118, {{118, 480}}},
        {{105}, false, 105, {{118, 480}, {105, 416}}},
        {{}, false, 0, {{118, 480}, {105, 416}}},
        {{105}, true, 0, {{118, 480}}},  // not a too-old driver: no second try
    };
    for (const Case& c : cases) {
        g_served = c.served;
        g_wrong_size_for_118 = c.wrong_size;
        g_calls.clear();
        OptixApi api;
        EXPECT_EQ(api.fill(scripted_query), c.abi != 0);
        EXPECT_EQ(api.abi(), c.abi);
        EXPECT_EQ(g_calls, c.calls);
    }
}

TEST(OptixLayer, ErrorsNameStepAndCodeAndTheLogShowsFatalAndErrorLevelsOnly) {
    try {  // calls through a table that was never loaded throw instead of jumping
        OptixApi().error_name(OptixResult(0));
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "OptiX: function table not loaded");
    }
    EXPECT_EQ(cuda_error_message(cudaErrorMemoryAllocation, "mesh verts"), "CUDA: mesh verts - out of memory");
    EXPECT_EQ(optix_error_message(OptixResult(7001), "gas build"), "OptiX: gas build (7001)");
    for (unsigned level = 0; level <= 5; ++level) {
        testing::internal::CaptureStderr();
        optix_log_callback(level, "TAG", "message text", nullptr);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  level == 1 || level == 2 ? "[OptiX][TAG] message text\n" : "") << "level " << level;
    }
}

}  // namespace
}  // namespace vorn
