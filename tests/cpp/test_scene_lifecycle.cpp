// CPU scene lifecycle: building, rebuilding, moving instances, reuse of the
// acceleration structures, counts, max_height and the geometry checks that
// keep a build from reading through bad indices.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "tests/cpp/scene_test_util.h"

namespace vorn::test {
namespace {

bool hits_instance(const EmbreeSceneManager& s, float3 o, int instance) {
    const RayHit h = s.trace_ray(o, {0, 0, -1});
    return h.hit && h.instance_id == instance;
}

TEST(SceneLifecycle, UpdateInstanceTransformRejectsIdsOutOfRange) {
    const std::string msg = "update_instance_transform: id out of range";
    const Xform m = translation(1, 2, 3);
    EmbreeSceneManager s;
    EXPECT_EQ(error_of([&] { s.update_instance_transform(0, m.data()); }), msg)
        << "no instances";
    add_unit_triangle(s);
    const Xform id = identity_xform();
    s.add_instance(0, id.data());
    s.add_instance(0, id.data());
    for (bool built : {false, true}) {
        if (built) s.build();
        for (int bad : {-1, 2, 1000})
            EXPECT_EQ(error_of([&] { s.update_instance_transform(bad, m.data()); }), msg)
                << "id " << bad << (built ? " built" : " unbuilt");
        for (const Instance& inst : s.instances)
            EXPECT_EQ(0, std::memcmp(inst.xform, id.data(), sizeof inst.xform));
    }
}

TEST(SceneLifecycle, RefitBeforeBuildFails) {
    EmbreeSceneManager s;
    const std::string msg = "refit_ias: scene not built. Call build() first.";
    EXPECT_EQ(error_of([&] { s.refit_ias(); }), msg);
    add_unit_triangle(s);
    const Xform id = identity_xform();
    s.add_instance(0, id.data());
    EXPECT_EQ(error_of([&] { s.refit_ias(); }), msg);
    EXPECT_FALSE(s.is_built());
    s.build();
    EXPECT_EQ(error_of([&] { s.refit_ias(); }), "");
}

TEST(SceneLifecycle, UpdateBeforeBuildOnlyStoresTheTransform) {
    EmbreeSceneManager s;
    add_unit_triangle(s);
    const Xform id = identity_xform(), moved = translation(5, 0, 0);
    s.add_instance(0, id.data());
    s.update_instance_transform(0, moved.data());
    EXPECT_FALSE(s.is_built());
    EXPECT_EQ(s.instances[0].geom_id, kInvalidGeomId);
    EXPECT_EQ(0, std::memcmp(s.instances[0].xform, moved.data(), sizeof moved));
    s.build();
    EXPECT_TRUE(hits_instance(s, {5.25f, 0.25f, 1}, 0));
    EXPECT_FALSE(s.trace_ray({0.25f, 0.25f, 1}, {0, 0, -1}).hit);
}

TEST(SceneLifecycle, UpdateThenRefitMovesTheHit) {
    EmbreeSceneManager s;
    add_unit_triangle(s);
    const Xform id = identity_xform();
    s.add_instance(0, id.data());
    s.add_instance(0, id.data());
    s.update_instance_transform(1, translation(0, 10, 0).data());
    s.build();
    ASSERT_TRUE(hits_instance(s, {0.25f, 0.25f, 1}, 0));

    // Move instance 0 and stand instance 1 upright (rotated about x: normal -y).
    const Xform upright = rotate_scale_translate({1, 0, 0}, 90, {1, 1, 1}, {0, 20, 0});
    s.update_instance_transform(0, translation(3, 0, -2).data());
    s.update_instance_transform(1, upright.data());
    s.refit_ias();
    EXPECT_TRUE(s.is_built());
    EXPECT_FALSE(s.trace_ray({0.25f, 0.25f, 1}, {0, 0, -1}).hit);
    const RayHit h = s.trace_ray({3.25f, 0.25f, 1}, {0, 0, -1});
    ASSERT_TRUE(h.hit);
    EXPECT_EQ(h.instance_id, 0);
    EXPECT_NEAR(h.t, 3.0f, 1e-5);
    EXPECT_FALSE(s.trace_ray({0.25f, 10.25f, 1}, {0, 0, -1}).hit);

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
    std::vector<int> mesh_of;
    for (int i = 0; i < 5; ++i) mesh_of.push_back(i % 2);
    for (int i = 0; i < 5; ++i) s.add_instance(mesh_of[size_t(i)], float(i), 0, 0, 1);
    for (const Instance& inst : s.instances) EXPECT_EQ(inst.geom_id, kInvalidGeomId);
    for (int round = 0; round < 3; ++round) {
        s.build();
        ASSERT_EQ(s.instance_infos().size(), s.instances.size());
        for (size_t i = 0; i < s.instances.size(); ++i) {
            EXPECT_EQ(s.instances[i].geom_id, uint32_t(i)) << "round " << round;
            EXPECT_EQ(s.instance_infos()[i].mesh_id, mesh_of[i]) << "round " << round;
        }
        mesh_of.push_back(round % 2);
        s.add_instance(mesh_of.back(), 10.0f + round, 0, 0, 1);
    }
}

TEST(SceneLifecycle, GeometryAddedAfterBuildWaitsForTheNextBuild) {
    EmbreeSceneManager s;
    add_unit_triangle(s);
    s.add_instance(0, 0, 0, 0, 1);
    s.build();
    s.add_instance(0, 5, 0, 0, 1);
    EXPECT_TRUE(s.is_built());
    EXPECT_FALSE(s.trace_ray({5.25f, 0.25f, 1}, {0, 0, -1}).hit);
    s.build();
    EXPECT_TRUE(hits_instance(s, {5.25f, 0.25f, 1}, 1));
}

TEST(SceneLifecycle, TriangleCountsFollowInstances) {
    EmbreeSceneManager s;
    EXPECT_TRUE(s.instance_triangle_counts().empty());
    EXPECT_EQ(s.total_triangles(), 0u);
    add_strip(s, 10);
    s.add_instance(0, 0, 0, 0, 1);
    s.add_instance(0, 0, 5, 0, 1);
    EXPECT_EQ(s.instance_triangle_counts(), (std::vector<int>{10, 10}));
    EXPECT_EQ(s.total_triangles(), 20u);
    add_unit_cube(s);  // 12 triangles; meshes without instances do not count
    add_strip(s, 3);
    EXPECT_EQ(s.total_triangles(), 20u);
    s.add_instance(2, 0, 0, 0, 1);
    s.add_instance(1, 0, 0, 0, 1);
    EXPECT_EQ(s.instance_triangle_counts(), (std::vector<int>{10, 10, 3, 12}));
    EXPECT_EQ(s.total_triangles(), 35u);
    EXPECT_EQ(s.num_instances(), 4);
}

struct HeightCase {
    const char* name;
    std::vector<Xform> placements;  // instances of the unit cube
    double expected;
};

void PrintTo(const HeightCase& c, std::ostream* os) { *os << c.name; }

class SceneMaxHeight : public ::testing::TestWithParam<HeightCase> {};

TEST_P(SceneMaxHeight, HighestWorldCornerNeverBelowZero) {
    const HeightCase c = GetParam();
    EmbreeSceneManager s;
    add_unit_cube(s);
    s.add_mesh({}, {}, {}, 0);  // no vertices: no box, so it must not count
    s.add_instance(1, 0, 0, 1e6f, 1);
    for (const Xform& m : c.placements) s.add_instance(0, m.data());
    EXPECT_EQ(s.max_height(), 0.0f) << "computed by build only";
    s.build();
    EXPECT_NEAR(s.max_height(), c.expected, 1e-5) << c.name;
}

const double kSqrt2 = std::sqrt(2.0);

INSTANTIATE_TEST_SUITE_P(
    Placements, SceneMaxHeight,
    ::testing::Values(
        HeightCase{"none", {}, 0.0},
        HeightCase{"below_ground", {translation(0, 0, -5)}, 0.0},
        HeightCase{"above_ground", {translation(0, 0, 5)}, 6.0},
        HeightCase{"straddling", {translation(3, 4, -0.25f)}, 0.75},
        HeightCase{
            "scaled", {rotate_scale_translate({0, 0, 1}, 0, {2, 2, 2}, {0, 0, 0})}, 2.0},
        // About x by 45 degrees: z' = y sin + z cos, largest at y = z = 1.
        HeightCase{"rotated_45",
                   {rotate_scale_translate({1, 0, 0}, 45, {1, 1, 1}, {0, 0, 1})},
                   1.0 + kSqrt2},
        // Upside down (z in [-1, 0]) and lifted by 0.5.
        HeightCase{"flipped",
                   {rotate_scale_translate({1, 0, 0}, 180, {1, 1, 1}, {0, 0, 0.5})},
                   0.5},
        HeightCase{"highest_of_several",
                   {translation(0, 0, -5), translation(0, 0, 2), translation(9, 9, 0.5f)},
                   3.0}),
    [](const ::testing::TestParamInfo<HeightCase>& i) {
        return std::string(i.param.name);
    });

// ---- build-time geometry checks ---------------------------------------------

struct BadGeometry {
    const char* name;
    std::function<void(EmbreeSceneManager&)> spoil;
    std::string message;
};

void PrintTo(const BadGeometry& c, std::ostream* os) { *os << c.name; }

class SceneBuildCheck : public ::testing::TestWithParam<BadGeometry> {};

TEST_P(SceneBuildCheck, RejectsAndLeavesTheSceneAsItWas) {
    const BadGeometry c = GetParam();
    {
        EmbreeSceneManager fresh;
        add_unit_triangle(fresh);
        fresh.add_instance(0, 0, 0, 0, 1);
        c.spoil(fresh);
        EXPECT_EQ(error_of([&] { fresh.build(); }), c.message) << c.name;
        EXPECT_FALSE(fresh.is_built()) << c.name;
        EXPECT_TRUE(fresh.instance_infos().empty()) << c.name;
        for (const Instance& inst : fresh.instances)
            EXPECT_EQ(inst.geom_id, kInvalidGeomId);
    }
    EmbreeSceneManager s;
    add_unit_triangle(s);
    s.add_instance(0, 0, 0, 3, 1);
    s.build();
    c.spoil(s);
    EXPECT_EQ(error_of([&] { s.build(); }), c.message) << c.name;
    EXPECT_TRUE(s.is_built()) << c.name;
    EXPECT_EQ(s.instance_infos().size(), 1u) << c.name;
    EXPECT_EQ(s.max_height(), 3.0f) << c.name;
    EXPECT_TRUE(hits_instance(s, {0.25f, 0.25f, 5}, 0)) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Geometry, SceneBuildCheck,
    ::testing::Values(
        BadGeometry{"mesh_id_past_end",
                    [](EmbreeSceneManager& s) { s.add_instance(3, 0, 0, 0, 1); },
                    "build: instance 1 refers to mesh 3 but the scene has 1 meshes"},
        BadGeometry{"mesh_id_negative",
                    [](EmbreeSceneManager& s) { s.add_instance(-1, 0, 0, 0, 1); },
                    "build: instance 1 refers to mesh -1 but the scene has 1 meshes"},
        BadGeometry{"too_few_normals",
                    [](EmbreeSceneManager& s) {
                        s.add_mesh({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}},
                                   {{0, 0, 1}, {0, 0, 1}}, {{0, 1, 2}}, 0);
                    },
                    "build: mesh 1 has 2 normals for 3 vertices (expected none or one "
                    "per vertex)"},
        BadGeometry{"index_past_end",
                    [](EmbreeSceneManager& s) {
                        s.add_mesh({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {},
                                   {{0, 1, 2}, {1, 2, 3}}, 0);
                    },
                    "build: mesh 1 triangle 1 indexes a vertex outside [0, 3)"},
        BadGeometry{
            "index_negative",
            [](EmbreeSceneManager& s) {
                s.add_mesh({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {}, {{0, -1, 2}}, 0);
            },
            "build: mesh 1 triangle 0 indexes a vertex outside [0, 3)"}),
    [](const ::testing::TestParamInfo<BadGeometry>& i) {
        return std::string(i.param.name);
    });

// ---- reuse of built geometry -------------------------------------------------

TEST(SceneReuse, BuildReuseGasNeedsAPreviousBuild) {
    EmbreeSceneManager s;
    add_unit_cube(s);
    s.add_instance(0, 0, 0, 5, 1);
    EXPECT_EQ(error_of([&] { s.build_reuse_gas(); }),
              "build_reuse_gas: scene not built. Call build() first.");
    EXPECT_FALSE(s.is_built());
    EXPECT_EQ(s.max_height(), 0.0f);
}

TEST(SceneReuse, BuildReuseGasRecomputesMaxHeightAndKeepsGeometry) {
    EmbreeSceneManager s;
    add_unit_cube(s, 0);
    s.add_instance(0, 0, 0, -5, 1);
    s.build();
    EXPECT_EQ(s.max_height(), 0.0f);
    s.update_instance_transform(0, translation(0, 0, 5).data());
    s.refit_ias();
    EXPECT_EQ(s.max_height(), 0.0f) << "refit_ias does not recompute max_height";
    s.clear_for_reuse();
    s.add_material(MaterialType::Leaf, 0);
    s.build_reuse_gas();
    EXPECT_TRUE(s.is_built());
    EXPECT_NEAR(s.max_height(), 6.0f, 1e-6);
    EXPECT_EQ(s.instances[0].geom_id, 0u);
    const RayHit h = s.trace_ray({0.5f, 0.5f, 10}, {0, 0, -1});
    ASSERT_TRUE(h.hit);
    EXPECT_NEAR(h.t, 4.0f, 1e-5);
    expect_near3(h.geometric_normal, {0, 0, 1}, 1e-6, "cube top");
}

TEST(SceneReuse, ClearForReuseForgetsAppearanceOnly) {
    EmbreeSceneManager s;
    add_unit_triangle(s, 1);
    s.add_instance(0, 0, 0, 0, 1);
    s.add_material(MaterialType::Lambertian, 0);
    s.add_material(MaterialType::Leaf, 1);
    s.upload_spectral_params({0.1f, 0.2f, 0.3f, 0.4f});
    s.set_num_bands(2);
    s.set_sky(0);
    s.set_hw_sky(1, {0.6f, 0.0f, 0.8f});
    s.set_emitter(EmitterType::Sun, {0, 0.6f, 0.8f}, 2);
    SensorData sensor{};
    sensor.width = 64;
    s.set_sensor(sensor);
    s.set_repetitive(2, 10, 20);
    s.set_thermal_mode(true, {500, 600});
    s.build();
    s.clear_for_reuse();

    EXPECT_TRUE(s.materials.empty());
    EXPECT_TRUE(s.spectral_params.empty());
    EXPECT_EQ(s.sky.sky_offset, -1);
    EXPECT_EQ(s.sky.hw_sky_offset, -1);
    expect_near3(s.sky.hw_sky_sun, {0, 0, 1}, 0.0, "parametric sky sun");
    const EmitterData zero{};
    EXPECT_EQ(0, std::memcmp(&s.emitter, &zero, sizeof zero));
    // Geometry, sensor, band count, tile and thermal settings stay.
    EXPECT_TRUE(s.is_built());
    EXPECT_EQ(s.meshes.size(), 1u);
    EXPECT_EQ(s.num_instances(), 1);
    EXPECT_EQ(s.sensor.width, 64);
    EXPECT_EQ(s.num_bands, 2);
    EXPECT_EQ(s.tile.num_repetitions, 2);
    EXPECT_EQ(s.tile.scene_y_size, 20.0f);
    EXPECT_TRUE(s.thermal);
    EXPECT_EQ(s.wavelengths, (std::vector<float>{500, 600}));
    const RayHit h = s.trace_ray({0.25f, 0.25f, 1}, {0, 0, -1});
    ASSERT_TRUE(h.hit);
    EXPECT_EQ(h.material_id, 1);
}

}  // namespace
}  // namespace vorn::test
