// The GPU scene on the emulated device: the two wire records byte by byte,
// the instance records, the world primitives before and after a refit, every
// allocation step of a build failing for lack of memory, and device memory
// over a thousand rebuilds. (Tracing the IAS is checked through the
// simulator: its images equal the CPU renderer's, and the physics suite
// renders refitted instances like ones built in place.)
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "gpu/scene_manager.h"

namespace vorn::test {
namespace {

using Bytes = std::vector<unsigned char>;

// The stand-in driver finds the host builds of the programs through this
// variable; the build folder is the default when the caller sets none.
[[maybe_unused]] const bool g_programs_env_set = [] {
    setenv("VORN_OPTIX_EMU_PROGRAMS", VORN_EMU_PROGRAMS_DEFAULT, 0);
    return true;
}();

/// 3x4 row-major rotation (axis, angle) times diagonal scale, then translation.
void make_xform(float out[12], float3 axis, float angle, float3 scale, float3 t) {
    const float3 a = normalize(axis);
    const double x = a.x, y = a.y, z = a.z, c = std::cos(angle), s = std::sin(angle), k = 1 - c;
    const double sc[3] = {scale.x, scale.y, scale.z}, tr[3] = {t.x, t.y, t.z};
    const double r[9] = {c + x * x * k,     x * y * k - z * s, x * z * k + y * s,
                         y * x * k + z * s, c + y * y * k,     y * z * k - x * s,
                         z * x * k - y * s, z * y * k + x * s, c + z * z * k};
    for (int row = 0; row < 3; ++row) {
        for (int col = 0; col < 3; ++col) out[4 * row + col] = float(r[3 * row + col] * sc[col]);
        out[4 * row + 3] = float(tr[row]);
    }
}

struct TestScene {
    std::vector<Mesh> meshes;
    std::vector<Instance> instances;
};

/// Three meshes (square, tetrahedron, octahedron) in five instances: scaled,
/// rotated, non-uniformly scaled, mirrored (negative determinant) and upright.
TestScene make_test_scene() {
    TestScene s;
    // clang-format off
    s.meshes = {
        {{{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}}, {}, {{0, 1, 2}, {0, 2, 3}}},
        {{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}}, {}, {{0, 2, 1}, {0, 1, 3}, {0, 3, 2}, {1, 2, 3}}},
        {{{1, 0, 0}, {-1, 0, 0}, {0, 1, 0}, {0, -1, 0}, {0, 0, 1}, {0, 0, -1}}, {},
         {{0, 2, 4}, {2, 1, 4}, {1, 3, 4}, {3, 0, 4}, {2, 0, 5}, {1, 2, 5}, {3, 1, 5}, {0, 3, 5}}}};
    const struct { int mesh; float3 axis; float angle; float3 scale, t; } placements[] = {
        {0, {0, 0, 1}, 0.0f, {4, 4, 4}, {-2, -2, 0}},
        {1, {0, 0, 1}, 0.5236f, {0.6f, 0.6f, 0.6f}, {0.5f, 0.3f, 1}},
        {1, {1, 0, 0}, 0.7f, {0.5f, 1.2f, 0.8f}, {-1, 0.4f, 1.5f}},
        {2, {1, 1, 0}, 0.4f, {-0.7f, 0.7f, 0.7f}, {1.2f, -1, 1.2f}},
        {0, {1, 0, 0}, 1.5708f, {2, 2, 2}, {-2, 1.9f, 0}}};
    // clang-format on
    for (const auto& p : placements) {
        Instance inst;
        inst.mesh_id = p.mesh;
        make_xform(inst.xform, p.axis, p.angle, p.scale, p.t);
        s.instances.push_back(inst);
    }
    return s;
}

size_t free_bytes() {
    size_t free = 0, total = 0;
    EXPECT_EQ(cudaMemGetInfo(&free, &total), cudaSuccess);
    return free;
}

/// Holds device memory until only `leave` bytes stay free.
struct MemoryHog {
    explicit MemoryHog(size_t leave) {
        void* p = nullptr;
        for (size_t f = free_bytes();
             f > leave && cudaMalloc(&p, std::min(f - leave, 1ul << 30)) == cudaSuccess;
             f = free_bytes())
            blocks.push_back(p);
    }
    ~MemoryHog() {
        for (void* p : blocks) cudaFree(p);
    }
    std::vector<void*> blocks;
};

Bytes download(const void* device_ptr, size_t bytes) {
    Bytes out(bytes);
    if (bytes)
        EXPECT_EQ(cudaMemcpy(out.data(), device_ptr, bytes, cudaMemcpyDeviceToHost), cudaSuccess);
    return out;
}

template <typename T>
Bytes bytes_of(const T* v, size_t count = 1) {
    const auto* p = reinterpret_cast<const unsigned char*>(v);
    return Bytes(p, p + count * sizeof(T));
}
template <typename T>
Bytes bytes_of(const std::vector<T>& v) {
    return bytes_of(v.data(), v.size());
}

template <typename T>
T at(const Bytes& b, size_t offset) {
    T v;
    std::memcpy(&v, b.data() + offset, sizeof v);
    return v;
}
const void* ptr_at(const Bytes& b, size_t offset) { return at<const void*>(b, offset); }

/// The probe scene (moved, rotated, non-uniformly scaled and mirrored
/// instances) with normals and a degenerate (collinear) triangle added to the
/// first mesh, four materials, emitter and spectral values, in either class.
template <class Scene>
void describe(Scene& s, const TestScene& t) {
    for (size_t m = 0; m < t.meshes.size(); ++m) {
        Mesh mesh = t.meshes[m];
        if (m == 0) {
            mesh.vertices.push_back({2, 0, 0});
            mesh.indices.push_back({0, 1, 4});
            mesh.normals.assign(mesh.vertices.size(), {0, 0, 1});
        }
        s.add_mesh(mesh.vertices, mesh.normals, mesh.indices, int(m % 2));
    }
    for (const Instance& inst : t.instances) s.add_instance(inst.mesh_id, inst.xform);
    // More material bytes than the IAS build's temporary memory, so that the
    // material upload can fail on its own once the IAS is built.
    for (MaterialType type : {MaterialType::Lambertian, MaterialType::Leaf, MaterialType::Rpv,
                              MaterialType::Lambertian})
        s.add_material(type, 1);
    s.upload_spectral_params({0.5f, 0.1f, 0.2f, 0.3f, 1000.0f});
    s.set_emitter(EmitterType::Sun, {0.0f, 0.0f, 1.0f}, 4);
}

TEST(GpuScene, SceneRecordHoldsEveryFieldAtItsOffset) {
    OptiXContext ctx(0);
    SceneManager s(ctx);
    EXPECT_EQ(s.num_bands, 0);
    describe(s, make_test_scene());
    s.set_num_bands(3);
    s.set_sky(2);
    s.set_hw_sky(1, {0.1f, 0.2f, 0.9f});
    s.set_repetitive(4, 10.5f, 20.25f);
    s.set_measurement_plane(1.5f);
    s.set_thermal_mode(true, {500.0f, 600.0f, 700.0f});
    s.set_terrain_following(true);
    s.set_sif_only_mode(true);
    s.build();
    const uint32_t n = s.n_primitives();
    ASSERT_EQ(n, 3u + 4 + 4 + 8 + 3);
    std::vector<float> temps(n, 300.0f), emissivities(n, 0.97f), sif(2 * n, 0.01f);
    s.set_primitive_temperatures(temps);
    s.set_primitive_emissivities(emissivities);
    s.set_primitive_sif_spectra(sif, 2);
    SceneData record = s.get_scene_data();
    const Bytes b = bytes_of(&record);
    ASSERT_EQ(b.size(), 400u);

    const PrimitiveArrays& p = s.primitives();
    // clang-format off
    const std::pair<size_t, Bytes> pointed[] = {
        {8, bytes_of(s.materials)}, {24, bytes_of(s.spectral_params)}, {32, bytes_of(&s.emitter)},
        {288, bytes_of(s.wavelengths)}, {304, bytes_of(p.v0)}, {312, bytes_of(p.v1)},
        {320, bytes_of(p.v2)}, {328, bytes_of(p.normals)}, {336, bytes_of(p.areas)},
        {344, bytes_of(p.material_ids)}, {360, bytes_of(temps)},
        {368, bytes_of(p.instance_offsets)}, {376, bytes_of(emissivities)}, {384, bytes_of(sif)}};
    const std::pair<size_t, uint32_t> words[] = {{16, 4}, {40, 1}, {184, 3}, {240, 2}, {244, 1},
                                                 {260, 4}, {280, 3}, {352, n}, {392, 2}};
    const std::pair<size_t, float> floats[] = {{228, 10.5f}, {232, 20.25f}, {236, s.max_height()},
        {248, s.sky.hw_sky_sun.x}, {252, s.sky.hw_sky_sun.y}, {256, s.sky.hw_sky_sun.z},  // unit
        {264, 10.5f}, {268, 20.25f}, {300, 1.5f}};
    const std::pair<size_t, size_t> reserved[] = {{20, 24}, {180, 184}, {188, 228}, {272, 280},
                                                  {285, 288}, {297, 300}, {356, 360}, {397, 400}};
    // clang-format on
    for (const auto& [offset, expected] : pointed)
        EXPECT_EQ(download(ptr_at(b, offset), expected.size()), expected) << offset;
    for (const auto& [offset, value] : words) EXPECT_EQ(at<uint32_t>(b, offset), value) << offset;
    for (const auto& [offset, value] : floats) EXPECT_EQ(at<float>(b, offset), value) << offset;
    for (size_t flag : {284, 296, 396}) EXPECT_EQ(b[flag], 1) << flag;
    for (const auto& [begin, end] : reserved)
        for (size_t i = begin; i < end; ++i) EXPECT_EQ(b[i], 0) << i;
    EXPECT_NE(at<uint64_t>(b, 0), 0u);
    EXPECT_GT(s.max_height(), 1.0f);
    EXPECT_EQ(p.instance_offsets, (std::vector<int32_t>{0, 3, 7, 11, 19, 22}));
    EXPECT_EQ(Bytes(b.begin() + 44, b.begin() + 180), bytes_of(&s.sensor));

    // The sensor reaches the device through the record alone.
    SensorData sensor{};
    sensor.type = 1;
    sensor.width = 64;
    sensor.fov = 0.5f;
    s.set_sensor(sensor);
    record = s.get_scene_data();
    const Bytes after = bytes_of(&record);
    size_t changed = 0;
    for (size_t i = 0; i < 400; ++i) {
        EXPECT_TRUE(after[i] == b[i] || (i >= 44 && i < 180)) << i;
        changed += after[i] != b[i];
    }
    EXPECT_EQ(changed, 3u);  // type, width and the high byte of fov
    s.clear_primitive_temperatures();
    EXPECT_EQ(s.get_scene_data().prim_temperatures, nullptr);
}

TEST(GpuScene, HitGroupRecordsAndInstanceRecords) {
    OptiXContext ctx(0);
    SceneManager s(ctx);
    const TestScene t = make_test_scene();
    s.add_mesh(t.meshes[0].vertices, {}, t.meshes[0].indices, 7);
    s.add_mesh(t.meshes[1].vertices, std::vector<float3>(4, {1, 0, 0}), t.meshes[1].indices, 2);
    s.build();  // no instances: one identity instance per mesh, which stay
    s.add_instance(1, 1, 2, 3, 0.5f);
    s.build();  // instances exist: none added
    ASSERT_EQ(s.num_instances(), 3);
    const std::vector<HitGroupData> hg = s.get_hitgroup_data();
    ASSERT_EQ(hg.size(), 2u);
    for (size_t m = 0; m < 2; ++m) {
        const Bytes b = bytes_of(&hg[m]);
        const Mesh& mesh = s.meshes[m];
        EXPECT_EQ(download(ptr_at(b, 0), 12 * mesh.vertices.size()), bytes_of(mesh.vertices));
        EXPECT_EQ(download(ptr_at(b, 8), 12 * mesh.normals.size()), bytes_of(mesh.normals));
        EXPECT_EQ(ptr_at(b, 8) == nullptr, m == 0);
        EXPECT_EQ(download(ptr_at(b, 24), 12 * mesh.indices.size()), bytes_of(mesh.indices));
        EXPECT_EQ(at<uint32_t>(b, 32), m == 0 ? 7u : 2u);
        EXPECT_EQ(at<uint64_t>(b, 16) | at<uint32_t>(b, 36), 0u);
    }
    const Bytes raw = download(s.instance_buffer().data(), 3 * sizeof(OptixInstance));
    const float xf[3][12] = {{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0},
                             {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0},
                             {0.5f, 0, 0, 1, 0, 0.5f, 0, 2, 0, 0, 0.5f, 3}};
    for (unsigned k = 0; k < 3; ++k) {
        const auto r = at<OptixInstance>(raw, k * sizeof(OptixInstance));
        const unsigned mesh = k == 0 ? 0 : 1;
        EXPECT_EQ(bytes_of(r.transform, 12), bytes_of(xf[k], 12)) << k;
        EXPECT_EQ(r.instanceId, k);
        EXPECT_EQ(r.sbtOffset, 2 * mesh);
        EXPECT_EQ(r.visibilityMask, 255u);
        EXPECT_EQ(r.flags, 0u);
        EXPECT_EQ(r.traversableHandle, s.gpu_meshes()[mesh].gas_handle);
    }
}

// Normals follow the object-space winding through M^-T (faces are judged in
// object space); areas by Nanson's formula, |det M| |M^-T n_obj| / 2.
void expect_world_primitives(const SceneManager& s, int k) {
    const Instance& inst = s.instances[size_t(k)];
    const Mesh& mesh = s.meshes[size_t(inst.mesh_id)];
    const PrimitiveArrays& p = s.primitives();
    const float* m = inst.xform;
    const double c[9] = {
        // cofactors, double precision: M^-T = C / det
        double(m[5]) * m[10] - double(m[6]) * m[9], double(m[6]) * m[8] - double(m[4]) * m[10],
        double(m[4]) * m[9] - double(m[5]) * m[8],  double(m[2]) * m[9] - double(m[1]) * m[10],
        double(m[0]) * m[10] - double(m[2]) * m[8], double(m[1]) * m[8] - double(m[0]) * m[9],
        double(m[1]) * m[6] - double(m[2]) * m[5],  double(m[2]) * m[4] - double(m[0]) * m[6],
        double(m[0]) * m[5] - double(m[1]) * m[4]};
    const double det = m[0] * c[0] + m[1] * c[1] + m[2] * c[2];
    for (size_t t = 0; t < mesh.indices.size(); ++t) {
        const size_t q = size_t(p.instance_offsets[size_t(k)]) + t;
        SCOPED_TRACE("instance " + std::to_string(k) + " triangle " + std::to_string(t));
        const int3 tri = mesh.indices[t];
        const float3 v[3] = {mesh.vertices[size_t(tri.x)], mesh.vertices[size_t(tri.y)],
                             mesh.vertices[size_t(tri.z)]};
        const float3 w[3] = {p.v0[q], p.v1[q], p.v2[q]};
        for (int i = 0; i < 3; ++i) EXPECT_LT(length(w[i] - xform_point(m, v[i])), 1e-5f);
        const float3 o = cross(v[1] - v[0], v[2] - v[0]);
        double n[3], len2 = 0;
        for (int r = 0; r < 3; ++r) {
            n[r] = (c[3 * r] * o.x + c[3 * r + 1] * o.y + c[3 * r + 2] * o.z) / det;
            len2 += n[r] * n[r];
        }
        const double len = std::sqrt(len2);
        EXPECT_EQ(p.material_ids[q], mesh.material_id);
        EXPECT_NEAR(p.areas[q], 0.5 * std::fabs(det) * len, 1e-5 * (1 + p.areas[q]));
        const float3 expected =
            len == 0 ? float3{0, 0, 1}  // degenerate: a fixed normal
                     : float3{float(n[0] / len), float(n[1] / len), float(n[2] / len)};
        EXPECT_LT(length(p.normals[q] - expected), 1e-5f);
    }
}

TEST(GpuScene, WorldPrimitivesBeforeAndAfterARefit) {
    OptiXContext ctx(0);
    TestScene t = make_test_scene();
    SceneManager gpu(ctx);
    describe(gpu, t);
    gpu.build();
    for (int k = 0; k < 5; ++k) expect_world_primitives(gpu, k);
    make_xform(t.instances[1].xform, {0, 1, 0}, 0.9f, {1.1f, 1.1f, 1.1f}, {1, 1, 0.6f});
    make_xform(t.instances[4].xform, {1, 0, 0}, 1.2f, {2, 1, 2}, {-1.5f, 0, 0.2f});
    for (int k : {1, 4}) gpu.update_instance_transform(k, t.instances[size_t(k)].xform);
    gpu.refit_ias();
    // The moved instances' primitives follow, on the host and on the device.
    for (int k = 0; k < 5; ++k) expect_world_primitives(gpu, k);
    const SceneData d = gpu.get_scene_data();
    const PrimitiveArrays& p = gpu.primitives();
    EXPECT_EQ(download(d.prim_v2, 22 * 12), bytes_of(p.v2));
    EXPECT_EQ(download(d.prim_normals, 22 * 12), bytes_of(p.normals));
    EXPECT_EQ(download(d.prim_areas, 22 * 4), bytes_of(p.areas));
}

TEST(GpuScene, EveryAllocationOfABuildFailsCleanlyForLackOfMemory) {
    OptiXContext ctx(0);
    SceneManager s(ctx);
    describe(s, make_test_scene());
    const std::set<std::string> steps = {
        "mesh verts", "mesh idx", "mesh norms", "gas temp", "gas out", "ias inst", "ias temp", "ias out",
        "ias update buf", "mat", "emit", "primitive vec3 alloc", "primitive float alloc", "primitive int alloc"};
    std::set<std::string> failed;
    const std::string head = "CUDA: ", tail = " - out of memory";
    for (size_t budget = 0; !s.is_built(); budget += 4) {
        MemoryHog hog(budget);
        ASSERT_EQ(free_bytes(), budget);
        try {
            s.build();
        } catch (const std::runtime_error& e) {
            const std::string msg = e.what();
            ASSERT_EQ(msg.substr(0, 6) + msg.substr(msg.size() - tail.size()), head + tail) << msg;
            failed.insert(msg.substr(6, msg.size() - 6 - tail.size()));
            EXPECT_FALSE(s.is_built() || s.has_gpu_meshes());
            ASSERT_EQ(free_bytes(), budget) << msg;  // released at once
        }
    }
    EXPECT_EQ(failed, steps);
    // Uploads of their own fail whole: the scene keeps what it had.
    MemoryHog hog(0);
    const std::pair<std::function<void()>, std::string> calls[] = {
        {[&] { s.set_thermal_mode(true, {500.0f}); }, "thermal wavelengths alloc"},
        {[&] { s.upload_spectral_params({1.0f}); }, "spectral alloc"},
        {[&] { s.set_primitive_temperatures(std::vector<float>(22, 1.0f)); },
         "primitive temperatures alloc"}};
    for (const auto& [call, step] : calls) {
        try {
            call();
            ADD_FAILURE() << step;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(e.what(), head + step + tail);
        }
    }
    const SceneData d = s.get_scene_data();
    EXPECT_TRUE(!s.thermal && !d.wavelengths && !d.prim_temperatures && d.spectral_params);
    EXPECT_EQ(s.spectral_params.size() + s.primitive_temperatures().size(), 5u);
}

TEST(GpuScene, AThousandRebuildsLeaveFreeMemoryWhereItStarted) {
    OptiXContext ctx(0);
    const size_t start = free_bytes();
    {
        SceneManager s(ctx);
        describe(s, make_test_scene());
        s.build();
        const size_t built = free_bytes();
        for (int i = 0; i < 1000; ++i) {
            s.clear_for_reuse();
            s.add_material(MaterialType::Lambertian, 0);
            s.upload_spectral_params({0.5f, 1.0f});
            s.set_emitter(EmitterType::Sun, {0, 0, 1}, 1);
            s.build_reuse_gas();
            s.build();
            // Three materials and three spectral values fewer than the first build held.
            ASSERT_EQ(free_bytes(), built + 3 * sizeof(MaterialData) + 3 * sizeof(float)) << i;
        }
        s.free_gpu();
        EXPECT_EQ(free_bytes(), start);
        s.build();
        EXPECT_LT(free_bytes(), start);
    }
    EXPECT_EQ(free_bytes(), start);
}

}  // namespace
}  // namespace vorn::test
