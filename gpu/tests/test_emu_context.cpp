// OptiXContext on the host emulation: free memory as allocations come and go,
// and the log callback the context installs.
#include <gtest/gtest.h>

#include "gpu/device_buffer.h"
#include "gpu/optix_context.h"
#include "gpu/tests/probe_pipeline.h"

namespace vorn::test {
namespace {

TEST(EmuContext, FreeMemoryFollowsAllocations) {
    OptiXContext ctx(0);
    EXPECT_EQ(ctx.total_vram_mb(), 24576u);  // the emulated device's 24 GiB
    const uint64_t before = ctx.free_vram_mb();
    EXPECT_EQ(before, ctx.total_vram_mb());  // nothing allocated yet
    for (uint64_t mib : {1u, 64u}) {
        DeviceBuffer b;
        b.alloc(mib << 20, "test alloc");
        EXPECT_EQ(ctx.free_vram_mb(), before - mib) << mib << " MiB";
        b.release();
        EXPECT_EQ(ctx.free_vram_mb(), before) << mib << " MiB";
    }
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
}  // namespace vorn::test
