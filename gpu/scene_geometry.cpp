// Geometry half of the GPU scene: mesh uploads, one GAS per mesh, the IAS of
// all instances, moving instances with a refit, the reuse path and freeing.
#include <cstring>
#include <stdexcept>
#include <string>

#include "gpu/optix_api.h"
#include "gpu/scene_manager.h"

namespace vorn {

namespace {

// Step names of the acceleration-structure calls: memory query, temporary
// buffer, output buffer, build.
constexpr const char* kGasSteps[4] = {"gas mem", "gas temp", "gas out", "gas build"};
constexpr const char* kIasSteps[4] = {"ias mem", "ias temp", "ias out", "ias build"};
constexpr unsigned kIasFlags = OPTIX_BUILD_FLAG_ALLOW_UPDATE | OPTIX_BUILD_FLAG_PREFER_FAST_TRACE;

OptixBuildInput instance_input(const DeviceBuffer& records, uint32_t count) {
    OptixBuildInput in{};
    in.type = OPTIX_BUILD_INPUT_TYPE_INSTANCES;
    in.instanceArray.instances = records.get();
    in.instanceArray.numInstances = count;
    return in;
}

}  // namespace

SceneManager::SceneManager(OptiXContext& ctx) : SceneDescription(0), ctx_(ctx) {}

int SceneManager::add_mesh(std::vector<float3> vertices, std::vector<float3> normals,
                           std::vector<int3> indices, int material_id) {
    built = false;
    geometry_added_ = true;
    return SceneDescription::add_mesh(std::move(vertices), std::move(normals), std::move(indices),
                                      material_id);
}

int SceneManager::add_instance(int mesh_id, const float xform[12]) {
    built = false;
    geometry_added_ = true;
    return SceneDescription::add_instance(mesh_id, xform);
}

int SceneManager::add_instance(int mesh_id, float x, float y, float z, float scale) {
    const float xf[12] = {scale, 0, 0, x, 0, scale, 0, y, 0, 0, scale, z};
    return add_instance(mesh_id, xf);
}

GPUMesh& SceneManager::gpu_mesh(int i, const char* who) {
    if (i < 0 || size_t(i) >= gpu_meshes_.size() || size_t(i) >= meshes.size())
        throw std::runtime_error(std::string(who) + ": mesh " + std::to_string(i) +
                                 " out of range [0, " + std::to_string(gpu_meshes_.size()) + ")");
    return gpu_meshes_[size_t(i)];
}

void SceneManager::build() {
    built = false;
    if (meshes.empty() && instances.empty())
        throw std::runtime_error("Scene is empty, nothing to build");
    // Before anything is touched: instances of missing meshes, stray indices.
    validate_geometry();
    try {
        gpu_meshes_.resize(meshes.size());  // meshes are never removed
        for (int i = 0; i < int(meshes.size()); ++i) {
            upload_mesh(i);
            build_gas(i);
        }
        if (instances.empty())
            for (int i = 0; i < int(meshes.size()); ++i)
                SceneDescription::add_instance(i, 0, 0, 0, 1);
        build_ias();
        compute_max_height();
        traced_max_height_ = max_height_;
        upload_host_state();
        upload_materials();
        upload_emitter();
        populate_primitive_buffers();
        upload_primitive_buffers();
    } catch (...) {
        // Everything the build allocates goes at once: a half-built scene
        // must not be reusable, or build_reuse_gas and refit_ias would run
        // over stale or missing structures. Spectral values and wavelengths,
        // set by their own calls, stay.
        release_geometry();
        material_buffer_.release();
        uploaded_materials_ = 0;
        emitter_buffer_.release();
        throw;
    }
    geometry_added_ = false;
    built = true;
}

void SceneManager::upload_mesh(int i) {
    GPUMesh& g = gpu_mesh(i, "upload_mesh");
    const Mesh& m = meshes[size_t(i)];
    g.vertices.release();
    g.normals.release();
    g.indices.release();
    g.num_vertices = uint32_t(m.vertices.size());
    g.num_triangles = uint32_t(m.indices.size());
    g.material_id = uint32_t(m.material_id);
    // An empty mesh keeps null buffers: no zero-byte allocations or copies.
    if (!m.vertices.empty()) g.vertices.upload(m.vertices, "mesh verts");
    if (!m.indices.empty()) g.indices.upload(m.indices, "mesh idx");
    if (!m.normals.empty()) g.normals.upload(m.normals, "mesh norms");
}

// Memory query, temporary and output buffers, build on the context's stream.
// With `update` given, it also receives the scratch memory refits will use.
OptixTraversableHandle SceneManager::build_accel(const OptixBuildInput& input, unsigned flags,
                                                 DeviceBuffer& output, DeviceBuffer* update,
                                                 const char* const steps[4]) {
    const OptixApi& api = optix_api();
    OptixAccelBuildOptions options{};
    options.buildFlags = flags;
    options.operation = OPTIX_BUILD_OPERATION_BUILD;
    OptixAccelBufferSizes sizes{};
    optix_check(api.accel_compute_memory_usage(ctx_.context(), &options, &input, 1, &sizes),
                steps[0]);
    DeviceBuffer temp;
    temp.alloc(sizes.tempSizeInBytes, steps[1]);
    output.alloc(sizes.outputSizeInBytes, steps[2]);
    if (update) update->alloc(sizes.tempUpdateSizeInBytes, "ias update buf");
    OptixTraversableHandle handle = 0;
    optix_check(api.accel_build(ctx_.context(), ctx_.stream(), &options, &input, 1, temp.get(),
                                temp.size(), output.get(), output.size(), &handle, nullptr, 0),
                steps[3]);
    return handle;  // temp is freed here; cudaFree waits for the build
}

void SceneManager::build_gas(int i) {
    GPUMesh& g = gpu_mesh(i, "build_gas");
    const CUdeviceptr vertices = g.vertices.get();
    const unsigned geometry_flags = OPTIX_GEOMETRY_FLAG_NONE;  // any-hit programs stay enabled
    OptixBuildInput in{};
    in.type = OPTIX_BUILD_INPUT_TYPE_TRIANGLES;
    OptixBuildInputTriangleArray& t = in.triangleArray;
    t.vertexBuffers = &vertices;
    t.numVertices = g.num_vertices;
    t.vertexFormat = OPTIX_VERTEX_FORMAT_FLOAT3;
    t.vertexStrideInBytes = sizeof(float3);
    t.indexBuffer = g.indices.get();
    t.numIndexTriplets = g.num_triangles;
    t.indexFormat = OPTIX_INDICES_FORMAT_UNSIGNED_INT3;
    t.indexStrideInBytes = sizeof(int3);
    t.flags = &geometry_flags;
    t.numSbtRecords = 1;
    g.gas_handle = 0;
    g.gas_handle =
        build_accel(in, OPTIX_BUILD_FLAG_PREFER_FAST_TRACE, g.gas_buffer, nullptr, kGasSteps);
}

void SceneManager::build_ias() {
    ias_built_ = false;
    const size_t n = instances.size();
    std::vector<OptixInstance> records(n, OptixInstance{});
    for (size_t k = 0; k < n; ++k) {
        const Instance& inst = instances[k];
        // A handle of a mesh without a GAS would send the traversal into the void.
        if (inst.mesh_id < 0 || size_t(inst.mesh_id) >= gpu_meshes_.size())
            throw std::runtime_error("build_ias: instance " + std::to_string(k) +
                                     " refers to mesh " + std::to_string(inst.mesh_id) +
                                     " but the scene has " + std::to_string(gpu_meshes_.size()) +
                                     " GPU meshes");
        OptixInstance& r = records[k];
        std::memcpy(r.transform, inst.xform, sizeof r.transform);
        r.instanceId = unsigned(k);
        r.sbtOffset = 2 * unsigned(inst.mesh_id);  // radiance and shadow record per mesh
        r.visibilityMask = 255;
        r.flags = OPTIX_INSTANCE_FLAG_NONE;
        r.traversableHandle = gpu_meshes_[size_t(inst.mesh_id)].gas_handle;
    }
    instance_buffer_.release();
    if (n > 0) instance_buffer_.upload(records, "ias inst");
    ias_instances_ = uint32_t(n);
    moved_.assign(n, 0);
    ias_handle_ = 0;
    ias_handle_ = build_accel(instance_input(instance_buffer_, ias_instances_), kIasFlags,
                              ias_buffer_, &update_buffer_, kIasSteps);
    ias_built_ = true;
}

void SceneManager::update_instance_transform(int id, const float xform[12]) {
    const int n = num_instances();
    if (id < 0 || id >= n)
        throw std::runtime_error("update_instance_transform: id " + std::to_string(id) +
                                 " out of range [0, " + std::to_string(n) + ")");
    Instance& inst = instances[size_t(id)];
    std::memcpy(inst.xform, xform, sizeof inst.xform);
    // Instances added after the last IAS build have no record to write.
    if (!instance_buffer_ || uint32_t(id) >= ias_instances_) return;
    char* record = static_cast<char*>(instance_buffer_.data()) + size_t(id) * sizeof(OptixInstance);
    cuda_check(cudaMemcpyAsync(record, inst.xform, sizeof inst.xform, cudaMemcpyHostToDevice,
                               ctx_.stream()),
               "update inst xform");
    moved_[size_t(id)] = 1;
}

void SceneManager::refit_ias() {
    if (!built || !instance_buffer_ || !ias_built_)
        throw std::runtime_error(
            "refit_ias: scene not built or update buffer not allocated. Call build() first.");
    OptixAccelBuildOptions options{};
    options.buildFlags = kIasFlags;
    options.operation = OPTIX_BUILD_OPERATION_UPDATE;
    const OptixBuildInput in = instance_input(instance_buffer_, ias_instances_);
    optix_check(
        optix_api().accel_build(ctx_.context(), ctx_.stream(), &options, &in, 1,
                                update_buffer_.get(), update_buffer_.size(), ias_buffer_.get(),
                                ias_buffer_.size(), &ias_handle_, nullptr, 0),
        "ias refit");
    cuda_check(cudaStreamSynchronize(ctx_.stream()), "ias refit");
    refresh_moved_primitives();
    traced_max_height_ = measure_max_height();
}

void SceneManager::clear_for_reuse() {
    clear_description_for_reuse();
    material_buffer_.release();
    uploaded_materials_ = 0;
    emitter_buffer_.release();
    spectral_buffer_.release();
    spectral_uploaded_ = false;
    built = false;
}

void SceneManager::build_reuse_gas() {
    if (gpu_meshes_.empty())
        throw std::runtime_error("No GPU meshes to reuse. Call build() first.");
    // The IAS holds the instances of the last build only; primitives of
    // others would be numbered but never hit.
    if (geometry_added_)
        throw std::runtime_error(
            "build_reuse_gas: meshes or instances were added since the last build. Call build() "
            "first.");
    upload_host_state();
    upload_materials();
    upload_emitter();
    populate_primitive_buffers();
    upload_primitive_buffers();
    built = true;
}

void SceneManager::release_geometry() {
    gpu_meshes_.clear();
    ias_buffer_.release();
    instance_buffer_.release();
    update_buffer_.release();
    ias_handle_ = 0;
    ias_instances_ = 0;
    ias_built_ = false;
    moved_.clear();
    clear_primitive_buffers();
    prims_ = PrimitiveArrays{};
    drop_overrides();
    built = false;
}

void SceneManager::free_gpu() {
    release_geometry();
    material_buffer_.release();
    uploaded_materials_ = 0;
    spectral_buffer_.release();
    spectral_uploaded_ = false;
    emitter_buffer_.release();
    wavelength_buffer_.release();
}

}  // namespace vorn
