// The GPU scene: the shared scene description mirrored on the device. Each
// mesh becomes device vertex/index/normal buffers and one geometry
// acceleration structure (GAS); all instances together one instance
// acceleration structure (IAS) built with updates allowed, so moving
// instances costs a 48-byte copy each and one refit. Materials, emitter,
// spectral values and per-primitive world-space arrays follow them, and two
// wire records (scene_records.h) hand it all to the device programs.
//
// Every device buffer is a DeviceBuffer member, so nothing leaks on any path.
// Geometry lives in scene_geometry.cpp, data in scene_data.cpp, the
// per-primitive arrays in scene_primitives.cpp.
#pragma once

#include <cstdint>
#include <vector>

#include "gpu/device_buffer.h"
#include "gpu/optix_context.h"
#include "gpu/scene_records.h"
#include "scene/scene_description.h"

namespace vorn {

/// Device copy of one mesh and its GAS.
struct GPUMesh {
    DeviceBuffer vertices;  ///< float3 x num_vertices
    DeviceBuffer normals;   ///< float3 per vertex; empty when the mesh has none
    DeviceBuffer indices;   ///< int3 x num_triangles
    uint32_t num_vertices = 0;
    uint32_t num_triangles = 0;
    uint32_t material_id = 0;
    OptixTraversableHandle gas_handle = 0;
    DeviceBuffer gas_buffer;  ///< memory holding the GAS
};

/// Every triangle of every instance in world space, in primitive order
/// (instances in order, triangles in index order).
struct PrimitiveArrays {
    std::vector<float3> v0, v1, v2;         ///< world vertices
    std::vector<float3> normals;            ///< unit world face normals
    std::vector<float> areas;               ///< world areas, m^2
    std::vector<int32_t> material_ids;      ///< material of the instanced mesh
    std::vector<int32_t> instance_offsets;  ///< first primitive per instance, plus the total
};

/// The world primitives of a scene whose instances all name existing meshes.
PrimitiveArrays world_primitives(const std::vector<Mesh>& meshes,
                                 const std::vector<Instance>& instances);
/// Rewrites the primitives of one instance, starting at index `first`.
void write_instance_primitives(const Mesh& mesh, const float xform[12], size_t first,
                               PrimitiveArrays& out);

class SceneManager : public SceneDescription {
public:
    /// Empty scene on `ctx` (band count 0), which must outlive it.
    explicit SceneManager(OptiXContext& ctx);
    /// Releases every device buffer.
    ~SceneManager() { free_gpu(); }
    SceneManager(const SceneManager&) = delete;
    SceneManager& operator=(const SceneManager&) = delete;

    // ---- geometry: adding anything invalidates the built state ------------
    int add_mesh(std::vector<float3> vertices, std::vector<float3> normals,
                 std::vector<int3> indices, int material_id);
    int add_instance(int mesh_id, const float xform[12]);
    int add_instance(int mesh_id, float x, float y, float z, float scale);

    /// Uploads every mesh, builds every GAS and the IAS (adding one identity
    /// instance per mesh when there are none), then materials, emitter and
    /// the per-primitive buffers. A failure releases all the build allocated
    /// (and the per-primitive overrides) and leaves the scene not built.
    void build();
    void upload_mesh(int i);
    void build_gas(int i);
    void build_ias();
    void rebuild_ias() { build_ias(); }
    /// Moves one instance on the host and in the device instance records;
    /// takes effect in tracing at the next refit_ias().
    void update_instance_transform(int id, const float xform[12]);
    /// Refits the IAS to the moved instances, and brings their world-space
    /// primitives and the traced scene height up to date.
    void refit_ias();
    /// Forgets materials, spectral values, sky and emitter; geometry stays.
    void clear_for_reuse();
    /// Uploads materials, emitter and per-primitive buffers over the geometry
    /// of the last build.
    void build_reuse_gas();
    /// Releases all device memory; the host description remains.
    void free_gpu();
    bool has_gpu_meshes() const { return !gpu_meshes_.empty(); }

