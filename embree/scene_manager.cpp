#include "embree/scene_manager.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

#include "scene/checks.h"

namespace vorn::embree {

namespace {

// Embree calls back through C frames, so the handler must not throw: it only
// remembers the first message, and check_device_error raises it afterwards.
void record_error(void* user, RTCError code, const char* str) {
    if (code == RTC_ERROR_NONE) return;
    auto* first = static_cast<std::string*>(user);
    if (first->empty()) first->assign(str ? str : "unknown Embree error");
}


/// True for exactly the identity (a 3x4 row-major transform).
bool is_identity(const float* x) {
    static const float eye[12] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0};
    for (int k = 0; k < 12; ++k)
        if (x[k] != eye[k]) return false;
    return true;
}

/// Column-major 4x4 of a 3x4 row-major transform, as Embree takes it.
void to_column_major(const float* x, float out[16]) {
    const float m[16] = {x[0], x[4], x[8],  0.0f, x[1], x[5], x[9],  0.0f,
                         x[2], x[6], x[10], 0.0f, x[3], x[7], x[11], 1.0f};
    std::memcpy(out, m, sizeof m);
}

}  // namespace

EmbreeSceneManager::EmbreeSceneManager() : SceneDescription(1) {
    device_ = rtcNewDevice(nullptr);
    if (!device_) throw std::runtime_error("Failed to create Embree device");
    rtcSetDeviceErrorFunction(device_, record_error, &embree_error_);
}

EmbreeSceneManager::~EmbreeSceneManager() {
    release_scenes();
    if (device_) rtcReleaseDevice(device_);
}

void EmbreeSceneManager::release_scenes() {
    for (RTCScene s : mesh_scenes_)
        if (s) rtcReleaseScene(s);
    mesh_scenes_.clear();
    if (top_scene_) rtcReleaseScene(top_scene_);
    top_scene_ = nullptr;
}

void EmbreeSceneManager::check_device_error(const char* step) {
    const RTCError code = rtcGetDeviceError(device_);
    if (code == RTC_ERROR_NONE && embree_error_.empty()) return;
    std::string msg = std::string("Embree: ") + step + " failed";
    if (!embree_error_.empty()) msg += ": " + embree_error_;
    embree_error_.clear();
    throw std::runtime_error(msg);
}

/// A triangle geometry holding a copy of the mesh, committed; null for a mesh
/// without triangles (nothing to attach).
RTCGeometry EmbreeSceneManager::new_mesh_geometry(const Mesh& mesh) {
    RTCGeometry geom = rtcNewGeometry(device_, RTC_GEOMETRY_TYPE_TRIANGLE);
    // Embree owns the buffers, so nothing points into memory that may move.
    if (!mesh.vertices.empty()) {
        void* vb = rtcSetNewGeometryBuffer(geom, RTC_BUFFER_TYPE_VERTEX, 0, RTC_FORMAT_FLOAT3,
                                           sizeof(float3), mesh.vertices.size());
        if (vb) std::memcpy(vb, mesh.vertices.data(), mesh.vertices.size() * sizeof(float3));
    }
    if (!mesh.indices.empty()) {
        void* ib = rtcSetNewGeometryBuffer(geom, RTC_BUFFER_TYPE_INDEX, 0, RTC_FORMAT_UINT3,
                                           sizeof(int3), mesh.indices.size());
        if (ib) std::memcpy(ib, mesh.indices.data(), mesh.indices.size() * sizeof(int3));
    }
    try {
        check_device_error("mesh buffers");  // e.g. an allocation Embree refused
    } catch (...) {
        rtcReleaseGeometry(geom);
        throw;
    }
    if (mesh.vertices.empty() || mesh.indices.empty()) {
        rtcReleaseGeometry(geom);
        return nullptr;
    }
    rtcCommitGeometry(geom);
    return geom;
}

RTCScene EmbreeSceneManager::mesh_scene(size_t m) {
    if (mesh_scenes_[m]) return mesh_scenes_[m];
    RTCScene scene = rtcNewScene(device_);
    mesh_scenes_[m] = scene;
    if (RTCGeometry geom = new_mesh_geometry(meshes[m])) {
        rtcAttachGeometry(scene, geom);
        rtcReleaseGeometry(geom);
    }
    rtcCommitScene(scene);
    check_device_error("mesh build");
    return scene;
}

