// CPU scene ray queries: hit records, ray parameterisation, normals under
// instance transforms and shadow queries. Expected normals come from cross
// products of transformed vertices, never from the scene itself.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "tests/cpp/scene_test_util.h"

namespace vorn::test {
namespace {

/// A built scene with one instance of the unit triangle under `m`.
void triangle_scene(EmbreeSceneManager& s, const Xform& m = identity_xform(),
                    std::vector<float3> normals = {}) {
    add_unit_triangle(s, 0, std::move(normals));
    s.add_instance(0, m.data());
    s.build();
}

TEST(SceneQueries, HitRecordNamesInstancePrimitiveAndMaterial) {
    EmbreeSceneManager s;
    add_strip(s, 5, 4);       // mesh 0, material 4
    add_unit_triangle(s, 7);  // mesh 1, material 7
    s.add_instance(1, identity_xform().data());
    s.add_instance(0, translation(0, 10, 0).data());
    s.add_instance(0, translation(0, 20, 0).data());
    s.build();
    const RayHit h = s.trace_ray({0.25f, 0.25f, 1.0f}, {0, 0, -1});
    ASSERT_TRUE(h.hit);
    EXPECT_FLOAT_EQ(h.t, 1.0f);
    expect_near3(h.shading_normal, {0, 0, 1}, 1e-6, "shading normal, no mesh normals");
    EXPECT_FALSE(h.back_face || h.reserved);
    EXPECT_EQ(h.material_id, 7);
    EXPECT_EQ(h.prim_id, 0);
    EXPECT_EQ(h.instance_id, 0);
    for (int inst = 1; inst <= 2; ++inst)
        for (int p = 0; p < 5; ++p) {
            const RayHit g = s.trace_ray({p + 0.2f, 10.0f * inst + 0.2f, 1}, {0, 0, -1});
            ASSERT_TRUE(g.hit) << "instance " << inst << " prim " << p;
            EXPECT_EQ(g.instance_id, inst);
            EXPECT_EQ(g.prim_id, p);
            EXPECT_EQ(g.material_id, 4);
        }
}

void expect_all_zero(const RayHit& h, const char* what) {
    EXPECT_FALSE(h.hit || h.back_face || h.reserved) << what;
    EXPECT_EQ(h.t, 0.0f) << what;
    for (float3 v : {h.position, h.shading_normal, h.geometric_normal})
        EXPECT_TRUE(v.x == 0 && v.y == 0 && v.z == 0) << what;
    EXPECT_EQ(h.material_id | h.prim_id | h.instance_id, 0) << what;
}

TEST(SceneQueries, MissRecordIsAllZero) {
    EmbreeSceneManager s;
    add_unit_triangle(s, 3);
    s.add_instance(0, translation(5, 5, 5).data());
    s.build();
    expect_all_zero(s.trace_ray({0, 0, 10}, {0, 0, -1}), "ray beside the triangle");
    expect_all_zero(s.trace_ray({5.25f, 5.25f, 10}, {0, 0, 1}), "ray away from it");
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

// Copies at z = 0 (instance 0) and z = -1 (instance 1); the ray starts at z0 and
// only hits beyond 1e-4 count, for the closest hit and the shadow query alike.
TEST(SceneQueries, HitsCloserThanTnearAreIgnored) {
    EmbreeSceneManager s;
    add_unit_triangle(s);
    s.add_instance(0, identity_xform().data());
    s.add_instance(0, translation(0, 0, -1).data());
    s.build();
    struct Case {
        float z0, dir_z;
        int instance;  // -1: miss
        float t;
    };
    for (const Case c : {Case{0.0f, -1.0f, 1, 1.0f}, Case{0.0f, 1.0f, -1, 0.0f},
                         Case{5e-5f, -1.0f, 1, 1.00005f}, Case{5e-5f, 1.0f, -1, 0.0f},
                         Case{2e-4f, -1.0f, 0, 2e-4f}, Case{1.0f, -1.0f, 0, 1.0f}}) {
        const float3 o{0.25f, 0.25f, c.z0}, d{0, 0, c.dir_z};
        const RayHit h = s.trace_ray(o, d);
        const std::string what =
            "z0 " + std::to_string(c.z0) + " dir " + std::to_string(c.dir_z);
        ASSERT_EQ(h.hit, c.instance >= 0) << what;
        if (c.instance >= 0) {
            EXPECT_EQ(h.instance_id, c.instance) << what;
            EXPECT_NEAR(h.t, c.t, 1e-6) << what;
        }
        // With tfar 0.5 only the near copy can occlude.
        EXPECT_EQ(s.trace_shadow(o, d, 0.5f), c.instance >= 0 && c.t < 0.5f) << what;
    }
}

TEST(SceneQueries, BackFaceTurnsBothNormalsTowardsTheOrigin) {
    EmbreeSceneManager s;
    // Shading normals tilted away from the face normal but on its side.
    triangle_scene(s, identity_xform(), {{0.3f, 0, 1}, {0, 0.3f, 1}, {-0.3f, 0, 1}});
    const float3 o{0.2f, 0.3f, -2.0f};
    const RayHit h = s.trace_ray(o, {0, 0, 1});
    ASSERT_TRUE(h.hit);
    EXPECT_TRUE(h.back_face);
    expect_near3(h.geometric_normal, {0, 0, -1}, 1e-6, "turned face normal");
    EXPECT_GT(dot(h.geometric_normal, o - h.position), 0.0f);
    EXPECT_GT(dot(h.shading_normal, h.geometric_normal), 0.0f);
    const RayHit f = s.trace_ray({0.2f, 0.3f, 2.0f}, {0, 0, -1});
    ASSERT_TRUE(f.hit);
    EXPECT_FALSE(f.back_face);
    // The two sides see the same shading normal up to the sign.
    expect_near3(h.shading_normal,
                 {-f.shading_normal.x, -f.shading_normal.y, -f.shading_normal.z}, 1e-6,
                 "mirrored shading normal");
    EXPECT_GT(f.shading_normal.z, 0.0f);
}

TEST(SceneQueries, TIsInUnitsOfTheDirectionLengthAndBoundsTheShadowRay) {
    EmbreeSceneManager s;
    triangle_scene(s);
    for (float len : {0.5f, 2.0f}) {
        const float3 o{0.25f, 0.25f, 3.0f}, d{0, 0, -len};
        const RayHit h = s.trace_ray(o, d);
        ASSERT_TRUE(h.hit) << "length " << len;
        EXPECT_NEAR(h.t, 3.0 / len, 1e-5) << "length " << len;
        expect_near3(h.position, {0.25, 0.25, 0.0}, 1e-5, "position");
        EXPECT_FALSE(s.trace_shadow(o, d, 0.99f * 3.0f / len)) << "length " << len;
        EXPECT_TRUE(s.trace_shadow(o, d, 1.01f * 3.0f / len)) << "length " << len;
    }
    const float3 o{0.25f, 0.25f, -2.0f}, up{0, 0, 1};
    EXPECT_TRUE(s.trace_shadow(o, up, 1e30f));
    EXPECT_FALSE(s.trace_shadow(o, {0, 0, -1}, 1e30f));   // looking away
    EXPECT_FALSE(s.trace_shadow({2, 2, -2}, up, 1e30f));  // beside it
    // Nothing lies between 1e-4 and a tfar at or below it: no bound means no test.
    for (float tfar : {5e-5f, 0.0f, -1.0f, -1e30f})
        EXPECT_FALSE(s.trace_shadow(o, up, tfar)) << "tfar " << tfar;
}

// A tilted triangle under an affine instance transform: the world face normal is
// the cross product of the transformed edges, non-uniform scale and shear included.
TEST(SceneQueries, WorldNormalIsTheTransformedFaceNormal) {
    const D3 v[3] = {{0, 0, 0}, {1, 0, 0.5}, {0, 1, 0.8}};
    const float3 nf = f3(face_normal(v[0], v[1], v[2]));
    const std::pair<const char*, Xform> cases[] = {
        {"translation", translation(10, -20, 5)},
        // Rotation about z (cos 0.6, sin 0.8) after scaling by diag(3, 0.5, 1.5).
        {"rotated_nonuniform_scale",
         Xform{1.8f, -0.4f, 0, -4, 2.4f, 0.3f, 0, 2, 0, 0, 1.5f, 7}},
        {"shear", Xform{1, 0.7f, 0, 1, 0, 1, 0, 0, 0.4f, 0, 1, 2}}};
    for (const auto& [name, m] : cases) {
        EmbreeSceneManager s;
        s.add_mesh({f3(v[0]), f3(v[1]), f3(v[2])}, {nf, nf, nf}, {{0, 1, 2}}, 0);
        s.add_instance(0, m.data());
        s.build();
        const D3 w0 = apply(m, v[0]), w1 = apply(m, v[1]), w2 = apply(m, v[2]);
        const D3 n = face_normal(w0, w1, w2);
        const D3 c{(w0.x + w1.x + w2.x) / 3, (w0.y + w1.y + w2.y) / 3,
                   (w0.z + w1.z + w2.z) / 3};
        for (double sd : {1.0, -1.0}) {
            const D3 facing{sd * n.x, sd * n.y, sd * n.z};
            const D3 o{c.x + 3 * facing.x, c.y + 3 * facing.y, c.z + 3 * facing.z};
            const RayHit h = s.trace_ray(f3(o), f3({-facing.x, -facing.y, -facing.z}));
            const std::string what = std::string(name) + (sd > 0 ? " front" : " back");
            ASSERT_TRUE(h.hit) << what;
            EXPECT_NEAR(h.t, 3.0, 1e-4) << what;
            expect_near3(h.position, c, 1e-4, what + " position");
            expect_near3(h.geometric_normal, facing, 1e-5, what + " geometric normal");
            expect_near3(h.shading_normal, facing, 1e-5, what + " shading normal");
            EXPECT_EQ(h.back_face, sd < 0) << what;
        }
    }
}

TEST(SceneQueries, ShadingNormalInterpolatesAtBarycentrics) {
    const D3 n0 = unit({0.4, 0, 1}), n1 = unit({0, -0.5, 1}), n2 = unit({-0.2, 0.3, 1});
    EmbreeSceneManager s;
    triangle_scene(s, identity_xform(), {f3(n0), f3(n1), f3(n2)});
    // The point with barycentrics (u, v) on this triangle is (u, v, 0).
    for (auto [u, v] : {std::pair<double, double>{0.6, 0.2}, {0.15, 0.7}}) {
        const RayHit h = s.trace_ray({float(u), float(v), 2}, {0, 0, -1});
        ASSERT_TRUE(h.hit) << "u " << u << " v " << v;
        const double w = 1 - u - v;
        expect_near3(h.shading_normal,
                     unit({w * n0.x + u * n1.x + v * n2.x, w * n0.y + u * n1.y + v * n2.y,
                           w * n0.z + u * n1.z + v * n2.z}),
                     2e-5, "u " + std::to_string(u) + " v " + std::to_string(v));
    }
}

}  // namespace
}  // namespace vorn::test
