#include "scene/scene_description.h"

#include <stdexcept>
#include <string>

namespace vorn {

int SceneDescription::add_mesh(std::vector<float3> vertices, std::vector<float3> normals,
                               std::vector<int3> indices, int material_id) {
    Mesh m;
    m.vertices = std::move(vertices);
    m.normals = std::move(normals);
    m.indices = std::move(indices);
    m.material_id = material_id;
    meshes.push_back(std::move(m));
    return int(meshes.size()) - 1;
}

int SceneDescription::add_instance(int mesh_id, const float xform[12]) {
    Instance inst;
    inst.mesh_id = mesh_id;
    for (int i = 0; i < 12; ++i) inst.xform[i] = xform[i];
    instances.push_back(inst);
    return int(instances.size()) - 1;
}

int SceneDescription::add_instance(int mesh_id, float x, float y, float z, float scale) {
    const float xf[12] = {scale, 0, 0, x, 0, scale, 0, y, 0, 0, scale, z};
    return add_instance(mesh_id, xf);
}

int SceneDescription::add_material(MaterialType type, int offset) {
    MaterialData m{};
    m.type = type;
    m.offset = offset;
    materials.push_back(m);
    return int(materials.size()) - 1;
}

void SceneDescription::update_spectral_params(int offset, const std::vector<float>& values) {
    const int64_t end = int64_t(offset) + int64_t(values.size());
    if (offset < 0 || end > int64_t(spectral_params.size()))
        throw std::runtime_error("update_spectral_params: range [" + std::to_string(offset) + ", " +
                                 std::to_string(end) + ") lies outside the spectral array of " +
                                 std::to_string(spectral_params.size()) + " values");
    for (size_t i = 0; i < values.size(); ++i) spectral_params[size_t(offset) + i] = values[i];
}

void SceneDescription::set_emitter(EmitterType type, float3 direction, int spectral_offset) {
    emitter = EmitterData{};
    emitter.type = type;
    emitter.direction = direction;
    emitter.spectral_offset = spectral_offset;
}

uint32_t SceneDescription::total_triangles() const {
    uint32_t total = 0;
    for (int c : instance_triangle_counts()) total += uint32_t(c);
    return total;
}

std::vector<int> SceneDescription::instance_triangle_counts() const {
    std::vector<int> counts;
    counts.reserve(instances.size());
    for (const Instance& inst : instances) {
        const bool valid = inst.mesh_id >= 0 && size_t(inst.mesh_id) < meshes.size();
        counts.push_back(valid ? int(meshes[size_t(inst.mesh_id)].indices.size()) : 0);
    }
    return counts;
}

void SceneDescription::validate_geometry() const {
    for (size_t i = 0; i < instances.size(); ++i) {
        const int id = instances[i].mesh_id;
        if (id < 0 || size_t(id) >= meshes.size())
            throw std::runtime_error("build: instance " + std::to_string(i) + " refers to mesh " +
                                     std::to_string(id) + " but the scene has " +
                                     std::to_string(meshes.size()) + " meshes");
    }
    for (size_t m = 0; m < meshes.size(); ++m) {
        const Mesh& mesh = meshes[m];
        if (!mesh.normals.empty() && mesh.normals.size() != mesh.vertices.size())
            throw std::runtime_error("build: mesh " + std::to_string(m) + " has " +
                                     std::to_string(mesh.normals.size()) + " normals for " +
                                     std::to_string(mesh.vertices.size()) +
                                     " vertices (expected none or one per vertex)");
        const int64_t nv = int64_t(mesh.vertices.size());
        for (size_t t = 0; t < mesh.indices.size(); ++t) {
            const int3 tri = mesh.indices[t];
            if (tri.x < 0 || tri.y < 0 || tri.z < 0 || tri.x >= nv || tri.y >= nv || tri.z >= nv)
                throw std::runtime_error("build: mesh " + std::to_string(m) + " triangle " +
                                         std::to_string(t) + " indexes a vertex outside [0, " +
                                         std::to_string(nv) + ")");
        }
    }
}

namespace {

void check_range(const char* who, const std::string& what, int64_t begin, int64_t count,
                 size_t size) {
    if (count <= 0) return;
    if (begin < 0 || begin + count > int64_t(size))
        throw std::runtime_error(std::string(who) + ": " + what + " reads spectral values [" +
                                 std::to_string(begin) + ", " + std::to_string(begin + count) +
                                 ") but the spectral array holds " + std::to_string(size));
}

}  // namespace

void SceneDescription::validate_for_engine(int nb, const char* who, bool reads_thermal) const {
    if (!built) throw std::runtime_error(std::string(who) + ": scene not built. Call build() first.");
    if (nb < 0) throw std::runtime_error(std::string(who) + ": band count must not be negative");
    const size_t ns = spectral_params.size();
    for (size_t i = 0; i < instances.size(); ++i) {
        const int mesh_id = instances[i].mesh_id;
        if (mesh_id < 0 || size_t(mesh_id) >= meshes.size()) continue;  // rejected at build
        const int mat = meshes[size_t(mesh_id)].material_id;
        if (mat < 0 || size_t(mat) >= materials.size())
            throw std::runtime_error(std::string(who) + ": mesh " + std::to_string(mesh_id) +
                                     " uses material " + std::to_string(mat) + " but the scene has " +
                                     std::to_string(materials.size()) + " materials");
    }
    for (size_t m = 0; m < materials.size(); ++m) {
        const MaterialData& md = materials[m];
        // Thermal emission reads the first slot as emissivity whatever the type.
        int q = material_quantities(md.type);
        if (thermal && reads_thermal && q < 1) q = 1;
        check_range(who, "material " + std::to_string(m), md.offset, int64_t(q) * nb, ns);
    }
    const float3 s = emitter.direction;
    if (s.x != 0.0f || s.y != 0.0f || s.z != 0.0f)
        check_range(who, "the emitter", emitter.spectral_offset, nb, ns);
    if (sky.hw_sky_offset >= 0)
        check_range(who, "the parametric sky", sky.hw_sky_offset, int64_t(kHwSkyValuesPerBand) * nb, ns);
    else if (sky.sky_offset >= 0)
        check_range(who, "the uniform sky", sky.sky_offset, nb, ns);
    if (thermal && reads_thermal && wavelengths.size() < size_t(nb))
        throw std::runtime_error(std::string(who) + ": thermal mode needs one wavelength per band (" +
                                 std::to_string(nb) + "), got " + std::to_string(wavelengths.size()));
}

void SceneDescription::clear_description_for_reuse() {
    materials.clear();
    spectral_params.clear();
    sky = kNoSky;
    emitter = EmitterData{};
}

namespace {

struct Box {
    float3 lo, hi;
};

/// Object-space bounding box of a mesh with at least one vertex.
Box mesh_box(const Mesh& mesh) {
    Box b{{1e30f, 1e30f, 1e30f}, {-1e30f, -1e30f, -1e30f}};
    for (const float3& v : mesh.vertices) {
        b.lo = {f_min(b.lo.x, v.x), f_min(b.lo.y, v.y), f_min(b.lo.z, v.z)};
        b.hi = {f_max(b.hi.x, v.x), f_max(b.hi.y, v.y), f_max(b.hi.z, v.z)};
    }
    return b;
}

}  // namespace

float SceneDescription::measure_max_height() const {
    // One box per mesh, however many instances share it.
    std::vector<Box> boxes;
    boxes.reserve(meshes.size());
    for (const Mesh& mesh : meshes) boxes.push_back(mesh_box(mesh));
    float top = 0.0f;
    for (const Instance& inst : instances) {
        if (inst.mesh_id < 0 || size_t(inst.mesh_id) >= meshes.size()) continue;
        // A mesh without vertices has no box; its sentinel box would report 1e30.
        if (meshes[size_t(inst.mesh_id)].vertices.empty()) continue;
        const Box& b = boxes[size_t(inst.mesh_id)];
        const float* m = inst.xform;
        for (int c = 0; c < 8; ++c) {
            const float x = (c & 1) ? b.hi.x : b.lo.x;
            const float y = (c & 2) ? b.hi.y : b.lo.y;
            const float z = (c & 4) ? b.hi.z : b.lo.z;
            const float zw = m[8] * x + m[9] * y + m[10] * z + m[11];
            if (zw > top) top = zw;
        }
    }
    return top;
}

}  // namespace vorn
