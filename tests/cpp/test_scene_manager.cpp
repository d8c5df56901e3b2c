// CPU scene ray queries: hit records, ray parameterisation, normals under
// instance transforms, shadow queries and concurrent use. Expected normals come
// from cross products of transformed vertices, never from the scene itself.
#include <gtest/gtest.h>

#include <ostream>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/cpp/scene_test_util.h"

namespace vorn::test {
namespace {

// One triangle, one ray that hits it at t = 1 and one that misses.
TEST(SceneQueries, MinimalTriangleHitAndMiss) {
    EmbreeSceneManager s;
    add_unit_triangle(s, 7);
    const Xform id = identity_xform();
    s.add_instance(0, id.data());
    s.build();

    const RayHit h = s.trace_ray({0.25f, 0.25f, 1.0f}, {0, 0, -1});
    ASSERT_TRUE(h.hit);
    EXPECT_FLOAT_EQ(h.t, 1.0f);
    expect_near3(h.position, {0.25, 0.25, 0.0}, 1e-6, "position");
    expect_near3(h.geometric_normal, {0, 0, 1}, 1e-6, "geometric normal");
    expect_near3(h.shading_normal, {0, 0, 1}, 1e-6,
                 "shading normal without mesh normals");
    EXPECT_FALSE(h.back_face);
    EXPECT_EQ(h.material_id, 7);
    EXPECT_EQ(h.prim_id, 0);
    EXPECT_EQ(h.instance_id, 0);
    EXPECT_FALSE(h.reserved);

    EXPECT_FALSE(s.trace_ray({1.0f, 1.0f, 1.0f}, {0, 0, -1}).hit);
}

void expect_all_zero(const RayHit& h, const char* what) {
    EXPECT_FALSE(h.hit) << what;
    EXPECT_EQ(h.t, 0.0f) << what;
    for (float3 v : {h.position, h.shading_normal, h.geometric_normal}) {
        EXPECT_EQ(v.x, 0.0f) << what;
        EXPECT_EQ(v.y, 0.0f) << what;
        EXPECT_EQ(v.z, 0.0f) << what;
    }
    EXPECT_EQ(h.material_id, 0) << what;
    EXPECT_EQ(h.prim_id, 0) << what;
    EXPECT_EQ(h.instance_id, 0) << what;
    EXPECT_FALSE(h.back_face) << what;
    EXPECT_FALSE(h.reserved) << what;
}

TEST(SceneQueries, MissRecordIsAllZero) {
    EmbreeSceneManager s;
    add_unit_triangle(s, 3);
    const Xform t = translation(5, 5, 5);
    s.add_instance(0, t.data());
    s.build();
    expect_all_zero(s.trace_ray({0, 0, 10}, {0, 0, -1}), "ray beside the triangle");
    expect_all_zero(s.trace_ray({5.25f, 5.25f, 10}, {0, 0, 1}),
                    "ray away from the triangle");

    EmbreeSceneManager empty;
    empty.build();
    expect_all_zero(empty.trace_ray({0, 0, 0}, {0, 0, 1}), "empty scene");
    EXPECT_FALSE(empty.trace_shadow({0, 0, 0}, {0, 0, 1}, 1e9f));

    EmbreeSceneManager no_instances;  // a mesh no instance refers to is invisible
    add_unit_triangle(no_instances);
    no_instances.build();
    expect_all_zero(no_instances.trace_ray({0.25f, 0.25f, 1}, {0, 0, -1}),
                    "no instances");
}

// Triangle copies at z = 0 (instance 0) and z = -1 (instance 1); the ray starts
// at height z0 over the first and the closest hit must lie beyond 1e-4.
struct TnearCase {
    float z0, dir_z;
    int instance;  // -1: miss
    float t;
};

void PrintTo(const TnearCase& c, std::ostream* os) {
    *os << "z0 " << c.z0 << " dir_z " << c.dir_z;
}

class SceneTnear : public ::testing::TestWithParam<TnearCase> {};

TEST_P(SceneTnear, HitsCloserThanTnearAreIgnored) {
    const TnearCase c = GetParam();
    EmbreeSceneManager s;
    add_unit_triangle(s);
    const Xform a = identity_xform(), b = translation(0, 0, -1);
    s.add_instance(0, a.data());
    s.add_instance(0, b.data());
    s.build();
    const float3 o{0.25f, 0.25f, c.z0}, d{0, 0, c.dir_z};
    const RayHit h = s.trace_ray(o, d);
    ASSERT_EQ(h.hit, c.instance >= 0) << "z0 " << c.z0 << " dir " << c.dir_z;
    if (c.instance >= 0) {
        EXPECT_EQ(h.instance_id, c.instance) << "z0 " << c.z0;
        EXPECT_NEAR(h.t, c.t, 1e-6) << "z0 " << c.z0;
    }
    // The shadow query shares tnear; with tfar 0.5 only the near copy can occlude.
    const bool blocked = c.instance >= 0 && c.t < 0.5f;
    EXPECT_EQ(s.trace_shadow(o, d, 0.5f), blocked) << "z0 " << c.z0 << " dir " << c.dir_z;
}

INSTANTIATE_TEST_SUITE_P(
    OnAndNearSurface, SceneTnear,
    ::testing::Values(TnearCase{0.0f, -1.0f, 1, 1.0f},       // on it, into it
                      TnearCase{0.0f, 1.0f, -1, 0.0f},       // on it, away
                      TnearCase{5e-5f, -1.0f, 1, 1.00005f},  // inside tnear
                      TnearCase{5e-5f, 1.0f, -1, 0.0f},
                      TnearCase{2e-4f, -1.0f, 0, 2e-4f},  // beyond tnear
                      TnearCase{1.0f, -1.0f, 0, 1.0f}));

TEST(SceneQueries, BackFaceTurnsBothNormalsTowardsTheOrigin) {
    EmbreeSceneManager s;
    // Shading normals tilted away from the face normal but on its side.
    add_unit_triangle(s, 0, {{0.3f, 0, 1}, {0, 0.3f, 1}, {-0.3f, 0, 1}});
    const Xform id = identity_xform();
    s.add_instance(0, id.data());
    s.build();
    const float3 o{0.2f, 0.3f, -2.0f};
    const RayHit h = s.trace_ray(o, {0, 0, 1});
    ASSERT_TRUE(h.hit);
    EXPECT_TRUE(h.back_face);
    expect_near3(h.geometric_normal, {0, 0, -1}, 1e-6, "turned face normal");
    EXPECT_GT(dot(h.geometric_normal, o - h.position), 0.0f);
    EXPECT_GT(dot(h.shading_normal, h.geometric_normal), 0.0f);
    EXPECT_LT(h.shading_normal.z, 0.0f);

    const RayHit f = s.trace_ray({0.2f, 0.3f, 2.0f}, {0, 0, -1});
    ASSERT_TRUE(f.hit);
    EXPECT_FALSE(f.back_face);
    EXPECT_GT(f.shading_normal.z, 0.0f);
    // The two sides see the same shading normal up to the sign.
    expect_near3(h.shading_normal,
                 {-f.shading_normal.x, -f.shading_normal.y, -f.shading_normal.z}, 1e-6,
                 "mirrored shading normal");
}

TEST(SceneQueries, TIsInUnitsOfTheDirectionLength) {
    EmbreeSceneManager s;
    add_unit_triangle(s);
    const Xform id = identity_xform();
    s.add_instance(0, id.data());
    s.build();
    for (float len : {0.5f, 1.0f, 2.0f, 8.0f}) {
        const float3 o{0.25f, 0.25f, 3.0f}, d{0, 0, -len};
        const RayHit h = s.trace_ray(o, d);
        ASSERT_TRUE(h.hit) << "length " << len;
        EXPECT_NEAR(h.t, 3.0 / len, 1e-5) << "length " << len;
        expect_near3(h.position, {0.25, 0.25, 0.0}, 1e-5, "position");
        // The occluder sits at t = 3 / len: just short of it is clear, just past it
        // blocked.
        EXPECT_FALSE(s.trace_shadow(o, d, 0.99f * 3.0f / len)) << "length " << len;
        EXPECT_TRUE(s.trace_shadow(o, d, 1.01f * 3.0f / len)) << "length " << len;
    }
}

// ---- instance transforms ---------------------------------------------------

struct XformCase {
    const char* name;
    Xform m;
};

void PrintTo(const XformCase& c, std::ostream* os) { *os << c.name; }

class SceneInstanceXform : public ::testing::TestWithParam<XformCase> {};

// A tilted triangle placed by the instance transform. The world face normal is
// the cross product of the transformed edges, which the scene must reproduce
// for every affine map with positive determinant, non-uniform scale included.
TEST_P(SceneInstanceXform, WorldNormalIsTheTransformedFaceNormal) {
    const XformCase c = GetParam();
    const D3 v[3] = {{0, 0, 0}, {1, 0, 0.5}, {0, 1, 0.8}};
    const D3 n_obj = face_normal(v[0], v[1], v[2]);
    EmbreeSceneManager s;
    const float3 nf = f3(n_obj);
    s.add_mesh({f3(v[0]), f3(v[1]), f3(v[2])}, {nf, nf, nf}, {{0, 1, 2}}, 0);
    s.add_instance(0, c.m.data());
    s.build();

    const D3 w0 = apply(c.m, v[0]), w1 = apply(c.m, v[1]), w2 = apply(c.m, v[2]);
    const D3 n = face_normal(w0, w1, w2);
    const D3 centre{(w0.x + w1.x + w2.x) / 3, (w0.y + w1.y + w2.y) / 3,
                    (w0.z + w1.z + w2.z) / 3};
    for (double side : {1.0, -1.0}) {
        const D3 o{centre.x + 3 * side * n.x, centre.y + 3 * side * n.y,
                   centre.z + 3 * side * n.z};
        const RayHit h = s.trace_ray(f3(o), f3({-side * n.x, -side * n.y, -side * n.z}));
        const std::string what = std::string(c.name) + (side > 0 ? " front" : " back");
        ASSERT_TRUE(h.hit) << what;
        EXPECT_NEAR(h.t, 3.0, 1e-4) << what;
        expect_near3(h.position, centre, 1e-4, what + " position");
        const D3 facing{side * n.x, side * n.y, side * n.z};
        expect_near3(h.geometric_normal, facing, 1e-5, what + " geometric normal");
        expect_near3(h.shading_normal, facing, 1e-5, what + " shading normal");
        EXPECT_EQ(h.back_face, side < 0) << what;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Affine, SceneInstanceXform,
    ::testing::Values(
        XformCase{"identity", identity_xform()},
        XformCase{"translation", translation(10, -20, 5)},
        XformCase{"rotation_z90",
                  rotate_scale_translate({0, 0, 1}, 90, {1, 1, 1}, {0, 0, 0})},
        XformCase{"rotation",
                  rotate_scale_translate({1, 2, 3}, 70, {1, 1, 1}, {1, 2, 3})},
        XformCase{"uniform_scale",
                  rotate_scale_translate({0, 1, 1}, 30, {2.5, 2.5, 2.5}, {0, 0, 1})},
        XformCase{"nonuniform_scale",
                  rotate_scale_translate({1, -1, 2}, 50, {3.0, 0.5, 1.5}, {-4, 2, 7})},
        XformCase{"shear", Xform{1, 0.7f, 0, 1, 0, 1, 0, 0, 0.4f, 0, 1, 2}}),
    [](const ::testing::TestParamInfo<XformCase>& i) {
        return std::string(i.param.name);
    });

TEST(SceneQueries, ShadingNormalInterpolatesAtBarycentrics) {
    const D3 n0 = unit({0.4, 0, 1}), n1 = unit({0, -0.5, 1}), n2 = unit({-0.2, 0.3, 1});
    const Xform rot = rotate_scale_translate({1, 1, 0}, 40, {1, 1, 1}, {0, 0, 0});
    for (bool rotated : {false, true}) {
        EmbreeSceneManager s;
        add_unit_triangle(s, 0, {f3(n0), f3(n1), f3(n2)});
        const Xform m = rotated ? rot : identity_xform();
        s.add_instance(0, m.data());
        s.build();
        const D3 up =
            face_normal(apply(m, {0, 0, 0}), apply(m, {1, 0, 0}), apply(m, {0, 1, 0}));
        const std::pair<double, double> uvs[] = {
            {0.1, 0.1}, {0.6, 0.2}, {0.15, 0.7}, {1.0 / 3, 1.0 / 3}};
        for (auto [u, v] : uvs) {
            // The point with barycentrics (u, v) on this triangle is (u, v, 0).
            const D3 p = apply(m, {u, v, 0});
            const D3 o{p.x + 2 * up.x, p.y + 2 * up.y, p.z + 2 * up.z};
            const RayHit h = s.trace_ray(f3(o), f3({-up.x, -up.y, -up.z}));
            ASSERT_TRUE(h.hit) << "u " << u << " v " << v;
            const double w = 1 - u - v;
            const D3 n_obj{w * n0.x + u * n1.x + v * n2.x, w * n0.y + u * n1.y + v * n2.y,
                           w * n0.z + u * n1.z + v * n2.z};
            // A rotation carries normals like points without translation.
            const D3 t0 = apply(m, {0, 0, 0}), tn = apply(m, n_obj);
            const D3 want = unit(sub(tn, t0));
            expect_near3(h.shading_normal, want, 2e-5,
                         "u " + std::to_string(u) + " v " + std::to_string(v) +
                             (rotated ? " rotated" : ""));
        }
    }
}

TEST(SceneQueries, ReportsInstanceMaterialAndPrimitive) {
    EmbreeSceneManager s;
    add_strip(s, 5, 4);       // mesh 0, material 4
    add_unit_triangle(s, 9);  // mesh 1, material 9
    const Xform a = identity_xform(), b = translation(0, 10, 0),
                c = translation(0, 20, 0);
    s.add_instance(1, a.data());
    s.add_instance(0, b.data());
    s.add_instance(0, c.data());
    s.build();
    for (int inst = 1; inst <= 2; ++inst)
        for (int p = 0; p < 5; ++p) {
            const RayHit h = s.trace_ray({p + 0.2f, 10.0f * inst + 0.2f, 1}, {0, 0, -1});
            ASSERT_TRUE(h.hit) << "instance " << inst << " prim " << p;
            EXPECT_EQ(h.instance_id, inst);
            EXPECT_EQ(h.prim_id, p);
            EXPECT_EQ(h.material_id, 4);
        }
    const RayHit h = s.trace_ray({0.2f, 0.2f, 1}, {0, 0, -1});
    EXPECT_EQ(h.instance_id, 0);
    EXPECT_EQ(h.material_id, 9);
}

TEST(SceneShadow, OccluderBetweenTnearAndTfar) {
    EmbreeSceneManager s;
    add_unit_triangle(s);
    const Xform t = translation(0, 0, 2);
    s.add_instance(0, t.data());
    s.build();
    const float3 o{0.25f, 0.25f, 0.0f}, up{0, 0, 1};
    EXPECT_FALSE(s.trace_shadow(o, up, 1.99f));
    EXPECT_TRUE(s.trace_shadow(o, up, 2.01f));
    EXPECT_TRUE(s.trace_shadow(o, up, 1e30f));
    EXPECT_FALSE(s.trace_shadow(o, {0, 0, -1}, 1e30f));                 // looking away
    EXPECT_FALSE(s.trace_shadow({2, 2, 0}, up, 1e30f));                 // beside it
    EXPECT_TRUE(s.trace_shadow({0.25f, 0.25f, 4}, {0, 0, -1}, 2.01f));  // from behind
    // Nothing lies between 1e-4 and a tfar at or below it, whatever the scene holds.
    for (float tfar : {5e-5f, 0.0f, -1.0f, -1e30f})
        EXPECT_FALSE(s.trace_shadow({0.25f, 0.25f, 2}, up, tfar)) << "tfar " << tfar;
}

// Workers on two threads, taking alternate rays, must see exactly what one
// thread sees: the queries are const and keep their state on the stack.
TEST(SceneQueries, ConcurrentTracesMatchSequential) {
    EmbreeSceneManager s;
    add_strip(s, 8, 1);
    add_unit_cube(s, 2);
    std::mt19937 rng(12345);
    std::uniform_real_distribution<float> pos(-10, 10), ang(0, 360);
    for (int i = 0; i < 200; ++i) {
        const Xform m =
            rotate_scale_translate({pos(rng), pos(rng), pos(rng) + 11}, ang(rng),
                                   {1, 1, 1}, {pos(rng), pos(rng), pos(rng)});
        s.add_instance(i % 2, m.data());
    }
    s.build();
    std::vector<float3> org, dir;
    for (int i = 0; i < 4000; ++i) {
        org.push_back({pos(rng), pos(rng), pos(rng)});
        dir.push_back(normalize(float3{pos(rng), pos(rng), pos(rng)}));
    }
    std::vector<RayHit> seq(org.size()), par(org.size());
    std::vector<char> seq_sh(org.size()), par_sh(org.size());
    for (size_t i = 0; i < org.size(); ++i) {
        seq[i] = s.trace_ray(org[i], dir[i]);
        seq_sh[i] = s.trace_shadow(org[i], dir[i], 5.0f);
    }
    auto work = [&](size_t first) {
        for (size_t i = first; i < org.size(); i += 2) {
            par[i] = s.trace_ray(org[i], dir[i]);
            par_sh[i] = s.trace_shadow(org[i], dir[i], 5.0f);
        }
    };
    std::thread a(work, 0), b(work, 1);
    a.join();
    b.join();
    int hits = 0;
    for (size_t i = 0; i < org.size(); ++i) {
        EXPECT_TRUE(same_hit(seq[i], par[i])) << "ray " << i;
        EXPECT_EQ(seq_sh[i], par_sh[i]) << "ray " << i;
        hits += seq[i].hit;
    }
    // The comparison means little unless both hits and misses occur.
    EXPECT_GT(hits, 100);
    EXPECT_LT(hits, int(org.size()) - 100);
}

}  // namespace
}  // namespace vorn::test
