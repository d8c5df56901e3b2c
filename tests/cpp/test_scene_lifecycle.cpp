// CPU scene lifecycle: building, rebuilding, moving instances, reuse of the
// acceleration structures, counts, max_height and the geometry checks that
// keep a build from reading through bad indices.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "tests/cpp/scene_test_util.h"

namespace vorn::test {
namespace {

bool hits_instance(const EmbreeSceneManager& s, float3 o, int instance) {
    const RayHit h = s.trace_ray(o, {0, 0, -1});
    return h.hit && h.instance_id == instance;
}

TEST(SceneLifecycle, UpdateAndRefitErrors) {
    const std::string msg = "update_instance_transform: id out of range";
    const Xform m = translation(1, 2, 3);
    EmbreeSceneManager s;
    EXPECT_EQ(error_of([&] { s.update_instance_transform(0, m.data()); }), msg);
    add_unit_triangle(s);
    s.add_instance(0, m.data());
    s.add_instance(0, m.data());
    const std::string refit = "refit_ias: scene not built. Call build() first.";
    EXPECT_EQ(error_of([&] { s.refit_ias(); }), refit);
    EXPECT_FALSE(s.is_built());
    for (bool built : {false, true}) {
        if (built) s.build();
        for (int bad : {-1, 2})
            EXPECT_EQ(error_of([&] { s.update_instance_transform(bad, m.data()); }), msg)
                << "id " << bad << (built ? " built" : " unbuilt");
    }
    EXPECT_EQ(error_of([&] { s.refit_ias(); }), "");
}

TEST(SceneLifecycle, UpdateBeforeBuildStoresAndRefitMovesTheHit) {
    EmbreeSceneManager s;
    add_unit_triangle(s);
    s.add_instance(0, identity_xform().data());
    s.add_instance(0, identity_xform().data());
    s.update_instance_transform(1, translation(0, 10, 0).data());  // kept for the build
    s.build();
    ASSERT_TRUE(hits_instance(s, {0.25f, 0.25f, 1}, 0));
    ASSERT_TRUE(hits_instance(s, {0.25f, 10.25f, 1}, 1));
    // Move instance 0 down and stand instance 1 upright (about x: normal -y).
    s.update_instance_transform(0, translation(3, 0, -2).data());
    s.update_instance_transform(1, Xform{1, 0, 0, 0, 0, 0, -1, 20, 0, 1, 0, 0}.data());
    s.refit_ias();
    EXPECT_TRUE(s.is_built());
    EXPECT_FALSE(s.trace_ray({0.25f, 0.25f, 1}, {0, 0, -1}).hit);
    const RayHit h = s.trace_ray({3.25f, 0.25f, 1}, {0, 0, -1});
    ASSERT_TRUE(h.hit);
    EXPECT_EQ(h.instance_id, 0);
    EXPECT_NEAR(h.t, 3.0f, 1e-5);
    const RayHit u = s.trace_ray({0.25f, 15, 0.25f}, {0, 1, 0});
    ASSERT_TRUE(u.hit);
    EXPECT_EQ(u.instance_id, 1);
    EXPECT_NEAR(u.t, 5.0f, 1e-5);
    expect_near3(u.geometric_normal, {0, -1, 0}, 1e-6, "upright normal");
    EXPECT_FALSE(u.back_face);
}

TEST(SceneLifecycle, GeomIdEqualsIndexAfterEveryBuild) {
    EmbreeSceneManager s;
    add_unit_triangle(s);
    add_unit_cube(s);
    for (int i = 0; i < 5; ++i) s.add_instance(i % 2, float(i), 0, 0, 1);
    EXPECT_EQ(s.instances[4].geom_id, kInvalidGeomId);
    for (int round = 0; round < 3; ++round) {
        s.build();
        ASSERT_EQ(s.instance_infos().size(), s.instances.size());
        for (size_t i = 0; i < s.instances.size(); ++i) {
            EXPECT_EQ(s.instances[i].geom_id, uint32_t(i)) << "round " << round;
            EXPECT_EQ(s.instance_infos()[i].mesh_id, int(i % 2)) << "round " << round;
        }
        s.add_instance(int(s.instances.size() % 2), 10.0f + round, 0, 0, 1);
    }
}

TEST(SceneLifecycle, TriangleCountsFollowInstances) {
    EmbreeSceneManager s;
    EXPECT_EQ(s.total_triangles(), 0u);
    add_strip(s, 10);
    s.add_instance(0, 0, 0, 0, 1);
    s.add_instance(0, 0, 5, 0, 1);
    EXPECT_EQ(s.instance_triangle_counts(), (std::vector<int>{10, 10}));
    EXPECT_EQ(s.total_triangles(), 20u);
    add_unit_cube(s);  // 12 triangles; meshes without instances do not count
    EXPECT_EQ(s.total_triangles(), 20u);
    s.add_instance(1, 0, 0, 0, 1);
    EXPECT_EQ(s.instance_triangle_counts(), (std::vector<int>{10, 10, 12}));
    EXPECT_EQ(s.total_triangles(), 32u);
}

TEST(SceneLifecycle, MaxHeightIsTheHighestWorldCornerNeverBelowZero) {
    const struct {
        std::vector<Xform> placements;  // instances of the unit cube
        double expected;
    } cases[] = {{{translation(0, 0, -5)}, 0.0},
                 {{translation(0, 0, 5)}, 6.0},
                 // About x by 45 degrees: z' = (y + z) / sqrt 2, largest at y = z = 1.
                 {{translation(3, 4, -0.25f),
                   Xform{1, 0, 0, 0, 0, float(M_SQRT1_2), -float(M_SQRT1_2), 0, 0,
                         float(M_SQRT1_2), float(M_SQRT1_2), 1},
                   translation(9, 9, 0.5f)},
                  1.0 + std::sqrt(2.0)}};
    for (const auto& c : cases) {
        EmbreeSceneManager s;
        add_unit_cube(s);
        s.add_mesh({}, {}, {}, 0);  // no vertices: no box, so it must not count
        s.add_instance(1, 0, 0, 1e6f, 1);
        for (const Xform& m : c.placements) s.add_instance(0, m.data());
        EXPECT_EQ(s.max_height(), 0.0f) << "computed by build only";
        s.build();
        EXPECT_NEAR(s.max_height(), c.expected, 1e-5) << "expected " << c.expected;
    }
}

// A build that finds bad geometry throws and leaves the scene as it was, built
// or not. Each case adds an instance of mesh `mesh`, or else a second mesh.
TEST(SceneLifecycle, BuildRejectsBadGeometryAndKeepsTheScene) {
    const struct {
        int mesh;
        std::vector<float3> normals;
        std::vector<int3> idx;
        std::string message;
    } cases[] = {
        {3, {}, {}, "build: instance 1 refers to mesh 3 but the scene has 1 meshes"},
        {-1, {}, {}, "build: instance 1 refers to mesh -1 but the scene has 1 meshes"},
        {0,
         {{0, 0, 1}, {0, 0, 1}},
         {{0, 1, 2}},
         "build: mesh 1 has 2 normals for 3 vertices (expected none or one per vertex)"},
        {0,
         {},
         {{0, 1, 2}, {1, 2, 3}},
         "build: mesh 1 triangle 1 indexes a vertex outside [0, 3)"},
        {0,
         {},
         {{0, -1, 2}},
         "build: mesh 1 triangle 0 indexes a vertex outside [0, 3)"}};
    for (const auto& c : cases) {
        auto spoil = [&](EmbreeSceneManager& s) {
            if (c.idx.empty())
                s.add_instance(c.mesh, 0, 0, 0, 1);
            else
                s.add_mesh({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, c.normals, c.idx, 0);
        };
        const std::string& message = c.message;
        EmbreeSceneManager fresh;
        add_unit_triangle(fresh);
        fresh.add_instance(0, 0, 0, 0, 1);
        spoil(fresh);
        EXPECT_EQ(error_of([&] { fresh.build(); }), message);
        EXPECT_FALSE(fresh.is_built()) << message;
        EmbreeSceneManager s;
        add_unit_triangle(s);
        s.add_instance(0, 0, 0, 3, 1);
        s.build();
        spoil(s);
        EXPECT_EQ(error_of([&] { s.build(); }), message);
        EXPECT_TRUE(s.is_built()) << message;
        EXPECT_EQ(s.instance_infos().size(), 1u) << message;
        EXPECT_EQ(s.max_height(), 3.0f) << message;
        EXPECT_TRUE(hits_instance(s, {0.25f, 0.25f, 5}, 0)) << message;
    }
}

// clear_for_reuse forgets appearance only; build_reuse_gas then keeps the
// geometry but measures max_height afresh, which refit_ias does not.
TEST(SceneReuse, ClearForReuseThenBuildReuseGas) {
    EmbreeSceneManager s;
    add_unit_cube(s, 1);
    s.add_instance(0, 0, 0, -5, 1);
    EXPECT_EQ(error_of([&] { s.build_reuse_gas(); }),
              "build_reuse_gas: scene not built. Call build() first.");
    EXPECT_FALSE(s.is_built());
    s.add_material(MaterialType::Leaf, 1);
    s.upload_spectral_params({0.1f, 0.2f, 0.3f, 0.4f});
    s.set_num_bands(2);
    s.set_sky(0);
    s.set_emitter(EmitterType::Sun, {0, 0.6f, 0.8f}, 2);
    s.set_thermal_mode(true, {500, 600});
    s.build();
    EXPECT_EQ(s.max_height(), 0.0f);
    s.update_instance_transform(0, translation(0, 0, 5).data());
    s.refit_ias();
    EXPECT_EQ(s.max_height(), 0.0f);
    s.clear_for_reuse();
    EXPECT_TRUE(s.materials.empty() && s.spectral_params.empty());
    EXPECT_EQ(s.sky.sky_offset, -1);
    const EmitterData zero{};
    EXPECT_EQ(0, std::memcmp(&s.emitter, &zero, sizeof zero));
    EXPECT_TRUE(s.is_built());
    EXPECT_EQ(s.num_bands, 2);
    EXPECT_EQ(s.wavelengths, (std::vector<float>{500, 600}));
    s.build_reuse_gas();
    EXPECT_NEAR(s.max_height(), 6.0f, 1e-6);
    EXPECT_EQ(s.instances[0].geom_id, 0u);
    const RayHit h = s.trace_ray({0.5f, 0.5f, 10}, {0, 0, -1});
    EXPECT_NEAR(h.t, 4.0f, 1e-5);
    EXPECT_EQ(h.material_id, 1);
}

}  // namespace
}  // namespace vorn::test
