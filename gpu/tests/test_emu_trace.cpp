// The trace probe on the emulated device, under both ABIs: every hit and miss
// of a two-level instanced scene against a double-precision brute force and
// against the CPU scene's trace_ray, and again after an instance has moved.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "embree/scene_manager.h"
#include "gpu/optix_api.h"
#include "gpu/tests/probe_pipeline.h"
#include "gpu/tests/scene_fixture.h"

namespace vorn::test {
namespace {

using probe::ProbeHit;
using probe::ProbeRay;

constexpr float kTmin = 1e-4f, kTmax = 1e16f;

float distance(float3 a, float3 b) { return length(a - b); }

void fill_cpu_scene(const TestScene& s, embree::EmbreeSceneManager* cpu) {
    for (const Mesh& m : s.meshes) cpu->add_mesh(m.vertices, {}, m.indices, 0);
    for (const Instance& inst : s.instances) cpu->add_instance(inst.mesh_id, inst.xform);
    cpu->build();
}

// Everything the probe reports for ray i must follow from the reference hit.
void expect_matches(const TestScene& s, const std::vector<ProbeRay>& rays,
                    const std::vector<ProbeHit>& hits, const probe::ProbeTally& tally,
                    const embree::EmbreeSceneManager& cpu) {
    int checked_hits = 0, checked_misses = 0;
    uint32_t ref_hits = 0;
    double t_sum = 0;
    for (size_t i = 0; i < rays.size(); ++i) {
        const ProbeRay& r = rays[i];
        const ProbeHit& h = hits[i];
        const RefHit ref = reference_trace(s, r, kTmin);
        const embree::RayHit c = cpu.trace_ray(r.origin, r.direction);
        SCOPED_TRACE("ray " + std::to_string(i) + " type " + std::to_string(r.ray_type));
        EXPECT_EQ(h.launch_linear, i);
        EXPECT_EQ(h.world_origin.x, r.origin.x);
        EXPECT_EQ(h.world_direction.z, r.direction.z);
        EXPECT_EQ(c.hit, ref.hit);
        if (!ref.hit) {
            EXPECT_EQ(h.record_tag, 9000u + r.ray_type);
            EXPECT_EQ(h.payload_tag, 9000u + r.ray_type);
            EXPECT_EQ(h.payload_token, uint32_t(i) * 16u + probe::kTokenMiss);
            EXPECT_EQ(h.t, kTmax);
            ++checked_misses;
            continue;
        }
        const int mesh = s.instances[size_t(ref.instance)].mesh_id;
        ++ref_hits;
        t_sum += h.t;
        EXPECT_NEAR(h.t, ref.t, 1e-5 * ref.t);
        EXPECT_NEAR(h.t, c.t, 1e-6 * ref.t);
        EXPECT_EQ(h.payload_token, uint32_t(i) * 16u + probe::kTokenHit);
        EXPECT_EQ(h.payload_tag, h.record_tag);
        uint32_t t_bits;
        std::memcpy(&t_bits, &h.t, 4);
        EXPECT_EQ(h.payload_t_bits, t_bits);
        EXPECT_EQ(h.sbt_gas_index, 0u);
        EXPECT_LE(h.b1 + h.b2, 1.0f + 1e-6f);
        // Barycentric point through the instance transform = the ray point,
        // and the ray point through the inverse = the object-space point.
        const float3 p = r.origin + r.direction * h.t;
        EXPECT_LT(distance(h.bary_point, p), 2e-5f * (1.0f + length(p)));
        EXPECT_LT(distance(h.object_point, h.object_bary_point),
                  2e-4f * (1.0f + length(h.object_bary_point)));
        if (ref.ambiguous) continue;  // a shared edge: either triangle is right
        EXPECT_EQ(int(h.instance_id), ref.instance);
        EXPECT_EQ(int(h.instance_index), ref.instance);
        EXPECT_EQ(int(h.prim), ref.prim);
        EXPECT_EQ(h.record_tag, 100u * unsigned(mesh) + r.ray_type);
        EXPECT_EQ(c.instance_id, ref.instance);
        EXPECT_EQ(c.prim_id, ref.prim);
        EXPECT_NEAR(h.b1, ref.b1, 1e-4);
        EXPECT_NEAR(h.b2, ref.b2, 1e-4);
        EXPECT_EQ(h.front, ref.front ? 1u : 0u);
        EXPECT_EQ(h.hit_kind, ref.front ? 0xFEu : 0xFFu);
        ++checked_hits;
    }
    // Every closest-hit invocation added to the tallies from whichever
    // worker thread ran it; the float sum may differ by its rounding order.
    EXPECT_EQ(tally.hits, ref_hits);
    EXPECT_NEAR(tally.t_sum_d, t_sum, 1e-9 * t_sum);
    EXPECT_NEAR(tally.t_sum, t_sum, 2e-4 * t_sum);
    // The rays are aimed at the scene: most hit, every 17th goes up and misses.
    EXPECT_GT(checked_hits, int(rays.size()) / 2);
    EXPECT_GE(checked_misses, int(rays.size()) / 17);
}

class EmuTrace : public testing::TestWithParam<int> {
protected:
    void SetUp() override {
        const char* old = std::getenv("VORN_OPTIX_EMU_ABIS");
        saved_ = old ? old : "";
        had_ = old != nullptr;
        setenv("VORN_OPTIX_EMU_ABIS", std::to_string(GetParam()).c_str(), 1);
    }
    void TearDown() override {
        if (had_)
            setenv("VORN_OPTIX_EMU_ABIS", saved_.c_str(), 1);
        else
            unsetenv("VORN_OPTIX_EMU_ABIS");
    }
    std::string saved_;
    bool had_ = false;
};

TEST_P(EmuTrace, InstancedSceneMatchesReferenceAndCpuScene) {
    OptiXContext ctx(0);
    ASSERT_EQ(optix_api().abi(), GetParam());
    const TestScene s = make_test_scene();
    ProbePipeline pipeline(ctx, read_text(test_ptx_dir() + "/trace_probe.ptx"));
    ProbeScene gpu(ctx, pipeline, s.meshes, s.instances);
    embree::EmbreeSceneManager cpu;
    fill_cpu_scene(s, &cpu);
    const std::vector<ProbeRay> rays = make_rays(1500, 7);
    // A width that leaves the last launch row partly beyond the rays.
    probe::ProbeTally tally{};
    const std::vector<ProbeHit> hits = gpu.trace(rays, 37, kTmin, kTmax, &tally);
    expect_matches(s, rays, hits, tally, cpu);
}

TEST_P(EmuTrace, MovedInstanceIsTracedAfterRefit) {
    OptiXContext ctx(0);
    TestScene s = make_test_scene();
    ProbePipeline pipeline(ctx, read_text(test_ptx_dir() + "/trace_probe.ptx"));
    ProbeScene gpu(ctx, pipeline, s.meshes, s.instances);
    embree::EmbreeSceneManager cpu;
    fill_cpu_scene(s, &cpu);
    // The tetrahedron moves onto the mirrored octahedron's side, larger.
    const float axis[4] = {0, 1, 0, 0.9f}, scale[3] = {1.1f, 1.1f, 1.1f},
                at[3] = {1.0f, 1.0f, 0.6f};
    make_xform(s.instances[1].xform, axis, scale, at);
    gpu.move_instance(1, s.instances[1].xform);
    cpu.update_instance_transform(1, s.instances[1].xform);
    cpu.refit_ias();
    const std::vector<ProbeRay> rays = make_rays(800, 11);
    probe::ProbeTally tally{};
    const std::vector<ProbeHit> hits = gpu.trace(rays, 64, kTmin, kTmax, &tally);
    expect_matches(s, rays, hits, tally, cpu);
}

INSTANTIATE_TEST_SUITE_P(Abi, EmuTrace, testing::Values(118, 105));

}  // namespace
}  // namespace vorn::test
