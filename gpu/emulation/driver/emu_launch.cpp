// Launches and traces. A launch runs the raygen program of the binding table
// once per launch index on worker threads; optixTrace walks the IAS with
// Embree and calls the closest-hit or miss program that the device would
// pick: hit group record instance.sbtOffset + sbtGASIndex * stride + offset,
// miss record missIndex, payload words copied in and out. Programs see their
// state through the vorn_emu_* functions below, which read the calling
// worker's frame stack. What a device would fault on or reject (records out
// of range, payload words beyond the pipeline's count, intrinsics in the
// wrong program type, traces deeper than maxTraceDepth) fails the launch with
// OPTIX_ERROR_LAUNCH_FAILURE and one error line through the log callback.
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "gpu/emulation/cuda_emu.h"
#include "gpu/emulation/driver/emu_driver.h"
#include "gpu/emulation/emu_device_api.h"

namespace vorn::emu {

namespace {

enum ProgramBit : unsigned { kRaygen = 1, kMiss = 2, kClosestHit = 4, kAny = 7 };
constexpr unsigned kMaxFrames = 33;  // raygen + 31 nested traces, with a spare
constexpr float kIdentity[12] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0};
constexpr unsigned kEmulatedRayFlags =
    OPTIX_RAY_FLAG_DISABLE_ANYHIT | OPTIX_RAY_FLAG_ENFORCE_ANYHIT |
    OPTIX_RAY_FLAG_TERMINATE_ON_FIRST_HIT | OPTIX_RAY_FLAG_DISABLE_CLOSESTHIT;

struct Frame {
    unsigned kind = 0;  ///< ProgramBit of the running program
    const unsigned char* data = nullptr;
    uint32_t payload[32] = {};
    unsigned payload_count = 0;
    float origin[3] = {}, direction[3] = {}, tmin = 0, tmax = 0;
    unsigned prim = 0, inst_id = 0, inst_idx = 0, gas_idx = 0, hit_kind = 0;
    float b1 = 0, b2 = 0;
    const float* o2w = kIdentity;
    const float* w2o = kIdentity;
};

struct Launch {
    Context* ctx = nullptr;
    const Pipeline* pipeline = nullptr;
    OptixShaderBindingTable sbt{};
    unsigned dims[3] = {};
    std::atomic<bool> failed{false};
    std::mutex mutex;
    std::string message;