void EmbreeSceneManager::attach_instance_geometry(size_t i) {
    const Instance& inst = instances[i];
    RTCGeometry geom = rtcNewGeometry(device_, RTC_GEOMETRY_TYPE_INSTANCE);
    rtcSetGeometryInstancedScene(geom, mesh_scene(size_t(inst.mesh_id)));
    float cm[16];
    to_column_major(inst.xform, cm);
    rtcSetGeometryTransform(geom, 0, RTC_FORMAT_FLOAT4X4_COLUMN_MAJOR, cm);
    rtcCommitGeometry(geom);
    rtcAttachGeometryByID(top_scene_, geom, unsigned(i));
    rtcReleaseGeometry(geom);
}

void EmbreeSceneManager::build() {
    require_idle("build");
    validate_geometry();  // before anything is released: a failed build leaves the scene as it was
    release_scenes();
    instance_infos_.clear();
    built = false;
    transforms_pending_ = false;

    // When every mesh is seen through exactly one untransformed instance, the
    // meshes go into the top scene as they are: one BVH over all triangles
    // instead of instance leaves over BVHs of their own, and, the identity
    // being exact, the same hits. A scene that mixes such meshes with
    // instances keeps them all as instances: Embree would then trace every ray
    // through a triangle BVH and an instance BVH side by side, which costs
    // more than the instance leaf it saves.
    std::vector<int> uses(meshes.size(), 0);
    for (const Instance& inst : instances) ++uses[size_t(inst.mesh_id)];
    const bool flatten =
        flatten_single_instances &&
        std::all_of(instances.begin(), instances.end(), [&](const Instance& inst) {
            return uses[size_t(inst.mesh_id)] == 1 && is_identity(inst.xform);
        });
    mesh_scenes_.assign(meshes.size(), nullptr);
    corners_.assign(meshes.size(), {});
    for (size_t m = 0; m < meshes.size(); ++m) {
        if (uses[m] == 0) continue;
        const Mesh& mesh = meshes[m];
        std::vector<float3>& c = corners_[m];
        c.resize(3 * mesh.indices.size());
        for (size_t t = 0; t < mesh.indices.size(); ++t) {
            const int3 idx = mesh.indices[t];
            c[3 * t] = mesh.vertices[size_t(idx.x)];
            c[3 * t + 1] = mesh.vertices[size_t(idx.y)];
            c[3 * t + 2] = mesh.vertices[size_t(idx.z)];
        }
    }
    top_scene_ = rtcNewScene(device_);
    for (size_t i = 0; i < instances.size(); ++i) {
        Instance& inst = instances[i];
        const size_t m = size_t(inst.mesh_id);
        InstanceInfo info{inst.mesh_id, meshes[m].material_id, false,
                          normal_transform(inst.xform), corners_[m].data()};
        RTCGeometry flat = flatten ? new_mesh_geometry(meshes[m]) : nullptr;
        if (flat) {
            rtcAttachGeometryByID(top_scene_, flat, unsigned(i));
            rtcReleaseGeometry(flat);
            info.flat = true;
        } else {
            attach_instance_geometry(i);
        }
        inst.geom_id = uint32_t(i);  // attached by index, so ids equal indices
        instance_infos_.push_back(info);
    }
    rtcCommitScene(top_scene_);
    check_device_error("scene build");
    built = true;
    compute_max_height();
}

void EmbreeSceneManager::build_reuse_gas() {
    require_idle("build_reuse_gas");
    // Without a previous build there is nothing to reuse, and marking the
    // scene built would let queries run against a scene that does not exist.
    if (!top_scene_) throw std::runtime_error("build_reuse_gas: scene not built. Call build() first.");
    // The Embree scenes hold the meshes and instances of the last build only.
    if (meshes.size() != mesh_scenes_.size() || instances.size() != instance_infos_.size())
        throw std::runtime_error(
            "build_reuse_gas: meshes or instances were added since the last build. Call build() "
            "first.");
    validate_instance_meshes("build_reuse_gas");
    compute_max_height();
    built = true;
}