    // ---- data ---------------------------------------------------------------
    void set_num_bands(int n);
    void upload_materials();
    void upload_emitter();
    void update_emitter_direction(float3 direction);
    void upload_spectral_params(std::vector<float> values);
    void update_spectral_params(int offset, const std::vector<float>& values);
    void set_thermal_mode(bool enabled, std::vector<float> wavelengths);
    void set_sif_only_mode(bool enabled) { sif_only_ = enabled; }

    void populate_primitive_buffers();
    void upload_primitive_buffers();
    void clear_primitive_buffers();
    void set_primitive_temperatures(const std::vector<float>& values);
    void clear_primitive_temperatures();
    void set_primitive_emissivities(const std::vector<float>& values);
    void clear_primitive_emissivities();
    /// `values` is band-major: values[b * n_primitives + p].
    void set_primitive_sif_spectra(const std::vector<float>& values, int n_sif_bands);
    void clear_primitive_sif_spectra();

    SceneData get_scene_data() const;
    std::vector<HitGroupData> get_hitgroup_data() const;

    // ---- queries ------------------------------------------------------------
    /// Triangles over all instances at the last build (0 before).
    uint32_t n_primitives() const { return uint32_t(prims_.areas.size()); }
    const PrimitiveArrays& primitives() const { return prims_; }
    const std::vector<float>& primitive_areas() const { return prims_.areas; }
    const std::vector<int32_t>& primitive_material_ids() const { return prims_.material_ids; }
    const std::vector<float>& primitive_temperatures() const { return prim_temperatures_; }
    const std::vector<float>& primitive_emissivities() const { return prim_emissivities_; }
    const std::vector<GPUMesh>& gpu_meshes() const { return gpu_meshes_; }
    /// The OptixInstance records of the last IAS build, on the device.
    const DeviceBuffer& instance_buffer() const { return instance_buffer_; }
    uint32_t num_uploaded_materials() const { return uploaded_materials_; }
    const OptiXContext& context() const { return ctx_; }

private:
    GPUMesh& gpu_mesh(int i, const char* who);
    OptixTraversableHandle build_accel(const OptixBuildInput& input, unsigned flags,
                                       DeviceBuffer& output, DeviceBuffer* update,
                                       const char* const steps[4]);
    /// Releases meshes, GASes, the IAS and the per-primitive data.
    void release_geometry();
    void refresh_moved_primitives();
    void upload_range(DeviceBuffer& buffer, const void* src, size_t offset, size_t bytes,
                      const char* step);
    void drop_overrides();
    void upload_host_state();

    OptiXContext& ctx_;
    std::vector<GPUMesh> gpu_meshes_;
    OptixTraversableHandle ias_handle_ = 0;
    DeviceBuffer ias_buffer_;
    DeviceBuffer instance_buffer_;
    DeviceBuffer update_buffer_;
    uint32_t ias_instances_ = 0;      ///< instances in the IAS and its record buffer
    bool ias_built_ = false;          ///< an IAS exists that a refit may update
    bool geometry_added_ = false;     ///< meshes or instances added since the last build
    std::vector<char> moved_;         ///< per instance: moved since the last refit or build
    float traced_max_height_ = 0.0f;  ///< max_height of the transforms now traced

    DeviceBuffer material_buffer_;
    uint32_t uploaded_materials_ = 0;
    DeviceBuffer spectral_buffer_;
    bool spectral_uploaded_ = false;
    DeviceBuffer emitter_buffer_;
    DeviceBuffer wavelength_buffer_;

    PrimitiveArrays prims_;
    DeviceBuffer prim_v0_, prim_v1_, prim_v2_, prim_normals_, prim_areas_, prim_material_ids_;
    DeviceBuffer instance_offsets_buffer_;
    std::vector<float> prim_temperatures_;
    DeviceBuffer temperature_buffer_;
    std::vector<float> prim_emissivities_;
    DeviceBuffer emissivity_buffer_;
    uint32_t n_sif_bands_ = 0;
    DeviceBuffer sif_buffer_;
    bool sif_only_ = false;
};

}  // namespace vorn