    void fail(const std::string& why) {
        std::lock_guard<std::mutex> lock(mutex);
        if (!failed.exchange(true)) message = why;
    }
};

struct Worker {
    Launch* launch = nullptr;
    unsigned index[3] = {};
    Frame frames[kMaxFrames];
    unsigned depth = 0;  ///< frames in use
};

thread_local Worker t_worker;

const unsigned char* host_bytes(CUdeviceptr p) {
    return reinterpret_cast<const unsigned char*>(uintptr_t(p));
}

// The running program's frame when `what` may be called from it, else null
// (and the launch fails, as the OptiX compiler would have refused it).
Frame* frame_for(const char* what, unsigned allowed) {
    Worker& w = t_worker;
    if (!w.launch || w.depth == 0) return nullptr;
    Frame* f = &w.frames[w.depth - 1];
    if (!(f->kind & allowed)) {
        w.launch->fail(std::string(what) +
                       " called from a program type that may not use it");
        return nullptr;
    }
    return f;
}

const ProgramGroup* record_group(Launch& l, CUdeviceptr base, unsigned stride,
                                 unsigned count, unsigned index, unsigned kind,
                                 const char* table) {
    if (index >= count) {
        l.fail(std::string(table) + " record " + std::to_string(index) + " beyond the " +
               std::to_string(count) + " records of the binding table");
        return nullptr;
    }
    const ProgramGroup* g =
        group_from_header(host_bytes(base + CUdeviceptr(index) * stride), *l.pipeline);
    if (!g || g->kind != kind) {
        l.fail(std::string(table) + " record " + std::to_string(index) +
               " holds no header packed from a matching group of this pipeline");
        return nullptr;
    }
    return g;
}

void call(Worker& w, const ProgramGroup* g, const unsigned char* record, unsigned kind) {
    Frame& f = w.frames[w.depth];
    f.kind = kind;
    f.data = record + OPTIX_SBT_RECORD_HEADER_SIZE;
    ++w.depth;
    g->program();
    --w.depth;
}

// Front face: the object-space ray runs against cross(v1 - v0, v2 - v0).
bool front_face(const Geometry& g, unsigned prim, const Frame& f, const float* w2o) {
    const uint32_t* t = &g.indices[3 * size_t(prim)];
    const float* v0 = &g.vertices[3 * size_t(t[0])];
    const float* v1 = &g.vertices[3 * size_t(t[1])];
    const float* v2 = &g.vertices[3 * size_t(t[2])];
    const double e1[3] = {v1[0] - v0[0], v1[1] - v0[1], v1[2] - v0[2]};
    const double e2[3] = {v2[0] - v0[0], v2[1] - v0[1], v2[2] - v0[2]};
    const double n[3] = {e1[1] * e2[2] - e1[2] * e2[1], e1[2] * e2[0] - e1[0] * e2[2],
                         e1[0] * e2[1] - e1[1] * e2[0]};
    double d[3];
    for (int r = 0; r < 3; ++r) {
        d[r] = w2o[4 * r] * f.direction[0] + w2o[4 * r + 1] * f.direction[1] +
               w2o[4 * r + 2] * f.direction[2];
    }
    return d[0] * n[0] + d[1] * n[1] + d[2] * n[2] < 0.0;
}

void run_raygen(Worker& w, const ProgramGroup* rg, const unsigned char* record) {
    w.depth = 0;
    w.frames[0] = Frame{};
    call(w, rg, record, kRaygen);
}

OptixResult check_table(CUdeviceptr base, unsigned stride, unsigned count) {
    if (count == 0) return OPTIX_SUCCESS;
    if (!base || base % OPTIX_SBT_RECORD_ALIGNMENT ||
        stride % OPTIX_SBT_RECORD_ALIGNMENT || stride < OPTIX_SBT_RECORD_HEADER_SIZE ||
        !is_device_range(base,
                         size_t(count - 1) * stride + OPTIX_SBT_RECORD_HEADER_SIZE)) {
        return OPTIX_ERROR_INVALID_VALUE;
    }
    return OPTIX_SUCCESS;
}

unsigned worker_count(uint64_t total) {
    unsigned n = std::max(1u, std::thread::hardware_concurrency());
    if (const char* env = std::getenv("VORN_OPTIX_EMU_THREADS"))
        n = unsigned(std::atoi(env));
    n = std::clamp(n, 1u, 64u);
    return unsigned(std::min<uint64_t>(n, (total + 63) / 64));
}

void run_grid(Launch& l, const ProgramGroup* rg, const unsigned char* record) {
    const uint64_t w = l.dims[0], h = l.dims[1];
    const uint64_t total = w * h * l.dims[2];
    std::atomic<uint64_t> next{0};
    auto work = [&] {
        Worker& wk = t_worker;
        wk.launch = &l;
        for (uint64_t b; !l.failed && (b = next.fetch_add(64)) < total;) {
            for (uint64_t i = b; i < std::min(b + 64, total) && !l.failed; ++i) {
                wk.index[0] = unsigned(i % w);
                wk.index[1] = unsigned(i / w % h);
                wk.index[2] = unsigned(i / (w * h));
                run_raygen(wk, rg, record);
            }
        }
        wk.launch = nullptr;
    };
    std::vector<std::thread> helpers;
    for (unsigned t = 1; t < worker_count(total); ++t) helpers.emplace_back(work);
    work();
    for (std::thread& t : helpers) t.join();
}

}  // namespace

