// The GPU layer on the emulated device: the trace probe under both ABIs (every
// hit and miss of a two-level instanced scene, mirrored instances included,
// against the CPU scene's trace_ray), and what the context reports of memory
// and of the driver's log.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "embree/scene_manager.h"
#include "gpu/device_buffer.h"
#include "gpu/optix_api.h"
#include "gpu/tests/probe_pipeline.h"

namespace vorn::test {
namespace {

constexpr float kTmin = 1e-4f, kTmax = 1e16f;

void trace_and_compare(const TestScene& s, Probe& gpu, size_t num_rays, uint32_t seed,
                       unsigned width) {
    embree::EmbreeSceneManager cpu;
    for (const Mesh& m : s.meshes) cpu.add_mesh(m.vertices, {}, m.indices, 0);
    for (const Instance& inst : s.instances) cpu.add_instance(inst.mesh_id, inst.xform);
    cpu.build();
    const std::vector<probe::ProbeRay> rays = make_rays(num_rays, seed);
    probe::ProbeTally tally{};
    const std::vector<probe::ProbeHit> hits =
        gpu.trace(rays, width, kTmin, kTmax, &tally);
    uint32_t cpu_hits = 0;
    double t_sum = 0;
    for (size_t i = 0; i < rays.size(); ++i) {
        const probe::ProbeRay& r = rays[i];
        const probe::ProbeHit& h = hits[i];
        const embree::RayHit c = cpu.trace_ray(r.origin, r.direction);
        SCOPED_TRACE("ray " + std::to_string(i) + " type " + std::to_string(r.ray_type));
        EXPECT_EQ(h.launch_linear, i);
        const uint32_t token = c.hit ? probe::kTokenHit : probe::kTokenMiss;
        EXPECT_EQ(h.payload[0], uint32_t(i) * 16u + token);
        EXPECT_EQ(h.payload[1], h.record_tag);
        uint32_t t_bits;
        std::memcpy(&t_bits, &h.t, 4);
        EXPECT_EQ(h.payload[2], t_bits);
        if (!c.hit) {
            EXPECT_EQ(h.record_tag, 9000u + r.ray_type);
            EXPECT_EQ(h.t, kTmax);
            continue;
        }
        ++cpu_hits;
        t_sum += h.t;
        const Instance& inst = s.instances[size_t(c.instance_id)];
        EXPECT_NEAR(h.t, c.t, 1e-6 * c.t);
        EXPECT_EQ(int(h.instance_id), c.instance_id);
        EXPECT_EQ(int(h.instance_index), c.instance_id);
        EXPECT_EQ(int(h.prim), c.prim_id);
        EXPECT_EQ(h.sbt_gas_index, 0u);
        EXPECT_EQ(h.record_tag, 100u * unsigned(inst.mesh_id) + r.ray_type);
        // Both judge faces by the object-space winding, mirroring instances too.
        const bool front = !c.back_face;
        EXPECT_EQ(h.front, front ? 1u : 0u);
        EXPECT_EQ(h.hit_kind, front ? 0xFEu : 0xFFu);
        // The barycentric point through the instance transform is the ray
        // point, and the ray point through its inverse the object-space point.
        EXPECT_LE(h.b1 + h.b2, 1.0f + 1e-6f);
        const float3 p = r.origin + r.direction * h.t;
        EXPECT_LT(length(h.bary_point - p), 2e-5f * (1.0f + length(p)));
        EXPECT_LT(length(h.object_point - h.object_bary_point),
                  2e-4f * (1.0f + length(h.object_bary_point)));
    }
    // Every closest hit added to the tallies from whichever worker ran it; the
    // float sum may differ by its rounding order.
    EXPECT_EQ(tally.hits, cpu_hits);
    EXPECT_NEAR(tally.t_sum_d, t_sum, 1e-9 * t_sum);
    EXPECT_NEAR(tally.t_sum, t_sum, 2e-4 * t_sum);
    // Most rays hit; every 17th goes up and misses.
    EXPECT_GT(cpu_hits, rays.size() / 2);
    EXPECT_LE(cpu_hits, rays.size() - rays.size() / 17);
}

class EmuTrace : public testing::TestWithParam<int> {};

TEST_P(EmuTrace, InstancedSceneMatchesTheCpuScene) {
    ScopedEnv abis("VORN_OPTIX_EMU_ABIS", std::to_string(GetParam()).c_str());
    OptiXContext ctx(0);
    ASSERT_EQ(optix_api().abi(), GetParam());
    TestScene s = make_test_scene();
    Probe gpu(ctx, s);
    trace_and_compare(s, gpu, 1500, 7, 37);  // the last launch row partly beyond the rays
}

INSTANTIATE_TEST_SUITE_P(Abi, EmuTrace, testing::Values(118, 105));

TEST(EmuContext, FreeMemoryFollowsAllocationsAndTheLogShowsFatalAndErrorsOnly) {
    ScopedEnv log("VORN_OPTIX_EMU_LOG", "1:FATAL:first;2:ERR:second;3:WARN:third;4:PRINT:fourth");
    testing::internal::CaptureStderr();
    OptiXContext ctx(0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[OptiX][FATAL] first\n[OptiX][ERR] second\n");
    const uint64_t before = ctx.free_vram_mb();
    EXPECT_EQ(before, 24576u);  // the emulated device's 24 GiB, nothing allocated yet
    DeviceBuffer b;
    b.alloc(64u << 20, "test alloc");
    EXPECT_EQ(ctx.free_vram_mb(), before - 64);
    b.release();
    EXPECT_EQ(ctx.free_vram_mb(), before);
}

}  // namespace
}  // namespace vorn::test
