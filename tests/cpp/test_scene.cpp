// The CPU scene: hit records and normals under instance transforms (mirroring
// ones included; expected normals come from cross products of transformed
// vertices), shadow queries, builds, moves and reuse, and the checks run
// before a build or an engine reads the scene.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "embree/scene_manager.h"
#include "scene/checks.h"

namespace vorn::test {
namespace {

using embree::EmbreeSceneManager;
using embree::RayHit;
using Xform = std::array<float, 12>;

Xform translation(float x, float y, float z) { return {1, 0, 0, x, 0, 1, 0, y, 0, 0, 1, z}; }

/// Message of the std::runtime_error that f throws, or "" when it returns.
std::string error_of(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

struct D3 {  // expected geometry in double precision
    double x, y, z;
};
D3 unit(D3 a) {
    const double l = std::sqrt(a.x * a.x + a.y * a.y + a.z * a.z);
    return {a.x / l, a.y / l, a.z / l};
}
D3 apply(const Xform& m, D3 p) {
    return {m[0] * p.x + m[1] * p.y + m[2] * p.z + m[3], m[4] * p.x + m[5] * p.y + m[6] * p.z + m[7],
            m[8] * p.x + m[9] * p.y + m[10] * p.z + m[11]};
}
/// Unit normal of (v0, v1, v2) by the right-hand rule.
D3 face_normal(D3 v0, D3 v1, D3 v2) {
    const D3 a{v1.x - v0.x, v1.y - v0.y, v1.z - v0.z}, b{v2.x - v0.x, v2.y - v0.y, v2.z - v0.z};
    return unit({a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x});
}
float3 f3(D3 a) { return {float(a.x), float(a.y), float(a.z)}; }

void expect_near3(float3 got, D3 want, double tol, const std::string& what) {
    EXPECT_TRUE(std::abs(got.x - want.x) <= tol && std::abs(got.y - want.y) <= tol &&
                std::abs(got.z - want.z) <= tol)
        << what << ": " << got.x << " " << got.y << " " << got.z;
}

/// The triangle (0,0,0), (1,0,0), (0,1,0) in the plane z = 0, face normal +z.
int add_unit_triangle(EmbreeSceneManager& s, int material_id = 0, std::vector<float3> normals = {}) {
    return s.add_mesh({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, std::move(normals), {{0, 1, 2}}, material_id);
}

/// The unit cube [0,1]^3 as 12 outward-facing triangles.
int add_unit_cube(EmbreeSceneManager& s, int material_id = 0) {
    std::vector<float3> v;
    for (int i = 0; i < 8; ++i) v.push_back({float(i & 1), float((i >> 1) & 1), float((i >> 2) & 1)});
    return s.add_mesh(std::move(v), {},
                      {{0, 2, 1}, {1, 2, 3}, {4, 5, 6}, {5, 7, 6}, {0, 1, 4}, {1, 5, 4},
                       {2, 6, 3}, {3, 6, 7}, {0, 4, 2}, {2, 4, 6}, {1, 3, 5}, {3, 7, 5}},
                      material_id);
}

bool hits_instance(const EmbreeSceneManager& s, float3 o, int instance) {
    const RayHit h = s.trace_ray(o, {0, 0, -1});
    return h.hit && h.instance_id == instance;
}

TEST(SceneQueries, HitRecordNamesInstancePrimitiveAndMaterialAndAMissIsAllZero) {
    EmbreeSceneManager s;
    // mesh 0: a 2 x 1 rectangle, triangle 0 below y = x / 2, 1 above
    s.add_mesh({{0, 0, 0}, {2, 0, 0}, {2, 1, 0}, {0, 1, 0}}, {}, {{0, 1, 2}, {0, 2, 3}}, 4);
    add_unit_triangle(s, 7);
    s.add_instance(1, translation(0, 0, 0).data());
    s.add_instance(0, translation(0, 10, 0).data());
    s.add_instance(0, translation(0, 20, 0).data());
    s.build();
    const RayHit h = s.trace_ray({0.25f, 0.25f, 1.0f}, {0, 0, -1});
    EXPECT_TRUE(h.hit && std::abs(h.t - 1.0f) < 1e-6f && !h.back_face && !h.reserved);
    expect_near3(h.shading_normal, {0, 0, 1}, 1e-6, "no mesh normals");
    EXPECT_EQ(h.material_id * 100 + h.prim_id * 10 + h.instance_id, 700);
    for (int inst = 1; inst <= 2; ++inst)
        for (int p = 0; p < 2; ++p) {
            const RayHit g = s.trace_ray({p ? 0.5f : 1.5f, 10.0f * inst + (p ? 0.8f : 0.2f), 1}, {0, 0, -1});
            EXPECT_TRUE(g.hit && g.instance_id == inst && g.prim_id == p && g.material_id == 4)
                << inst << " " << p;
        }
    EmbreeSceneManager empty;
    empty.build();
    for (const RayHit& m : {s.trace_ray({5, 5, 1}, {0, 0, -1}), s.trace_ray({0.2f, 0.2f, 1}, {0, 0, 1}),
                            empty.trace_ray({0, 0, 0}, {0, 0, 1})}) {
        const RayHit zero{};
        EXPECT_EQ(0, std::memcmp(&m, &zero, sizeof m));
    }
    EXPECT_FALSE(empty.trace_shadow({0, 0, 0}, {0, 0, 1}, 1e9f));
}

// Copies at z = 0 (instance 0) and z = -1 (instance 1): only hits beyond 1e-4
// count, for the closest hit and the shadow query alike; t is in units of
// the direction's length, and so is tfar.
TEST(SceneQueries, HitsCloserThanTnearAreIgnoredAndTCountsDirectionLengths) {
    EmbreeSceneManager s;
    add_unit_triangle(s);
    s.add_instance(0, translation(0, 0, 0).data());
    s.add_instance(0, translation(0, 0, -1).data());
    s.build();
    const struct {
        float z0, dir_z;
        int instance;  // -1: miss
        float t;
    } cases[] = {{0.0f, -1.0f, 1, 1.0f}, {0.0f, 1.0f, -1, 0.0f}, {5e-5f, -1.0f, 1, 1.00005f},
                 {2e-4f, -1.0f, 0, 2e-4f}, {1.0f, -0.5f, 0, 2.0f}, {3.0f, -2.0f, 0, 1.5f}};
    for (const auto& c : cases) {
        const float3 o{0.25f, 0.25f, c.z0}, d{0, 0, c.dir_z};
        const RayHit h = s.trace_ray(o, d);
        const std::string what = std::to_string(c.z0) + " " + std::to_string(c.dir_z);
        ASSERT_EQ(h.hit, c.instance >= 0) << what;
        if (h.hit) EXPECT_TRUE(h.instance_id == c.instance && std::abs(h.t - c.t) < 1e-6f) << what;
        if (h.hit) expect_near3(h.position, {0.25, 0.25, c.instance == 0 ? 0.0 : -1.0}, 1e-5, what);
        EXPECT_EQ(s.trace_shadow(o, d, 0.99f * c.t), false) << what;
        EXPECT_EQ(s.trace_shadow(o, d, 1.01f * c.t), c.instance >= 0) << what;
    }
    // Nothing lies between 1e-4 and a tfar at or below it.
    for (float tfar : {5e-5f, 0.0f, -1.0f, -1e30f})
        EXPECT_FALSE(s.trace_shadow({0.25f, 0.25f, -2.0f}, {0, 0, 1}, tfar)) << tfar;
}

// A tilted triangle under affine instance transforms: the world face normal is
// the cross product of the transformed edges, turned over when the transform
// mirrors (det < 0), since the face that is front in object space stays front.
TEST(SceneQueries, WorldNormalAndFaceFollowTheObjectSpaceFrontUnderAnyTransform) {
    const D3 v[3] = {{0, 0, 0}, {1, 0, 0.5}, {0, 1, 0.8}};
    const float3 nf = f3(face_normal(v[0], v[1], v[2]));
    const struct {
        const char* name;
        Xform m;
        double det_sign;
    } cases[] = {
        {"translation", translation(10, -20, 5), 1},
        // Rotation about z (cos 0.6, sin 0.8) after scaling by diag(3, 0.5, 1.5).
        {"rotated_nonuniform_scale", {1.8f, -0.4f, 0, -4, 2.4f, 0.3f, 0, 2, 0, 0, 1.5f, 7}, 1},
        {"shear", {1, 0.7f, 0, 1, 0, 1, 0, 0, 0.4f, 0, 1, 2}, 1},
        {"mirror_x", {-1, 0, 0, 3, 0, 1, 0, 0, 0, 0, 1, 0}, -1},
        {"mirror_z_scaled", {0, 2, 0, 0, 1, 0, 0, 0, 0, 0, -1.5f, 1}, 1},  // two flips
        {"mirror_z", {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, -1, 4}, -1}};
    for (const auto& c : cases) {
        EmbreeSceneManager s;
        s.add_mesh({f3(v[0]), f3(v[1]), f3(v[2])}, {nf, nf, nf}, {{0, 1, 2}}, 0);
        s.add_instance(0, c.m.data());
        s.build();
        const D3 w0 = apply(c.m, v[0]), w1 = apply(c.m, v[1]), w2 = apply(c.m, v[2]);
        const D3 wn = face_normal(w0, w1, w2);
        const D3 front{c.det_sign * wn.x, c.det_sign * wn.y, c.det_sign * wn.z};
        const D3 mid{(w0.x + w1.x + w2.x) / 3, (w0.y + w1.y + w2.y) / 3, (w0.z + w1.z + w2.z) / 3};
        for (double side : {1.0, -1.0}) {
            const D3 n{side * front.x, side * front.y, side * front.z};
            const RayHit h = s.trace_ray(f3({mid.x + 3 * n.x, mid.y + 3 * n.y, mid.z + 3 * n.z}),
                                         f3({-n.x, -n.y, -n.z}));
            const std::string what = std::string(c.name) + (side > 0 ? " front" : " back");
            ASSERT_TRUE(h.hit) << what;
            EXPECT_NEAR(h.t, 3.0, 1e-4) << what;
            expect_near3(h.geometric_normal, n, 1e-5, what + " geometric normal");
            expect_near3(h.shading_normal, n, 1e-5, what + " shading normal");
            EXPECT_EQ(h.back_face, side < 0) << what;
        }
    }
}

TEST(SceneQueries, ShadingNormalInterpolatesAtBarycentricsOnTheGeometricSide) {
    const D3 n0 = unit({0.4, 0, 1}), n1 = unit({0, -0.5, 1}), n2 = unit({-0.2, 0.3, 1});
    EmbreeSceneManager s;
    add_unit_triangle(s, 0, {f3(n0), f3(n1), f3(n2)});
    s.add_instance(0, translation(0, 0, 0).data());
    s.build();
    // The point with barycentrics (u, v) on this triangle is (u, v, 0).
    for (auto [u, v] : {std::pair<double, double>{0.6, 0.2}, {0.15, 0.7}}) {
        const double w = 1 - u - v;
        const D3 n = unit({w * n0.x + u * n1.x + v * n2.x, w * n0.y + u * n1.y + v * n2.y,
                           w * n0.z + u * n1.z + v * n2.z});
        for (double side : {1.0, -1.0}) {
            const RayHit h = s.trace_ray({float(u), float(v), float(2 * side)}, {0, 0, float(-side)});
            ASSERT_TRUE(h.hit);
            EXPECT_EQ(h.back_face, side < 0);
            expect_near3(h.shading_normal, {side * n.x, side * n.y, side * n.z}, 2e-5,
                         "u " + std::to_string(u) + " side " + std::to_string(side));
        }
    }
}

TEST(SceneLifecycle, TransformsStoredBeforeABuildOrRefittedAfterIdsCountsAndMaxHeight) {
    EmbreeSceneManager s;
    EXPECT_EQ(error_of([&] { s.refit_ias(); }), "refit_ias: scene not built. Call build() first.");
    add_unit_triangle(s);
    add_unit_cube(s);
    s.add_mesh({}, {}, {}, 0);  // no vertices: no box, so it must not count
    s.add_instance(2, 0, 0, 1e6f, 1);
    for (int i = 0; i < 4; ++i) s.add_instance(i % 2, float(i), 0, 0, 1);
    s.update_instance_transform(3, translation(0, 10, 0).data());  // kept for the build
    for (int bad : {-1, 5})
        EXPECT_EQ(error_of([&] { s.update_instance_transform(bad, translation(0, 0, 0).data()); }),
                  "update_instance_transform: id out of range");
    EXPECT_EQ(s.instance_triangle_counts(), (std::vector<int>{0, 1, 12, 1, 12}));
    EXPECT_EQ(s.total_triangles(), 26u);
    for (int round = 0; round < 2; ++round) {
        s.build();
        for (size_t i = 0; i < s.instances.size(); ++i) EXPECT_EQ(s.instances[i].geom_id, uint32_t(i)) << round;
        if (round > 0) break;
        s.add_instance(1, 10.0f, 0, 0, 1);  // the scene is no longer built: the next build takes it
        EXPECT_FALSE(s.is_built());
        EXPECT_EQ(error_of([&] { s.refit_ias(); }), "refit_ias: scene not built. Call build() first.");
    }
    EXPECT_TRUE(hits_instance(s, {0.25f, 10.25f, 1}, 3));
    EXPECT_EQ(s.max_height(), 1.0f);  // the cube's top; computed by build only
    // Instance 1 stood upright (about x: normal -y), the cube turned about x by
    // 45 degrees (top z' = (y + z) / sqrt 2 + 1 = 1 + sqrt 2), then a refit.
    const float c = float(M_SQRT1_2);
    s.update_instance_transform(1, Xform{1, 0, 0, 0, 0, 0, -1, 20, 0, 1, 0, 0}.data());
    s.update_instance_transform(2, Xform{1, 0, 0, 1, 0, c, -c, 0, 0, c, c, 1}.data());
    s.refit_ias();
    EXPECT_EQ(s.max_height(), 1.0f);
    EXPECT_FALSE(hits_instance(s, {0.25f, 0.25f, 1}, 1));
    const RayHit u = s.trace_ray({0.25f, 15, 0.25f}, {0, 1, 0});
    EXPECT_TRUE(u.hit && u.instance_id == 1 && !u.back_face && std::abs(u.t - 5.0f) < 1e-5f);
    expect_near3(u.geometric_normal, {0, -1, 0}, 1e-6, "upright normal");
    s.build();
    EXPECT_NEAR(s.max_height(), 1.0 + std::sqrt(2.0), 1e-5);
}

// A build that finds bad geometry throws and leaves the scene as it was.
TEST(SceneLifecycle, BuildRejectsBadGeometryAndKeepsTheScene) {
    const struct {
        int mesh;  // an instance of this mesh, or (idx given) a second mesh
        std::vector<float3> normals;
        std::vector<int3> idx;
        std::string message;
    } cases[] = {
        {3, {}, {}, "build: instance 1 refers to mesh 3 but the scene has 1 meshes"},
        {-1, {}, {}, "build: instance 1 refers to mesh -1 but the scene has 1 meshes"},
        {0, {{0, 0, 1}, {0, 0, 1}}, {{0, 1, 2}},
         "build: mesh 1 has 2 normals for 3 vertices (expected none or one per vertex)"},
        {0, {}, {{0, 1, 2}, {1, 2, 3}}, "build: mesh 1 triangle 1 indexes a vertex outside [0, 3)"},
        {0, {}, {{0, -1, 2}}, "build: mesh 1 triangle 0 indexes a vertex outside [0, 3)"}};
    for (const auto& c : cases) {
        for (bool built_before : {false, true}) {
            EmbreeSceneManager s;
            add_unit_triangle(s);
            s.add_instance(0, 0, 0, 3, 1);
            if (built_before) s.build();
            if (c.idx.empty())
                s.add_instance(c.mesh, 0, 0, 0, 1);
            else
                s.add_mesh({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, c.normals, c.idx, 0);
            EXPECT_EQ(error_of([&] { s.build(); }), c.message);
            // Geometry added since a build leaves the scene not built, its
            // Embree scenes as the last build made them.
            EXPECT_FALSE(s.is_built()) << c.message;
            if (built_before) EXPECT_TRUE(hits_instance(s, {0.25f, 0.25f, 5}, 0)) << c.message;
        }
    }
}

// clear_for_reuse forgets appearance only; build_reuse_gas then keeps the
// geometry but measures max_height afresh, which refit_ias does not.
TEST(SceneLifecycle, ClearForReuseThenBuildReuseGas) {
    EmbreeSceneManager s;
    add_unit_cube(s, 1);
    s.add_instance(0, 0, 0, -5, 1);
    EXPECT_EQ(error_of([&] { s.build_reuse_gas(); }),
              "build_reuse_gas: scene not built. Call build() first.");
    s.add_material(MaterialType::Leaf, 1);
    s.upload_spectral_params({0.1f, 0.2f, 0.3f, 0.4f});
    s.set_num_bands(2);
    s.set_hw_sky(0, {1, 0, 0});
    s.set_thermal_mode(true, {500, 600});
    s.set_emitter(EmitterType::Sun, {0, 0.6f, 0.8f}, 2);
    s.build();
    s.update_instance_transform(0, translation(0, 0, 5).data());
    s.refit_ias();
    EXPECT_EQ(s.max_height(), 0.0f);
    s.clear_for_reuse();
    EXPECT_TRUE(s.materials.empty() && s.spectral_params.empty() && s.is_built());
    EXPECT_TRUE(s.sky.sky_offset == -1 && s.sky.hw_sky_offset == -1 && s.sky.hw_sky_sun.z == 1.0f);
    const EmitterData zero{};
    EXPECT_EQ(0, std::memcmp(&s.emitter, &zero, sizeof zero));
    EXPECT_TRUE(s.num_bands == 2 && s.wavelengths == (std::vector<float>{500, 600}));
    s.build_reuse_gas();
    EXPECT_NEAR(s.max_height(), 6.0f, 1e-6);
    const RayHit h = s.trace_ray({0.5f, 0.5f, 10}, {0, 0, -1});
    EXPECT_TRUE(std::abs(h.t - 4.0f) < 1e-5f && h.material_id == 1);
}

// ---- what an engine checks before it reads the scene with nb bands ---------

std::string range_error(const std::string& what, long begin, long end, size_t size) {
    return "engine: " + what + " reads spectral values [" + std::to_string(begin) + ", " +
           std::to_string(end) + ") but the spectral array holds " + std::to_string(size);
}

// Each reader of the spectral array passes with exactly the values it reads and
// fails one value short, naming the range: a material (quantities x nb from its
// offset, one emissivity slot of any type in thermal mode), the emitter and the
// uniform sky (nb each), the parametric sky (10 nb, replacing the uniform one).
TEST(EngineChecks, EveryReaderPassesWithExactlyItsRangeAndFailsOneValueShort) {
    const int nb = 3;
    const struct {
        MaterialType type;
        int offset;
        const char* reader;
        long begin, end;  // the range read
        bool thermal;
    } cases[] = {{MaterialType::Lambertian, 0, "material 0", 0, 3, false},
                 {MaterialType::Rpv, 2, "material 0", 2, 14, false},
                 {MaterialType::Leaf, 2, "material 0", 2, 11, false},
                 {MaterialType(5), 4, "material 0", 4, 7, true},
                 {MaterialType(5), 4, "the emitter", 5, 8, false},
                 {MaterialType(5), 0, "the uniform sky", 6, 9, false},
                 {MaterialType(5), 0, "the parametric sky", 1, 31, false}};
    for (const auto& c : cases) {
        for (long size : {c.end, c.end - 1}) {
            EmbreeSceneManager s;
            add_unit_triangle(s, 0);
            s.add_instance(0, 0, 0, 0, 1);
            s.build();
            s.add_material(c.type, c.offset);
            if (c.thermal) s.set_thermal_mode(true, {8000, 9000, 10000});
            const std::string reader = c.reader;
            if (reader == "the emitter") s.set_emitter(EmitterType::Sun, {0, 0, 1}, int(c.begin));
            if (reader == "the uniform sky") s.set_sky(int(c.begin));
            if (reader == "the parametric sky") s.set_sky(100);  // replaced, so never read
            if (reader == "the parametric sky") s.set_hw_sky(int(c.begin), {0, 0, 1});
            s.upload_spectral_params(std::vector<float>(size_t(size), 0.5f));
            const std::string want = size == c.end ? "" : range_error(c.reader, c.begin, c.end, size_t(size));
            EXPECT_EQ(error_of([&] { s.validate_for_engine(nb, "engine"); }), want) << c.reader;
            // Engines that emit nothing (forward, LiDAR) skip the thermal slot.
            if (c.thermal)
                EXPECT_EQ(error_of([&] { s.validate_for_engine(nb, "engine", false); }), "");
        }
    }
}

TEST(EngineChecks, SceneBuiltMeshMaterialsExistAndThermalModeHasAWavelengthPerBand) {
    EmbreeSceneManager s;  // not built: the Python suite reads that message
    add_unit_triangle(s, 1);
    s.add_instance(0, 0, 0, 0, 1);
    s.build();
    s.add_material(MaterialType::Lambertian, 0);
    s.upload_spectral_params({0.5f, 0.5f});
    EXPECT_EQ(error_of([&] { s.validate_for_engine(1, "engine"); }),
              "engine: mesh 0 uses material 1 but the scene has 1 materials");
    s.meshes[0].material_id = 0;
    s.set_thermal_mode(true, {8000});
    EXPECT_EQ(error_of([&] { s.validate_for_engine(2, "engine"); }),
              "engine: thermal mode needs one wavelength per band (2), got 1");
    EXPECT_EQ(error_of([&] { s.validate_for_engine(2, "engine", false); }), "");
}

// Embree (built with assertions, as Debian ships it) aborts the process on a
// ray with a NaN, an infinity or a component beyond about 1.8e18: the
// queries take such a ray as a miss and count it.
TEST(RayGuard, UntraceableRaysAreCountedMissesAndTheRestAreTraced) {
    EmbreeSceneManager s;
    add_unit_triangle(s);
    s.add_instance(0, translation(0, 0, 0).data());
    s.build();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const float beyond = 1.01f * kMaxRayCoordinate;
    const struct {
        float3 o, d;
    } bad[] = {{{nan, 0.2f, 1}, {0, 0, -1}}, {{0.2f, 0.2f, 1}, {0, inf, -1}},
               {{0.2f, 0.2f, beyond}, {0, 0, -1}}, {{0.2f, 0.2f, 1}, {0, 0, -1e19f}}};
    for (const auto& r : bad) {
        EXPECT_FALSE(s.trace_ray(r.o, r.d).hit);
        EXPECT_FALSE(s.trace_shadow(r.o, r.d, 10.0f));
    }
    EXPECT_EQ(s.rejected_rays(), 8u);
    // At the edge of the range the triangle below is still found, uncounted.
    const float3 edge{0.2f, 0.2f, kMaxRayCoordinate};
    EXPECT_TRUE(s.trace_ray(edge, {0, 0, -1}).hit);
    EXPECT_TRUE(s.trace_shadow(edge, {0, 0, -1}, 2.0f * kMaxRayCoordinate));
    EXPECT_EQ(s.rejected_rays(), 8u);
    // A packet counts and misses its untraceable rays and traces the rest.
    const float3 origins[3] = {{0.2f, 0.2f, 1}, {0.2f, 0.2f, 1}, {0.2f, 0.2f, 1}};
    const float3 dirs[3] = {{0, inf, -1}, {0, 0, -1}, {0, 0, -1e19f}};
    RayHit hits[3];
    s.trace_rays(origins, dirs, 3, hits);
    EXPECT_TRUE(!hits[0].hit && hits[1].hit && !hits[2].hit);
    EXPECT_EQ(hits[1].t, s.trace_ray(origins[1], dirs[1]).t);
    EXPECT_EQ(s.rejected_rays(), 10u);
}

bool same_hit(const RayHit& a, const RayHit& b) {
    auto same3 = [](float3 p, float3 q) { return p.x == q.x && p.y == q.y && p.z == q.z; };
    return a.hit == b.hit && a.t == b.t && same3(a.position, b.position) &&
           same3(a.shading_normal, b.shading_normal) &&
           same3(a.geometric_normal, b.geometric_normal) && a.prim_id == b.prim_id &&
           a.instance_id == b.instance_id && a.material_id == b.material_id &&
           a.back_face == b.back_face;
}

// Meshes each shown once, untransformed, are built into the top scene itself;
// hits must be exactly those of the two-level layout, packets must give
// exactly the single-ray hits, and moving such an instance must move it.
TEST(SceneQueries, FlattenedMeshesAndPacketsHitExactlyAsInstancedSingleRays) {
    EmbreeSceneManager flat, layered;
    layered.flatten_single_instances = false;
    for (EmbreeSceneManager* s : {&flat, &layered}) {
        add_unit_cube(*s, 0);
        s->add_mesh({{-2, -2, 0.5f}, {3, -2, 0.3f}, {-2, 3, 0.7f}}, {}, {{0, 1, 2}}, 0);
        for (int m = 0; m < 2; ++m) s->add_instance(m, translation(0, 0, 0).data());
        s->build();
    }
    for (int round = 0; round < 2; ++round) {
        const float3 o{0.3f, 0.4f, 3.0f};
        std::vector<float3> dirs;
        for (int k = 0; k < 21; ++k)  // a fan crossing the cube, the slab and the open sky
            dirs.push_back(normalize(float3{0.11f * float(k - 10), 0.07f * float(k % 5 - 2), -1}));
        std::vector<RayHit> packed(dirs.size());
        const std::vector<float3> origins(dirs.size(), o);
        flat.trace_rays(origins.data(), dirs.data(), int(dirs.size()), packed.data());
        int hit = 0;
        for (size_t k = 0; k < dirs.size(); ++k) {
            const RayHit one = flat.trace_ray(o, dirs[k]);
            EXPECT_TRUE(same_hit(one, layered.trace_ray(o, dirs[k]))) << round << " ray " << k;
            EXPECT_TRUE(same_hit(one, packed[k])) << round << " ray " << k;
            hit += one.hit;
        }
        EXPECT_GT(hit, 10) << round;
        // Moved 3 m along +x, the cube leaves the origin's column for x in [3, 4].
        for (EmbreeSceneManager* s : {&flat, &layered}) {
            s->update_instance_transform(0, translation(3, 0, 0).data());
            s->refit_ias();
        }
        EXPECT_TRUE(hits_instance(flat, {3.5f, 0.5f, 2}, 0)) << round;
        EXPECT_FALSE(hits_instance(flat, {0.5f, 0.5f, 2}, 0)) << round;
    }
}

}  // namespace
}  // namespace vorn::test