OptixResult launch(OptixPipeline handle, CUstream stream, CUdeviceptr params,
                   size_t params_bytes, const OptixShaderBindingTable* sbt,
                   unsigned width, unsigned height, unsigned depth) {
    if (!is_handle(handle, Kind::Pipeline) || !sbt) return OPTIX_ERROR_INVALID_VALUE;
    if (!vorn_cuda_emu_is_stream(stream)) return OPTIX_ERROR_INVALID_VALUE;
    if (t_worker.launch) return OPTIX_ERROR_INVALID_OPERATION;  // launched from a program
    const auto* p = reinterpret_cast<const Pipeline*>(handle);
    if (!sbt->raygenRecord || sbt->raygenRecord % OPTIX_SBT_RECORD_ALIGNMENT ||
        !is_device_range(sbt->raygenRecord, OPTIX_SBT_RECORD_HEADER_SIZE)) {
        return OPTIX_ERROR_INVALID_VALUE;
    }
    const ProgramGroup* rg = group_from_header(host_bytes(sbt->raygenRecord), *p);
    if (!rg || rg->kind != OPTIX_PROGRAM_GROUP_KIND_RAYGEN)
        return OPTIX_ERROR_INVALID_VALUE;
    if (check_table(sbt->missRecordBase, sbt->missRecordStrideInBytes,
                    sbt->missRecordCount) ||
        check_table(sbt->hitgroupRecordBase, sbt->hitgroupRecordStrideInBytes,
                    sbt->hitgroupRecordCount)) {
        return OPTIX_ERROR_INVALID_VALUE;
    }
    if (params_bytes && !is_device_range(params, params_bytes))
        return OPTIX_ERROR_INVALID_VALUE;
    for (const Module* m : p->modules) {
        if (!m->params) continue;
        if (params_bytes > m->params_bytes) {
            p->context->log(2, "emulator",
                            "launch parameters (" + std::to_string(params_bytes) +
                                " bytes) larger than the launch variable");
            return OPTIX_ERROR_INVALID_VALUE;
        }
        std::memset(m->params, 0, m->params_bytes);
        if (params_bytes) std::memcpy(m->params, host_bytes(params), params_bytes);
    }
    if (uint64_t(width) * height * depth == 0) return OPTIX_SUCCESS;
    Launch l;
    l.ctx = p->context;
    l.pipeline = p;
    l.sbt = *sbt;
    l.dims[0] = width;
    l.dims[1] = height;
    l.dims[2] = depth;
    run_grid(l, rg, host_bytes(sbt->raygenRecord));
    if (l.failed) {
        l.ctx->log(2, "emulator", l.message);
        return OPTIX_ERROR_LAUNCH_FAILURE;
    }
    return OPTIX_SUCCESS;
}

// ---- optixTrace ----------------------------------------------------------

