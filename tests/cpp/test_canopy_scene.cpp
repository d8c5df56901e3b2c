// The benchmark canopy: every CPU benchmark relies on it being deterministic,
// valid for the engines with its band count, and shaped as documented.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "bench/canopy_scene.h"
#include "tests/cpp/scene_test_util.h"

namespace vorn::test {
namespace {

bench::CanopyOptions small_options() {
    bench::CanopyOptions o;
    o.num_instances = 60;
    o.num_bands = 5;
    return o;
}

TEST(CanopyScene, SameSeedSameScene) {
    EmbreeSceneManager a, b;
    bench::make_canopy_scene(a, small_options());
    bench::make_canopy_scene(b, small_options());
    ASSERT_EQ(a.meshes.size(), b.meshes.size());
    for (size_t m = 0; m < a.meshes.size(); ++m) {
        ASSERT_EQ(a.meshes[m].vertices.size(), b.meshes[m].vertices.size());
        EXPECT_EQ(0, std::memcmp(a.meshes[m].vertices.data(), b.meshes[m].vertices.data(),
                                 a.meshes[m].vertices.size() * sizeof(float3)));
    }
    ASSERT_EQ(a.instances.size(), b.instances.size());
    for (size_t i = 0; i < a.instances.size(); ++i)
        EXPECT_EQ(0, std::memcmp(a.instances[i].xform, b.instances[i].xform, 48))
            << "instance " << i;
    EXPECT_EQ(a.spectral_params, b.spectral_params);
}

TEST(CanopyScene, ShapedAsDocumentedAndValidForItsBands) {
    const bench::CanopyOptions o = small_options();
    EmbreeSceneManager s;
    const bench::CanopyScene c = bench::make_canopy_scene(s, o);
    EXPECT_TRUE(s.is_built());
    EXPECT_EQ(s.num_bands, o.num_bands);
    EXPECT_EQ(error_of([&] { s.validate_for_engine(o.num_bands, "bench"); }), "");
    ASSERT_EQ(s.meshes.size(), size_t(1 + o.num_leaf_meshes));
    ASSERT_EQ(s.materials.size(), size_t(1 + o.num_leaf_meshes));
    EXPECT_EQ(s.num_instances(), 1 + o.num_instances);
    EXPECT_EQ(s.instances[size_t(c.ground_instance)].mesh_id, 0);
    EXPECT_EQ(s.materials[0].type, MaterialType::Lambertian);
    for (int k = 1; k <= o.num_leaf_meshes; ++k) {
        const Mesh& m = s.meshes[size_t(k)];
        EXPECT_EQ(s.materials[size_t(m.material_id)].type, MaterialType::Leaf);
        EXPECT_EQ(m.normals.size(), m.vertices.size());
        EXPECT_GE(m.indices.size(), 0.45 * o.triangles_per_mesh) << "mesh " << k;
        EXPECT_LE(m.indices.size(), 1.55 * o.triangles_per_mesh) << "mesh " << k;
    }
    EXPECT_EQ(c.total_triangles, s.total_triangles());
    // Crown centres 2.5..6 m high, crown half height 1.2 m, scale up to 1.2.
    EXPECT_GT(c.top, 2.5f);
    EXPECT_LE(c.top, 6.0f + 1.2f * 1.2f + 1e-4f);
    EXPECT_GT(s.emitter.direction.z, 0.0f);
}

TEST(CanopyScene, RaySetsStartWhereDocumented) {
    EmbreeSceneManager s;
    const bench::CanopyScene c = bench::make_canopy_scene(s, small_options());
    const bench::RaySet cam = c.camera_rays(500, 3), in = c.inside_rays(500, 4);
    ASSERT_EQ(cam.size(), 500u);
    ASSERT_EQ(in.size(), 500u);
    int ground_hits = 0;
    for (size_t i = 0; i < cam.size(); ++i) {
        EXPECT_GT(cam.origin[i].z, c.top);
        // At most 20 degrees off nadir.
        EXPECT_LE(-cam.direction[i].z, 1.0f + 1e-6f);
        EXPECT_GE(-cam.direction[i].z, std::cos(20.0 * M_PI / 180.0) - 1e-4);
        EXPECT_NEAR(length(in.direction[i]), 1.0f, 1e-5);
        EXPECT_GE(in.origin[i].x, 0.0f);
        EXPECT_LE(in.origin[i].x, c.extent);
        const RayHit h = s.trace_ray(cam.origin[i], cam.direction[i]);
        ground_hits += h.hit && h.instance_id == c.ground_instance;
    }
    // A sparse canopy lets part of the camera rays reach the ground, not all.
    EXPECT_GT(ground_hits, 0);
    EXPECT_LT(ground_hits, 500);
}

}  // namespace
}  // namespace vorn::test
