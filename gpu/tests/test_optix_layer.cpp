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

struct SlotCase {
    OptixEntry entry;
    size_t offset118, offset105;  // byte offsets in the two tables
};

// Offsets as the ABI notes list them (8 bytes per slot).
const SlotCase kSlotCases[] = {
    {OptixEntry::GetErrorName, 0, 0},
    {OptixEntry::DeviceContextCreate, 16, 16},
    {OptixEntry::DeviceContextDestroy, 24, 24},
    {OptixEntry::ModuleCreate, 96, 96},
    {OptixEntry::ModuleDestroy, 144, 120},
    {OptixEntry::ProgramGroupCreate, 192, 144},
    {OptixEntry::ProgramGroupDestroy, 200, 152},
    {OptixEntry::ProgramGroupGetStackSize, 208, 160},
    {OptixEntry::PipelineCreate, 216, 168},
    {OptixEntry::PipelineDestroy, 224, 176},
    {OptixEntry::PipelineSetStackSize, 240, 184},
    {OptixEntry::AccelComputeMemoryUsage, 256, 192},
    {OptixEntry::AccelBuild, 264, 200},
    {OptixEntry::SbtRecordPackHeader, 384, 320},
    {OptixEntry::Launch, 392, 328},
};

TEST(OptixLayer, SlotsSitAtTheDocumentedOffsetsOfBothTables) {
    for (const SlotCase& c : kSlotCases) {
        EXPECT_EQ(size_t(optix_slot(c.entry, 118)) * 8, c.offset118)
            << "entry " << int(c.entry);
        EXPECT_EQ(size_t(optix_slot(c.entry, 105)) * 8, c.offset105)
            << "entry " << int(c.entry);
    }
    EXPECT_EQ(optix_slot(OptixEntry::Launch, 93), -1);
    for (int e = 0; e < int(OptixEntry::Count); ++e) {
        EXPECT_LT(size_t(optix_slot(OptixEntry(e), 118)) * 8, kOptixTableBytes118);
        EXPECT_LT(size_t(optix_slot(OptixEntry(e), 105)) * 8, kOptixTableBytes105);
    }
}

TEST(OptixLayer, PipelineOptionsConvertToTheAbi105Layout) {
    OptixPipelineCompileOptions o{};
    o.usesMotionBlur = 0;
    o.traversableGraphFlags = 2;
    o.numPayloadValues = 7;
    o.numAttributeValues = 3;
    o.exceptionFlags = 1;
    o.pipelineLaunchParamsVariableName = "params";
    o.pipelineLaunchParamsSizeInBytes = 904;
    o.usesPrimitiveTypeFlags = OPTIX_PRIMITIVE_TYPE_FLAGS_TRIANGLE;
    o.allowOpacityMicromaps = 1;
    o.allowClusteredGeometry = 1;
    const OptixPipelineCompileOptions105 n = to_abi105(o);
    unsigned char bytes[48];
    std::memcpy(bytes, &n, sizeof bytes);
    auto u32_at = [&](size_t off) {
        uint32_t v;
        std::memcpy(&v, bytes + off, 4);
        return v;
    };
    const char* name;
    std::memcpy(&name, bytes + 24, 8);
    // ABI 105: payload 8, attributes 12, exceptions 16, name 24, primitive
    // flags 32, opacity micromaps 36, clustered geometry 40.
    EXPECT_EQ(u32_at(4), 2u);
    EXPECT_EQ(u32_at(8), 7u);
    EXPECT_EQ(u32_at(12), 3u);
    EXPECT_EQ(u32_at(16), 1u);
    EXPECT_STREQ(name, "params");
    EXPECT_EQ(u32_at(32), 0x80000000u);
    EXPECT_EQ(u32_at(36), 1u);
    EXPECT_EQ(u32_at(40), 1u);
}

// ---- fallback, with scripted drivers --------------------------------------

struct Script {
    std::vector<int> served;  // ABIs the driver serves
    std::vector<std::pair<int, size_t>> calls;
    bool wrong_size_for_118 = false;
};
Script* g_script = nullptr;

OptixResult scripted_query(int abi, unsigned, void*, const void**, void* table,
                           size_t bytes) {
    g_script->calls.push_back({abi, bytes});
    if (g_script->wrong_size_for_118 && abi == 118)
        return OPTIX_ERROR_FUNCTION_TABLE_SIZE_MISMATCH;
    for (int a : g_script->served) {
        if (a != abi) continue;
        // Fill every slot with a marker naming slot and ABI.
        auto** slots = static_cast<void**>(table);
        for (size_t i = 0; i < bytes / 8; ++i)
            slots[i] = reinterpret_cast<void*>(abi * 1000 + i);
        return OPTIX_SUCCESS;
    }
    return OPTIX_ERROR_UNSUPPORTED_ABI_VERSION;
}

TEST(OptixLayer, FillAsksFor118ThenFallsBackTo105OnlyOn7801) {
    struct Case {
        std::vector<int> served;
        bool wrong_size;
        bool ok;
        int abi;
        std::vector<std::pair<int, size_t>> calls;
    };
    const Case cases[] = {
        {{118, 105}, false, true, 118, {{118, 480}}},
        {{105}, false, true, 105, {{118, 480}, {105, 416}}},
        {{}, false, false, 0, {{118, 480}, {105, 416}}},
        // Any other refusal of 118 is not a too-old driver: no second try.
        {{105}, true, false, 0, {{118, 480}}},
    };
    for (const Case& c : cases) {
        Script s{c.served, {}, c.wrong_size};
        g_script = &s;
        OptixApi api;
        EXPECT_EQ(api.fill(scripted_query), c.ok);
        EXPECT_EQ(api.abi(), c.abi);
        EXPECT_EQ(s.calls, c.calls);
    }
    g_script = nullptr;
}

TEST(OptixLayer, ErrorMessagesNameStepAndCode) {
    EXPECT_EQ(cuda_error_message(cudaErrorInvalidValue, "film zero"),
              "CUDA: film zero - invalid argument");
    EXPECT_EQ(optix_error_message(OptixResult(7001), "gas build"),
              "OptiX: gas build (7001)");
    try {
        optix_check(OPTIX_ERROR_LAUNCH_FAILURE, "launch");
        FAIL() << "optix_check let a failure through";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "OptiX: launch (7050)");
    }
    try {
        cuda_check(cudaErrorMemoryAllocation, "mesh verts");
        FAIL() << "cuda_check let a failure through";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "CUDA: mesh verts - out of memory");
    }
    EXPECT_NO_THROW(optix_check(OPTIX_SUCCESS, "x"));
    EXPECT_NO_THROW(cuda_check(cudaSuccess, "x"));
}

TEST(OptixLayer, LogCallbackPrintsOnlyFatalAndErrorLevels) {
    for (unsigned level = 0; level <= 5; ++level) {
        testing::internal::CaptureStderr();
        optix_log_callback(level, "TAG", "message text", nullptr);
        const std::string out = testing::internal::GetCapturedStderr();
        const bool shown = level == 1 || level == 2;
        EXPECT_EQ(out, shown ? "[OptiX][TAG] message text\n" : "") << "level " << level;
    }
}

}  // namespace
}  // namespace vorn