namespace {

void trace(unsigned long long handle, const float* origin, const float* direction,
           float tmin, float tmax, unsigned mask, unsigned flags, unsigned sbt_offset,
           unsigned sbt_stride, unsigned miss_index, unsigned count, unsigned* payload) {
    if (!frame_for("optixTrace", kAny)) return;
    Worker& w = t_worker;
    Launch& l = *w.launch;
    if (w.depth > l.pipeline->max_trace_depth || w.depth + 1 >= kMaxFrames) {
        return l.fail("trace at depth " + std::to_string(w.depth) +
                      " exceeds maxTraceDepth " +
                      std::to_string(l.pipeline->max_trace_depth));
    }
    if (count > unsigned(l.pipeline->options.num_payload)) {
        return l.fail("trace passes " + std::to_string(count) +
                      " payload words, the pipeline " +
                      std::to_string(l.pipeline->options.num_payload));
    }
    if (flags & ~kEmulatedRayFlags)
        return l.fail("ray flags not emulated: " + std::to_string(flags));
    std::shared_ptr<Accel> accel = l.ctx->find_accel(handle);
    if (!accel) return l.fail("trace handle names no acceleration structure");
    // An instance graph is two levels deep: a pipeline whose stack sizes
    // allow one level cannot traverse it on a device (unset, the depth is 2).
    if (accel->is_ias && l.pipeline->stack_sizes[3] == 1)
        return l.fail("trace of an instance graph (depth 2) in a pipeline whose maximum "
                      "traversable graph depth is " + std::to_string(l.pipeline->stack_sizes[3]));

    Frame& f = w.frames[w.depth];
    f = Frame{};
    std::memcpy(f.origin, origin, sizeof f.origin);
    std::memcpy(f.direction, direction, sizeof f.direction);
    f.tmin = tmin;
    f.tmax = tmax;
    f.payload_count = count;
    std::copy(payload, payload + count, f.payload);

    RTCRayHit rh{};
    rh.ray.org_x = origin[0], rh.ray.org_y = origin[1], rh.ray.org_z = origin[2];
    rh.ray.dir_x = direction[0], rh.ray.dir_y = direction[1], rh.ray.dir_z = direction[2];
    rh.ray.tnear = tmin;
    rh.ray.tfar = tmax;
    rh.ray.mask = mask & 0xFFu;
    rh.hit.geomID = RTC_INVALID_GEOMETRY_ID;
    rh.hit.instID[0] = RTC_INVALID_GEOMETRY_ID;
    vorn::embree::rtc_intersect1(accel->scene, &rh);

    const OptixShaderBindingTable& sbt = l.sbt;
    if (rh.hit.geomID != RTC_INVALID_GEOMETRY_ID) {
        const unsigned inst_idx = vorn::embree::rtc_hit_instance(rh.hit);
        const InstanceRec* inst = accel->is_ias ? &accel->instances[inst_idx] : nullptr;
        const Geometry& g = (inst ? *inst->gas : *accel).geometries[rh.hit.geomID];
        f.prim = rh.hit.primID + g.prim_offset;
        f.gas_idx = g.sbt_base;
        f.inst_id = inst ? inst->id : 0;
        f.inst_idx = inst ? inst_idx : 0;
        f.b1 = rh.hit.u;
        f.b2 = rh.hit.v;
        f.tmax = rh.ray.tfar;
        f.o2w = inst ? inst->xform : kIdentity;
        f.w2o = inst ? inst->inverse : kIdentity;
        bool front = front_face(g, rh.hit.primID, f, f.w2o);
        if (inst && (inst->flags & OPTIX_INSTANCE_FLAG_FLIP_TRIANGLE_FACING))
            front = !front;
        f.hit_kind = front ? OPTIX_HIT_KIND_TRIANGLE_FRONT_FACE
                           : OPTIX_HIT_KIND_TRIANGLE_BACK_FACE;
        const unsigned index =
            (inst ? inst->sbt_offset : 0) + g.sbt_base * sbt_stride + sbt_offset;
        const ProgramGroup* hg =
            record_group(l, sbt.hitgroupRecordBase, sbt.hitgroupRecordStrideInBytes,
                         sbt.hitgroupRecordCount, index,
                         OPTIX_PROGRAM_GROUP_KIND_HITGROUP, "hit group");
        if (!hg) return;
        if (hg->program && !(flags & OPTIX_RAY_FLAG_DISABLE_CLOSESTHIT)) {
            call(w, hg,
                 host_bytes(sbt.hitgroupRecordBase) +
                     size_t(index) * sbt.hitgroupRecordStrideInBytes,
                 kClosestHit);
        }
    } else {
        const ProgramGroup* ms = record_group(
            l, sbt.missRecordBase, sbt.missRecordStrideInBytes, sbt.missRecordCount,
            miss_index, OPTIX_PROGRAM_GROUP_KIND_MISS, "miss");
        if (!ms) return;
        if (ms->program) {
            call(w, ms,
                 host_bytes(sbt.missRecordBase) +
                     size_t(miss_index) * sbt.missRecordStrideInBytes,
                 kMiss);
        }
    }
    std::copy(f.payload, f.payload + count, payload);
}

}  // namespace

}  // namespace vorn::emu

// ---- the device-side functions of host-compiled programs --------------------

using vorn::emu::frame_for;
using vorn::emu::t_worker;