void EmbreeSceneManager::clear_for_reuse() {
    require_idle("clear_for_reuse");
    clear_description_for_reuse();
}

void EmbreeSceneManager::update_instance_transform(int id, const float xform[12]) {
    const char* who = "update_instance_transform";
    require_idle(who);
    if (id < 0 || size_t(id) >= instances.size())
        throw std::runtime_error("update_instance_transform: id out of range");
    // A built instance takes the transform at once (no build checks it), so it
    // must be one that rays can be traced through.
    check_coordinates(xform, 12, who, "xform");
    const std::string defect = transform_defect(xform);
    if (!defect.empty()) fail_input(who, "the transform " + defect);
    Instance& inst = instances[size_t(id)];
    std::memcpy(inst.xform, xform, sizeof inst.xform);
    if (!built || !top_scene_ || inst.geom_id == kInvalidGeomId) return;
    transforms_pending_ = true;
    InstanceInfo& info = instance_infos_[size_t(id)];
    info.normal_to_world = normal_transform(inst.xform);
    if (info.flat) {
        // Its triangles lie in the top scene as they are: still exact under
        // the identity, otherwise the instance becomes a transformed one.
        if (is_identity(inst.xform)) return;
        rtcDetachGeometry(top_scene_, inst.geom_id);
        attach_instance_geometry(size_t(id));
        info.flat = false;
        check_device_error("instance update");
        return;
    }
    RTCGeometry geom = rtcGetGeometry(top_scene_, inst.geom_id);
    if (!geom) throw std::runtime_error("update_instance_transform: rtcGetGeometry returned null");
    float cm[16];
    to_column_major(inst.xform, cm);
    rtcSetGeometryTransform(geom, 0, RTC_FORMAT_FLOAT4X4_COLUMN_MAJOR, cm);
    rtcCommitGeometry(geom);
}

void EmbreeSceneManager::refit_ias() {
    require_idle("refit_ias");
    if (!built || !top_scene_) throw std::runtime_error("refit_ias: scene not built. Call build() first.");
    rtcCommitScene(top_scene_);
    check_device_error("refit");
    transforms_pending_ = false;
}

namespace {

void init_ray(RTCRay& ray, const float3& o, const float3& d, float tfar) {
    ray.org_x = o.x;
    ray.org_y = o.y;
    ray.org_z = o.z;
    ray.tnear = kTnear;
    ray.dir_x = d.x;
    ray.dir_y = d.y;
    ray.dir_z = d.z;
    ray.time = 0.0f;
    ray.tfar = tfar;
    ray.mask = 0xFFFFFFFFu;  // Embree 4's default geometry mask is 1, Embree 3's all ones
    ray.id = 0;
    ray.flags = 0;
}

}  // namespace

RayHit EmbreeSceneManager::surface_hit(const float3& origin, const float3& direction,
                                       const EmbreeHit& e) const {
    // A flattened instance's triangles are hit directly: its geometry id is the instance's.
    const unsigned inst_id = e.inst_id != RTC_INVALID_GEOMETRY_ID ? e.inst_id : e.geom_id;
    if (inst_id >= instance_infos_.size()) return RayHit{};  // cannot happen after a clean build
    const InstanceInfo& info = instance_infos_[inst_id];
    const float3* v = info.corners + 3 * size_t(e.prim_id);
    const Mesh& mesh = meshes[size_t(info.mesh_id)];
    TriangleHit tri;
    tri.object_to_world = instances[inst_id].xform;
    tri.has_normals = !mesh.normals.empty();
    for (int k = 0; k < 3; ++k) tri.v[k] = v[k];
    if (tri.has_normals) {
        const int3 idx = mesh.indices[e.prim_id];
        tri.n[0] = mesh.normals[size_t(idx.x)];
        tri.n[1] = mesh.normals[size_t(idx.y)];
        tri.n[2] = mesh.normals[size_t(idx.z)];
    } else {
        tri.n[0] = tri.n[1] = tri.n[2] = float3{0, 0, 0};
    }
    tri.b1 = e.u;
    tri.b2 = e.v;
    tri.material_id = info.material_id;
    tri.prim_id = int32_t(e.prim_id);
    tri.instance_id = int32_t(inst_id);
    return make_surface_hit(tri, info.normal_to_world, origin, direction, e.t);
}

