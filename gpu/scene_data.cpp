// Data half of the GPU scene: materials, emitter, spectral values, thermal
// wavelengths, the per-primitive overrides, and the two records the device
// programs read. Every upload is a synchronous host-to-device copy; a buffer
// is replaced only once its successor holds the new values, so a failing call
// leaves the scene as it was.
#include <cstring>
#include <stdexcept>
#include <string>

#include "gpu/scene_manager.h"

namespace vorn {

namespace {

constexpr int kMaxGpuBands = 128;

/// Uploads `count` values into a fresh buffer (empty for no values, so a
/// device pointer of 0 means "none") and only then replaces `buffer`.
template <typename T>
void replace_with(DeviceBuffer& buffer, const T* values, size_t count, const char* alloc_step,
                  const char* upload_step) {
    DeviceBuffer fresh;
    if (count > 0) {
        fresh.alloc(count * sizeof(T), alloc_step);
        fresh.copy_from_host(values, count * sizeof(T), upload_step);
    }
    buffer = std::move(fresh);
}

template <typename T>
const T* device_ptr(const DeviceBuffer& b) {
    return static_cast<const T*>(b.data());
}

std::string length_message(const char* prefix, size_t got, uint32_t n) {
    return std::string(prefix) + std::to_string(got) +
           " does not match n_primitives() = " + std::to_string(n);
}

}  // namespace

void SceneManager::set_num_bands(int n) {
    if (n > kMaxGpuBands)
        throw std::runtime_error("num_bands=" + std::to_string(n) +
                                 " exceeds GPU limit of 128. Use spectral batching to simulate "
                                 "more bands.");
    num_bands = n;
}

void SceneManager::upload_materials() {
    if (materials.empty()) return;  // the device keeps what it has
    replace_with(material_buffer_, materials.data(), materials.size(), "mat", "mat");
    uploaded_materials_ = uint32_t(materials.size());
}

void SceneManager::upload_emitter() { replace_with(emitter_buffer_, &emitter, 1, "emit", "emit"); }

void SceneManager::update_emitter_direction(float3 direction) {
    emitter.direction = direction;
    if (emitter_buffer_) emitter_buffer_.copy_from_host(&emitter, sizeof emitter, "emitter update");
}

void SceneManager::upload_spectral_params(std::vector<float> values) {
    replace_with(spectral_buffer_, values.data(), values.size(), "spectral alloc",
                 "spectral upload");
    spectral_params = std::move(values);
    spectral_uploaded_ = true;
}

void SceneManager::update_spectral_params(int offset, const std::vector<float>& values) {
    if (!spectral_uploaded_) throw std::runtime_error("Spectral params not uploaded yet");
    // Checks the range against the uploaded length before anything is written.
    SceneDescription::update_spectral_params(offset, values);
    if (!values.empty())
        upload_range(spectral_buffer_, values.data(), size_t(offset) * sizeof(float),
                     values.size() * sizeof(float), "spectral update");
}

void SceneManager::set_thermal_mode(bool enabled, std::vector<float> wl) {
    replace_with(wavelength_buffer_, wl.data(), wl.size(), "thermal wavelengths alloc",
                 "thermal wavelengths upload");
    SceneDescription::set_thermal_mode(enabled, std::move(wl));
}

// After free_gpu the host keeps the spectral values and wavelengths; a later
// build puts them back on the device so that the scene starts over whole.
void SceneManager::upload_host_state() {
    if (!spectral_params.empty() && !spectral_buffer_) {
        replace_with(spectral_buffer_, spectral_params.data(), spectral_params.size(),
                     "spectral alloc", "spectral upload");
        spectral_uploaded_ = true;
    }
    if (!wavelengths.empty() && !wavelength_buffer_)
        replace_with(wavelength_buffer_, wavelengths.data(), wavelengths.size(),
                     "thermal wavelengths alloc", "thermal wavelengths upload");
}

void SceneManager::upload_range(DeviceBuffer& buffer, const void* src, size_t offset, size_t bytes,
                                const char* step) {
    cuda_check(offset + bytes <= buffer.size() ? cudaSuccess : cudaErrorInvalidValue, step);
    cuda_check(
        cudaMemcpy(static_cast<char*>(buffer.data()) + offset, src, bytes, cudaMemcpyHostToDevice),
        step);
}

// ---- per-primitive overrides ------------------------------------------------

void SceneManager::set_primitive_temperatures(const std::vector<float>& values) {
    if (values.size() != n_primitives())
        throw std::runtime_error(length_message("set_primitive_temperatures: array length ",
                                                values.size(), n_primitives()));
    if (temperature_buffer_.size() >= values.size() * sizeof(float) && !values.empty())
        temperature_buffer_.copy_from_host(values.data(), values.size() * sizeof(float),
                                           "primitive temperatures upload");
    else
        replace_with(temperature_buffer_, values.data(), values.size(),
                     "primitive temperatures alloc", "primitive temperatures upload");
    prim_temperatures_ = values;
}

void SceneManager::clear_primitive_temperatures() {
    prim_temperatures_.clear();
    temperature_buffer_.release();
}

void SceneManager::set_primitive_emissivities(const std::vector<float>& values) {
    if (values.size() != n_primitives())
        throw std::runtime_error(length_message("set_primitive_emissivities: array length ",
                                                values.size(), n_primitives()));
    if (emissivity_buffer_.size() >= values.size() * sizeof(float) && !values.empty())
        emissivity_buffer_.copy_from_host(values.data(), values.size() * sizeof(float),
                                          "primitive emissivities upload");
    else
        replace_with(emissivity_buffer_, values.data(), values.size(),
                     "primitive emissivities alloc", "primitive emissivities upload");
    prim_emissivities_ = values;
}

void SceneManager::clear_primitive_emissivities() {
    prim_emissivities_.clear();
    emissivity_buffer_.release();
}

void SceneManager::set_primitive_sif_spectra(const std::vector<float>& values, int n_sif_bands) {
    const uint32_t n = n_primitives();
    if (n_sif_bands < 0)
        throw std::runtime_error(
            "set_primitive_sif_spectra: n_sif_bands must not be negative, got " +
            std::to_string(n_sif_bands));
    // In 64 bits: a 32-bit product could wrap onto the length of a short array.
    const uint64_t expected = uint64_t(n_sif_bands) * n;
    if (values.size() != expected)
        throw std::runtime_error("set_primitive_sif_spectra: array length " +
                                 std::to_string(values.size()) +
                                 " != n_sif_bands * n_primitives = " + std::to_string(n_sif_bands) +
                                 " * " + std::to_string(n) + " = " + std::to_string(expected));
    replace_with(sif_buffer_, values.data(), values.size(),
                 sif_buffer_ ? "primitive sif spectra realloc" : "primitive sif spectra alloc",
                 "primitive sif spectra upload");
    n_sif_bands_ = uint32_t(n_sif_bands);
}

void SceneManager::clear_primitive_sif_spectra() {
    n_sif_bands_ = 0;
    sif_buffer_.release();
}

// Overrides are numbered by primitive; once the numbering changes they would
// describe other triangles, or be read past their end.
void SceneManager::drop_overrides() {
    clear_primitive_temperatures();
    clear_primitive_emissivities();
    clear_primitive_sif_spectra();
}

// ---- the records -------------------------------------------------------------

SceneData SceneManager::get_scene_data() const {
    SceneData d;
    std::memset(&d, 0, sizeof d);  // reserved bytes and padding included
    d.ias_handle = ias_handle_;
    d.materials = device_ptr<MaterialData>(material_buffer_);
    d.num_materials = uploaded_materials_;
    d.spectral_params = device_ptr<float>(spectral_buffer_);
    d.emitter = device_ptr<EmitterData>(emitter_buffer_);
    d.num_emitters = 1;
    d.sensor = sensor;
    d.num_bands = num_bands;
    d.scene_x_size = tile.scene_x_size;
    d.scene_y_size = tile.scene_y_size;
    d.max_height = traced_max_height_;
    d.sky_offset = sky.sky_offset;
    d.hw_sky_offset = sky.hw_sky_offset;
    d.hw_sky_sun = sky.hw_sky_sun;
    d.num_repetitions = tile.num_repetitions;
    d.tile_x_size = tile.scene_x_size;
    d.tile_y_size = tile.scene_y_size;
    d.num_meshes = uint32_t(gpu_meshes_.size());
    d.thermal = thermal;
    d.wavelengths = device_ptr<float>(wavelength_buffer_);
    d.terrain_following = terrain_following;
    d.measurement_height = measurement_plane_height;
    d.prim_v0 = device_ptr<float3>(prim_v0_);
    d.prim_v1 = device_ptr<float3>(prim_v1_);
    d.prim_v2 = device_ptr<float3>(prim_v2_);
    d.prim_normals = device_ptr<float3>(prim_normals_);
    d.prim_areas = device_ptr<float>(prim_areas_);
    d.prim_material_ids = device_ptr<int32_t>(prim_material_ids_);
    d.n_primitives = n_primitives();
    d.prim_temperatures = device_ptr<float>(temperature_buffer_);
    d.instance_offsets = device_ptr<int32_t>(instance_offsets_buffer_);
    d.prim_emissivities = device_ptr<float>(emissivity_buffer_);
    d.prim_sif = device_ptr<float>(sif_buffer_);
    d.n_sif_bands = sif_buffer_ ? n_sif_bands_ : 0;
    d.sif_only = sif_only_;
    return d;
}

std::vector<HitGroupData> SceneManager::get_hitgroup_data() const {
    std::vector<HitGroupData> out;
    out.reserve(gpu_meshes_.size());
    for (const GPUMesh& g : gpu_meshes_) {
        HitGroupData h;
        std::memset(&h, 0, sizeof h);
        h.vertices = device_ptr<float3>(g.vertices);
        h.normals = device_ptr<float3>(g.normals);
        h.indices = device_ptr<int3>(g.indices);
        h.material_id = g.material_id;
        out.push_back(h);
    }
    return out;
}

}  // namespace vorn