extern "C" {

void vorn_emu_launch_index(unsigned int xyz[3]) {
    const bool in_launch = frame_for("optixGetLaunchIndex", vorn::emu::kAny) != nullptr;
    for (int i = 0; i < 3; ++i) xyz[i] = in_launch ? t_worker.index[i] : 0;
}

void vorn_emu_launch_dimensions(unsigned int xyz[3]) {
    const bool in_launch =
        frame_for("optixGetLaunchDimensions", vorn::emu::kAny) != nullptr;
    for (int i = 0; i < 3; ++i) xyz[i] = in_launch ? t_worker.launch->dims[i] : 0;
}

static vorn::emu::Frame* payload_frame(const char* what, unsigned slot) {
    vorn::emu::Frame* f = frame_for(what, vorn::emu::kMiss | vorn::emu::kClosestHit);
    if (f && (slot >= f->payload_count ||
              slot >= unsigned(t_worker.launch->pipeline->options.num_payload))) {
        t_worker.launch->fail(std::string(what) + ": payload word " +
                              std::to_string(slot) + " was not passed by the trace");
        return nullptr;
    }
    return f;
}

unsigned int vorn_emu_get_payload(unsigned int slot) {
    vorn::emu::Frame* f = payload_frame("optixGetPayload", slot);
    return f ? f->payload[slot] : 0;
}

void vorn_emu_set_payload(unsigned int slot, unsigned int value) {
    if (vorn::emu::Frame* f = payload_frame("optixSetPayload", slot))
        f->payload[slot] = value;
}

#define VORN_EMU_HIT_GETTER(type, fn, field, what)                           \
    type fn(void) {                                                          \
        const vorn::emu::Frame* f = frame_for(what, vorn::emu::kClosestHit); \
        return f ? f->field : 0u;                                            \
    }

VORN_EMU_HIT_GETTER(unsigned int, vorn_emu_primitive_index, prim,
                    "optixGetPrimitiveIndex")
VORN_EMU_HIT_GETTER(unsigned int, vorn_emu_instance_id, inst_id, "optixGetInstanceId")
VORN_EMU_HIT_GETTER(unsigned int, vorn_emu_instance_index, inst_idx,
                    "optixGetInstanceIndex")
VORN_EMU_HIT_GETTER(unsigned int, vorn_emu_sbt_gas_index, gas_idx, "optixGetSbtGASIndex")
VORN_EMU_HIT_GETTER(unsigned int, vorn_emu_hit_kind, hit_kind, "optixGetHitKind")

const void* vorn_emu_sbt_data(void) {
    const vorn::emu::Frame* f = frame_for("optixGetSbtDataPointer", vorn::emu::kAny);
    return f ? f->data : nullptr;
}

void vorn_emu_triangle_barycentrics(float b[2]) {
    const vorn::emu::Frame* f =
        frame_for("optixGetTriangleBarycentrics", vorn::emu::kClosestHit);
    b[0] = f ? f->b1 : 0.0f;
    b[1] = f ? f->b2 : 0.0f;
}

float vorn_emu_ray_tmin(void) {
    const vorn::emu::Frame* f =
        frame_for("optixGetRayTmin", vorn::emu::kMiss | vorn::emu::kClosestHit);
    return f ? f->tmin : 0.0f;
}

float vorn_emu_ray_tmax(void) {
    const vorn::emu::Frame* f =
        frame_for("optixGetRayTmax", vorn::emu::kMiss | vorn::emu::kClosestHit);
    return f ? f->tmax : 0.0f;
}

void vorn_emu_world_ray_origin(float xyz[3]) {
    const vorn::emu::Frame* f =
        frame_for("optixGetWorldRayOrigin", vorn::emu::kMiss | vorn::emu::kClosestHit);
    for (int i = 0; i < 3; ++i) xyz[i] = f ? f->origin[i] : 0.0f;
}

void vorn_emu_world_ray_direction(float xyz[3]) {
    const vorn::emu::Frame* f =
        frame_for("optixGetWorldRayDirection", vorn::emu::kMiss | vorn::emu::kClosestHit);
    for (int i = 0; i < 3; ++i) xyz[i] = f ? f->direction[i] : 0.0f;
}

void vorn_emu_object_to_world(float m[12]) {
    const vorn::emu::Frame* f =
        frame_for("optixGetObjectToWorld", vorn::emu::kClosestHit);
    std::memcpy(m, f ? f->o2w : vorn::emu::kIdentity, 12 * sizeof(float));
}

void vorn_emu_world_to_object(float m[12]) {
    const vorn::emu::Frame* f =
        frame_for("optixGetWorldToObject", vorn::emu::kClosestHit);
    std::memcpy(m, f ? f->w2o : vorn::emu::kIdentity, 12 * sizeof(float));
}

void vorn_emu_trace(unsigned long long handle, const float origin[3],
                    const float direction[3], float tmin, float tmax, float,
                    unsigned int mask, unsigned int flags, unsigned int sbt_offset,
                    unsigned int sbt_stride, unsigned int miss_index, unsigned int count,
                    unsigned int* payload) {
    vorn::emu::trace(handle, origin, direction, tmin, tmax, mask, flags, sbt_offset,
                     sbt_stride, miss_index, count, payload);
}

}  // extern "C"
