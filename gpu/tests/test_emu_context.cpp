// OptiXContext on the host emulation: device properties and memory, the
// failures of the constructor, the ABI fallback and the log callback.
#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>
#include <string>

#include "gpu/device_buffer.h"
#include "gpu/optix_api.h"
#include "gpu/optix_context.h"

namespace vorn {
namespace {

/// Sets (or unsets, for null) one environment variable for a scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        const char* old = std::getenv(name);
        had_ = old != nullptr;
        if (had_) old_ = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (had_)
            setenv(name_, old_.c_str(), 1);
        else
            unsetenv(name_);
    }

private:
    const char* name_;
    bool had_ = false;
    std::string old_;
};

std::string construction_error(int device_id) {
    try {
        OptiXContext ctx(device_id);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

// The emulated device: 24 GiB, compute capability 8.6 (cuda_runtime_emu.cpp).
TEST(EmuContext, ReportsTheEmulatedDevice) {
    OptiXContext ctx(0);
    EXPECT_EQ(ctx.device_name(), "VORN emulated device");
    EXPECT_EQ(ctx.total_vram_mb(), 25769803776ull >> 20);
    EXPECT_EQ(ctx.total_vram_mb(), 24576u);
    EXPECT_EQ(ctx.compute_capability_major(), 8);
    EXPECT_EQ(ctx.compute_capability_minor(), 6);
    EXPECT_EQ(ctx.device_id(), 0);
    EXPECT_NE(ctx.context(), nullptr);
    EXPECT_NE(ctx.stream(), nullptr);
}

TEST(EmuContext, FreeMemoryFollowsAllocations) {
    OptiXContext ctx(0);
    const uint64_t before = ctx.free_vram_mb();
    EXPECT_EQ(before, ctx.total_vram_mb());  // nothing allocated yet
    for (uint64_t mib : {1u, 5u, 64u}) {
        DeviceBuffer b;
        b.alloc(mib << 20, "test alloc");
        EXPECT_EQ(ctx.free_vram_mb(), before - mib) << mib << " MiB";
        b.release();
        EXPECT_EQ(ctx.free_vram_mb(), before) << mib << " MiB";
    }
}

TEST(EmuContext, BadDeviceIdFailsAtSetDevice) {
    for (int id : {1, 99, -1}) {
        EXPECT_EQ(construction_error(id),
                  "Failed to set CUDA device: invalid device ordinal")
            << "device " << id;
    }
}

TEST(EmuContext, FallsBackToAbi105WhenTheDriverRefuses118) {
    {
        ScopedEnv abis("VORN_OPTIX_EMU_ABIS", "105");
        OptiXContext ctx(0);
        EXPECT_EQ(optix_api().abi(), 105);
    }
    {
        ScopedEnv abis("VORN_OPTIX_EMU_ABIS", nullptr);
        OptiXContext ctx(0);
        EXPECT_EQ(optix_api().abi(), 118);
    }
}

TEST(EmuContext, NoServedAbiMeansOptixCannotBeInitialized) {
    ScopedEnv abis("VORN_OPTIX_EMU_ABIS", "");
    EXPECT_EQ(construction_error(0), "Failed to initialize OptiX");
}

TEST(EmuContext, AFailedConstructionLeavesEarlierContextsWorking) {
    OptiXContext first(0);
    {
        ScopedEnv abis("VORN_OPTIX_EMU_ABIS", "");
        EXPECT_EQ(construction_error(0), "Failed to initialize OptiX");
    }
    unsigned depth = 0;
    ASSERT_EQ(
        optix_api().device_context_get_property(
            first.context(), OPTIX_DEVICE_PROPERTY_LIMIT_MAX_TRACE_DEPTH, &depth, 4),
        OPTIX_SUCCESS);
    EXPECT_EQ(depth, 31u);
}

TEST(EmuContext, LogCallbackShowsFatalAndErrorMessagesOnly) {
    ScopedEnv log("VORN_OPTIX_EMU_LOG",
                  "1:FATAL:first;2:ERR:second;3:WARN:third;4:PRINT:fourth");
    testing::internal::CaptureStderr();
    { OptiXContext ctx(0); }
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[OptiX][FATAL] first\n[OptiX][ERR] second\n");
}

}  // namespace
}  // namespace vorn
