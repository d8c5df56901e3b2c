// The benchmark canopy: every CPU benchmark relies on it being deterministic,
// valid for the engines with its band count, and shaped as documented.
#include <gtest/gtest.h>

#include <cstring>

#include "bench/canopy_scene.h"
#include "tests/cpp/scene_test_util.h"

namespace vorn::test {
namespace {

TEST(CanopyScene, DeterministicValidAndShapedAsDocumented) {
    bench::CanopyOptions o;
    o.num_instances = 60;
    o.num_bands = 5;
    EmbreeSceneManager s, again;
    const bench::CanopyScene c = bench::make_canopy_scene(s, o);
    bench::make_canopy_scene(again, o);
    EXPECT_EQ(error_of([&] { s.validate_for_engine(o.num_bands, "bench"); }), "");
    ASSERT_EQ(s.meshes.size(), size_t(1 + o.num_leaf_meshes));
    ASSERT_EQ(again.meshes.size(), s.meshes.size());
    for (size_t m = 0; m < s.meshes.size(); ++m) {
        const auto &a = s.meshes[m].vertices, &b = again.meshes[m].vertices;
        ASSERT_EQ(a.size(), b.size());
        EXPECT_EQ(0, std::memcmp(a.data(), b.data(), a.size() * sizeof(float3))) << m;
    }
    EXPECT_EQ(s.spectral_params, again.spectral_params);
    ASSERT_EQ(s.num_instances(), 1 + o.num_instances);
    ASSERT_EQ(again.instances.size(), s.instances.size());
    EXPECT_EQ(s.instances[size_t(c.ground_instance)].mesh_id, 0);
    for (size_t i = 0; i < s.instances.size(); ++i)
        EXPECT_EQ(0, std::memcmp(s.instances[i].xform, again.instances[i].xform, 48))
            << i;
    // Crown centres 2.5..6 m high, crown half height 1.2 m, scale up to 1.2.
    EXPECT_GT(c.top, 2.5f);
    EXPECT_LE(c.top, 6.0f + 1.2f * 1.2f + 1e-4f);
}

}  // namespace
}  // namespace vorn::test
