// The scene description both backends hold: meshes, instances, materials,
// spectral values, emitter, sensor, sky, periodic tile and thermal settings.
// The CPU scene (embree/) and the GPU scene (gpu/) derive from it and add only
// their acceleration structures and device buffers.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "scene/records.h"
#include "scene/settings.h"
#include "scene/spectral.h"

namespace vorn {

/// One triangle mesh in object space.
struct Mesh {
    std::vector<float3> vertices;  ///< object-space positions
    std::vector<float3> normals;   ///< per-vertex shading normals: empty or one per vertex
    std::vector<int3> indices;     ///< triangles, 0-based into `vertices`
    int32_t material_id = 0;       ///< index into the scene's material list
};
using EmbreeMesh = Mesh;
using HostMesh = Mesh;

constexpr uint32_t kInvalidGeomId = 0xFFFFFFFFu;

/// One placed copy of a mesh.
struct Instance {
    int32_t mesh_id = 0;               ///< index of the instanced mesh
    float xform[12] = {};              ///< object-to-world, 3x4 row-major
    uint32_t geom_id = kInvalidGeomId; ///< CPU: Embree geometry id in the top scene once built
};
using EmbreeInstance = Instance;

class SceneDescription {
public:
    /// Marks the scene as read by a running simulation for the guard's
    /// lifetime. Simulations may nest (a progress callable may start another
    /// one on the same scene); the scene is idle again when the last ends.
    class InUse {
    public:
        explicit InUse(const SceneDescription& s) : scene_(s) { ++scene_.simulations_; }
        ~InUse() { --scene_.simulations_; }
        InUse(const InUse&) = delete;
        InUse& operator=(const InUse&) = delete;

    private:
        const SceneDescription& scene_;
    };

    /// True while a simulation runs on this scene.
    bool in_use() const { return simulations_.load() > 0; }
    /// Every operation that changes the scene calls this first: while a
    /// simulation reads the scene (its progress callable, or another Python
    /// thread, may call in), it throws std::runtime_error
    /// "<who>: scene is in use by a running simulation".
    void require_idle(const char* who) const;

    // ---- geometry -------------------------------------------------------
    /// Rejects non-finite or out-of-range vertices and normals (named after
    /// the Python argument); indices are checked at build. Adding a mesh or
    /// an instance marks the scene not built: the acceleration structures no
    /// longer hold all of its geometry.
    int add_mesh(std::vector<float3> vertices, std::vector<float3> normals, std::vector<int3> indices,
                 int material_id);
    /// The Python add_instance_xform: every entry finite and within
    /// +-kMaxCoordinate. Whether the 3x3 part can be inverted is checked at build.
    int add_instance(int mesh_id, const float xform[12]);
    int add_instance(int mesh_id, float x, float y, float z, float scale);

    // ---- materials and spectra -----------------------------------------
    int add_material(MaterialType type, int offset);
    /// Rejects a negative band count (the engines further need at least 1).
    void set_num_bands(int n);
    /// Rejects non-finite values.
    void upload_spectral_params(std::vector<float> values);
    /// Overwrites values.size() entries from `offset`; the array keeps its length.
    void update_spectral_params(int offset, const std::vector<float>& values);

    // ---- lights, sensor, settings --------------------------------------
    /// Directions must be finite and non-zero; they are stored normalised.
    void set_emitter(EmitterType type, float3 direction, int spectral_offset);
    void update_emitter_direction(float3 direction);
    /// Rejects negative or too large image sizes, non-finite or out-of-range
    /// camera matrix entries, footprint and field of view; sets sensor_set.
    void set_sensor(const SensorData& s);
    void set_sky(int spectral_offset);
    /// The sun must be finite; while the sky is on (offset >= 0) also non-zero.
    /// It is stored normalised.
    void set_hw_sky(int spectral_offset, float3 sun);
    /// Tile sizes must be finite and within +-kMaxCoordinate.
    void set_repetitive(int num_repetitions, float scene_x_size, float scene_y_size);
    /// Wavelengths must be finite and positive (nm).
    void set_thermal_mode(bool enabled, std::vector<float> wl);
    void set_measurement_plane(float height);
    void set_terrain_following(bool on);

    // ---- queries --------------------------------------------------------
    float max_height() const { return max_height_; }
    /// Highest world z over the bounding-box corners of every instance, never
    /// below 0, from the current transforms: what build would store now
    /// (max_height() keeps the value of the last build).
    float measure_max_height() const;
    bool is_built() const { return built; }
    int num_instances() const { return int(instances.size()); }
    uint32_t total_triangles() const;
    std::vector<int> instance_triangle_counts() const;

    // ---- checks ---------------------------------------------------------
    /// Rejects geometry that a build would read through: an instance of a
    /// mesh that does not exist or whose transform cannot be inverted (see
    /// transform_defect), normals neither empty nor one per vertex, triangle
    /// indices outside the vertex array. Throws std::runtime_error.
    void validate_geometry() const;
    /// Rejects an instance whose mesh does not exist ("<who>: instance i refers
    /// to mesh m but the scene has n meshes").
    void validate_instance_meshes(const char* who) const;
    /// Rejects, before an engine runs with `nb` bands, every index the engine
    /// would read out of bounds: an instance of a mesh that does not exist
    /// (added after the last build), a mesh material that does not exist, a
    /// material, emitter or sky range outside the spectral array, a thermal
    /// wavelength list shorter than nb. `who` prefixes the message. Engines
    /// that never emit thermal radiance (forward tracer, LiDAR) pass
    /// `reads_thermal` false, so the thermal checks do not apply to them.
    void validate_for_engine(int nb, const char* who, bool reads_thermal = true) const;
    /// Checks exactly what a LiDAR engine reads: the scene is built, every
    /// mesh's material exists, num_wavelengths lies in [1, scene bands] and
    /// each material's reflectances for the first num_wavelengths bands (a
    /// leaf's back ones too, one band stride further) lie in the spectral
    /// array. Emitter, sky and thermal settings are never read.
    void validate_for_lidar(int num_wavelengths, const char* who) const;

    // ---- the description (engines read these directly) -------------------
    std::vector<Mesh> meshes;
    std::vector<Instance> instances;
    std::vector<MaterialData> materials;
    std::vector<float> spectral_params;
    EmitterData emitter{};
    SensorData sensor{};
    bool sensor_set = false;  ///< set_sensor was called (the zero sensor is no camera)
    int num_bands;
    SkySettings sky = kNoSky;
    PeriodicTile tile{};
    bool built = false;
    bool terrain_following = false;
    bool thermal = false;
    std::vector<float> wavelengths;
    float measurement_plane_height = 0.0f;

protected:
    explicit SceneDescription(int default_num_bands) : num_bands(default_num_bands) {}
    /// Forgets materials, spectral values, sky and emitter (geometry stays).
    void clear_description_for_reuse();
    /// Stores measure_max_height() as max_height().
    void compute_max_height() { max_height_ = measure_max_height(); }

    float max_height_ = 0.0f;

private:
    /// Simulations running on this scene (see InUse). A copied or moved scene
    /// is a new one, with none running.
    struct UseCount {
        std::atomic<int> n{0};
        UseCount() = default;
        UseCount(const UseCount&) {}
        UseCount& operator=(const UseCount&) { return *this; }
        int operator++() { return ++n; }
        int operator--() { return --n; }
        int load() const { return n.load(); }
    };
    mutable UseCount simulations_;
};

}  // namespace vorn