RayHit EmbreeSceneManager::trace_ray(const float3& origin, const float3& direction) const {
    if (!top_scene_) return RayHit{};
    if (!ray_in_range(origin, direction)) {  // Embree would abort on it
        rejected_rays_.fetch_add(1, std::memory_order_relaxed);
        return RayHit{};
    }
    RTCRayHit rh;
    init_ray(rh.ray, origin, direction, 1e16f);
    rh.hit.geomID = RTC_INVALID_GEOMETRY_ID;
    rh.hit.instID[0] = RTC_INVALID_GEOMETRY_ID;
    rtc_intersect1(top_scene_, &rh);
    if (rh.hit.geomID == RTC_INVALID_GEOMETRY_ID) return RayHit{};
    return surface_hit(origin, direction,
                       EmbreeHit{rh.ray.tfar, rh.hit.u, rh.hit.v, rh.hit.geomID,
                                 rtc_hit_instance(rh.hit), rh.hit.primID});
}

void EmbreeSceneManager::trace_rays(const float3* origins, const float3* directions, int n,
                                    RayHit* hits) const {
    constexpr int kWidth = 8;
    for (int first = 0; first < n; first += kWidth) {
        const int lanes = n - first < kWidth ? n - first : kWidth;
        RTCRayHit8 rh;
        int valid[kWidth];
        bool any = false;
        for (int k = 0; k < kWidth; ++k) {
            const float3 o = k < lanes ? origins[first + k] : float3{0.0f, 0.0f, 0.0f};
            const float3 d = k < lanes ? directions[first + k] : float3{0.0f, 0.0f, 1.0f};
            valid[k] = k < lanes && top_scene_ && ray_in_range(o, d) ? -1 : 0;
            if (k < lanes && top_scene_ && !valid[k])  // Embree would abort on it
                rejected_rays_.fetch_add(1, std::memory_order_relaxed);
            any = any || valid[k];
            rh.ray.org_x[k] = o.x;
            rh.ray.org_y[k] = o.y;
            rh.ray.org_z[k] = o.z;
            rh.ray.tnear[k] = kTnear;
            rh.ray.dir_x[k] = d.x;
            rh.ray.dir_y[k] = d.y;
            rh.ray.dir_z[k] = d.z;
            rh.ray.time[k] = 0.0f;
            rh.ray.tfar[k] = 1e16f;
            rh.ray.mask[k] = 0xFFFFFFFFu;
            rh.ray.id[k] = 0;
            rh.ray.flags[k] = 0;
            rh.hit.geomID[k] = RTC_INVALID_GEOMETRY_ID;
            rh.hit.instID[0][k] = RTC_INVALID_GEOMETRY_ID;
        }
        if (any) rtc_intersect8_coherent(valid, top_scene_, &rh);
        for (int k = 0; k < lanes; ++k) {
            RayHit& out = hits[first + k];
            if (!valid[k] || rh.hit.geomID[k] == RTC_INVALID_GEOMETRY_ID) {
                out = RayHit{};
                continue;
            }
            out = surface_hit(origins[first + k], directions[first + k],
                              EmbreeHit{rh.ray.tfar[k], rh.hit.u[k], rh.hit.v[k],
                                        rh.hit.geomID[k], rh.hit.instID[0][k],
                                        rh.hit.primID[k]});
        }
    }
}

bool EmbreeSceneManager::trace_shadow(const float3& origin, const float3& direction, float tfar) const {
    // Embree skips a ray whose tfar lies below tnear and leaves tfar as it was,
    // so a negative tfar would read as "occluded" below.
    if (!top_scene_ || !(tfar >= kTnear)) return false;
    if (!ray_in_range(origin, direction)) {  // Embree would abort on it
        rejected_rays_.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    RTCRay ray;
    init_ray(ray, origin, direction, tfar);
    rtc_occluded1(top_scene_, &ray);
    return ray.tfar < 0.0f;
}

}  // namespace vorn::embree
