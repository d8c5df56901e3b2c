#include "scene/scene_description.h"

#include <cmath>
#include <stdexcept>
#include <string>

#include "scene/checks.h"
#include "scene/spectral.h"

namespace vorn {

void SceneDescription::require_idle(const char* who) const {
    if (in_use()) fail_input(who, "scene is in use by a running simulation");
}

namespace {

/// Every component of every row finite and within +-kMaxCoordinate.
void check_rows(const std::vector<float3>& rows, const char* who, const char* name) {
    for (size_t i = 0; i < rows.size(); ++i) {
        const float3 r = rows[i];
        const float* c = &r.x;
        for (int k = 0; k < 3; ++k) {
            if (c[k] >= -kMaxCoordinate && c[k] <= kMaxCoordinate) continue;
            const std::string item =
                std::string(name) + "[" + std::to_string(i) + ", " + std::to_string(k) + "]";
            check_coordinate(c[k], who, item.c_str());
        }
    }
}

}  // namespace

int SceneDescription::add_mesh(std::vector<float3> vertices, std::vector<float3> normals,
                               std::vector<int3> indices, int material_id) {
    require_idle("add_mesh");
    check_rows(vertices, "add_mesh", "vertices");
    check_rows(normals, "add_mesh", "normals");
    Mesh m;
    m.vertices = std::move(vertices);
    m.normals = std::move(normals);
    m.indices = std::move(indices);
    m.material_id = material_id;
    meshes.push_back(std::move(m));
    built = false;
    return int(meshes.size()) - 1;
}

int SceneDescription::add_instance(int mesh_id, const float xform[12]) {
    require_idle("add_instance_xform");
    check_coordinates(xform, 12, "add_instance_xform", "xform");
    Instance inst;
    inst.mesh_id = mesh_id;
    for (int i = 0; i < 12; ++i) inst.xform[i] = xform[i];
    instances.push_back(inst);
    built = false;
    return int(instances.size()) - 1;
}

int SceneDescription::add_instance(int mesh_id, float x, float y, float z, float scale) {
    require_idle("add_instance");
    const char* who = "add_instance";
    check_coordinate(x, who, "x");
    check_coordinate(y, who, "y");
    check_coordinate(z, who, "z");
    check_coordinate(scale, who, "scale");
    Instance inst;
    inst.mesh_id = mesh_id;
    const float xf[12] = {scale, 0, 0, x, 0, scale, 0, y, 0, 0, scale, z};
    for (int i = 0; i < 12; ++i) inst.xform[i] = xf[i];
    instances.push_back(inst);
    built = false;
    return int(instances.size()) - 1;
}

int SceneDescription::add_material(MaterialType type, int offset) {
    require_idle("add_material");
    MaterialData m{};
    m.type = type;
    m.offset = offset;
    materials.push_back(m);
    return int(materials.size()) - 1;
}

void SceneDescription::set_num_bands(int n) {
    require_idle("set_num_bands");
    if (n < 0) fail_input("set_num_bands", "the band count must not be negative, got " +
                                               std::to_string(n));
    num_bands = n;
}

void SceneDescription::upload_spectral_params(std::vector<float> values) {
    require_idle("upload_spectral_params");
    for (size_t i = 0; i < values.size(); ++i) {
        if (std::isfinite(values[i])) continue;
        const std::string item = "value " + std::to_string(i);
        check_finite(values[i], "upload_spectral_params", item.c_str());
    }
    spectral_params = std::move(values);
}

void SceneDescription::update_spectral_params(int offset, const std::vector<float>& values) {
    require_idle("update_spectral_params");
    const int64_t end = int64_t(offset) + int64_t(values.size());
    if (offset < 0 || end > int64_t(spectral_params.size()))
        throw std::runtime_error("update_spectral_params: range [" + std::to_string(offset) + ", " +
                                 std::to_string(end) + ") lies outside the spectral array of " +
                                 std::to_string(spectral_params.size()) + " values");
    for (size_t i = 0; i < values.size(); ++i) {
        if (std::isfinite(values[i])) continue;
        const std::string item = "value " + std::to_string(i);
        check_finite(values[i], "update_spectral_params", item.c_str());
    }
    for (size_t i = 0; i < values.size(); ++i) spectral_params[size_t(offset) + i] = values[i];
}

void SceneDescription::set_emitter(EmitterType type, float3 direction, int spectral_offset) {
    require_idle("set_emitter");
    const float3 d = unit_direction(direction, "set_emitter", "direction");
    emitter = EmitterData{};
    emitter.type = type;
    emitter.direction = d;
    emitter.spectral_offset = spectral_offset;
}

void SceneDescription::update_emitter_direction(float3 direction) {
    require_idle("update_emitter_direction");
    emitter.direction = unit_direction(direction, "update_emitter_direction", "direction");
}

void SceneDescription::set_sensor(const SensorData& s) {
    const char* who = "set_sensor";
    require_idle(who);
    if (s.width < 0 || s.height < 0)
        fail_input(who, "width and height must not be negative, got " +
                            std::to_string(s.width) + " x " + std::to_string(s.height));
    if (int64_t(s.width) * s.height > INT32_MAX)
        fail_input(who, "an image of " + std::to_string(s.width) + " x " +
                            std::to_string(s.height) + " pixels exceeds 2147483647 pixels");
    check_coordinates(s.cam_xform, 16, who, "cam_xform");
    check_coordinate(s.ortho_w, who, "ortho_w");
    check_coordinate(s.ortho_h, who, "ortho_h");
    check_finite(s.fov, who, "fov");
    sensor = s;
    sensor_set = true;
}

void SceneDescription::set_sky(int spectral_offset) {
    require_idle("set_sky");
    sky.sky_offset = spectral_offset;
}

void SceneDescription::set_hw_sky(int spectral_offset, float3 sun) {
    const char* who = "set_hw_sky";
    require_idle(who);
    const bool off = spectral_offset < 0 && sun.x == 0.0f && sun.y == 0.0f && sun.z == 0.0f;
    const float3 s = off ? sun : unit_direction(sun, who, "the sun direction (sun_x, sun_y, sun_z)");
    sky.hw_sky_offset = spectral_offset;
    sky.hw_sky_sun = s;
}

void SceneDescription::set_repetitive(int num_repetitions, float scene_x_size,
                                      float scene_y_size) {
    const char* who = "set_repetitive";
    require_idle(who);
    check_coordinate(scene_x_size, who, "scene_x_size");
    check_coordinate(scene_y_size, who, "scene_y_size");
    tile = PeriodicTile{num_repetitions, scene_x_size, scene_y_size};
}

void SceneDescription::set_thermal_mode(bool enabled, std::vector<float> wl) {
    require_idle("set_thermal_mode");
    for (size_t i = 0; i < wl.size(); ++i)
        if (!(wl[i] > 0.0f && std::isfinite(wl[i])))
            fail_input("set_thermal_mode", "wavelengths item " + std::to_string(i) +
                                               " must be a finite wavelength > 0 (nm), got " +
                                               show_value(wl[i]));
    thermal = enabled;
    wavelengths = std::move(wl);
}

void SceneDescription::set_measurement_plane(float height) {
    require_idle("set_measurement_plane");
    check_coordinate(height, "set_measurement_plane", "height");
    measurement_plane_height = height;
}

void SceneDescription::set_terrain_following(bool on) {
    require_idle("set_terrain_following");
    terrain_following = on;
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

void SceneDescription::validate_instance_meshes(const char* who) const {
    for (size_t i = 0; i < instances.size(); ++i) {
        const int id = instances[i].mesh_id;
        if (id < 0 || size_t(id) >= meshes.size())
            throw std::runtime_error(std::string(who) + ": instance " + std::to_string(i) +
                                     " refers to mesh " + std::to_string(id) +
                                     " but the scene has " + std::to_string(meshes.size()) +
                                     " meshes");
    }
}

void SceneDescription::validate_geometry() const {
    validate_instance_meshes("build");
    for (size_t i = 0; i < instances.size(); ++i) {
        const std::string defect = transform_defect(instances[i].xform);
        if (!defect.empty())
            throw std::runtime_error("build: the transform of instance " + std::to_string(i) +
                                     " " + defect);
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
    // An instance added after the last build is not traced, but the per-leaf
    // numbering and max_height count it: its mesh must exist.
    validate_instance_meshes(who);
    const size_t ns = spectral_params.size();
    for (size_t i = 0; i < instances.size(); ++i) {
        const int mesh_id = instances[i].mesh_id;
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

void SceneDescription::validate_for_lidar(int num_wavelengths, const char* who) const {
    validate_for_engine(0, who, false);  // built, and every mesh's material exists
    if (num_bands < 1)
        throw std::runtime_error(std::string(who) + ": the scene has " +
                                 std::to_string(num_bands) +
                                 " bands; set_num_bands must be at least 1");
    if (num_wavelengths < 1 || num_wavelengths > num_bands)
        throw std::runtime_error(std::string(who) + ": num_wavelengths must lie in [1, " +
                                 std::to_string(num_bands) +
                                 "] (the scene's band count), got " +
                                 std::to_string(num_wavelengths));
    const int64_t size = int64_t(spectral_params.size());
    for (size_t m = 0; m < materials.size(); ++m) {
        const MaterialData& md = materials[m];
        if (material_quantities(md.type) < 1) continue;  // reflects nothing, reads nothing
        const int last_q = md.type == MaterialType::Leaf ? 1 : 0;
        for (int q = 0; q <= last_q; ++q) {
            const int64_t begin = material_slot(md.offset, q, num_bands, 0);
            const int64_t end = begin + num_wavelengths;
            if (begin < 0 || end > size)
                throw std::runtime_error(std::string(who) + ": material " + std::to_string(m) +
                                         " reads " +
                                         (q == 0 ? "reflectances" : "back reflectances") +
                                         " [" + std::to_string(begin) + ", " +
                                         std::to_string(end) +
                                         ") but the spectral array holds " +
                                         std::to_string(size));
        }
    }
}

}  // namespace vorn
