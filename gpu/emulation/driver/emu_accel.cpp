// Acceleration structures on Embree: a GAS is an Embree scene of triangle
// geometries (one per build input), an IAS a scene of instance geometries.
// The handle of a build is its output address; updates refit in place. Sizes
// and alignment of the caller's buffers are checked as a device would need
// them, though the data itself lives in the Embree scenes.
#include <cmath>
#include <cstring>
#include <mutex>

#include "gpu/emulation/cuda_emu.h"
#include "gpu/emulation/driver/emu_driver.h"

namespace vorn::emu {

namespace {

constexpr size_t kTempBytes = 256;

const void* host(CUdeviceptr p) { return reinterpret_cast<const void*>(uintptr_t(p)); }

bool aligned(CUdeviceptr p, size_t a) { return p % a == 0; }

// Checks what we emulate; fills the primitive count.
OptixResult check_inputs(const OptixBuildInput* in, unsigned count, size_t* prims) {
    *prims = 0;
    const unsigned type = in[0].type;
    if (type == OPTIX_BUILD_INPUT_TYPE_INSTANCES) {
        if (count != 1) return OPTIX_ERROR_INVALID_VALUE;
        const auto& a = in[0].instanceArray;
        if (a.instanceStride != 0 && a.instanceStride != sizeof(OptixInstance)) {
            return OPTIX_ERROR_NOT_SUPPORTED;
        }
        *prims = a.numInstances;
        return OPTIX_SUCCESS;
    }
    if (type != OPTIX_BUILD_INPUT_TYPE_TRIANGLES) return OPTIX_ERROR_NOT_SUPPORTED;
    for (unsigned i = 0; i < count; ++i) {
        const auto& t = in[i].triangleArray;
        if (in[i].type != type) return OPTIX_ERROR_INVALID_VALUE;
        if (t.vertexFormat != OPTIX_VERTEX_FORMAT_FLOAT3)
            return OPTIX_ERROR_NOT_SUPPORTED;
        if (t.indexFormat != OPTIX_INDICES_FORMAT_NONE &&
            t.indexFormat != OPTIX_INDICES_FORMAT_UNSIGNED_INT3) {
            return OPTIX_ERROR_NOT_SUPPORTED;
        }
        if (t.numSbtRecords != 1 || t.sbtIndexOffsetBuffer || t.preTransform) {
            return OPTIX_ERROR_NOT_SUPPORTED;
        }
        if (!t.flags) return OPTIX_ERROR_INVALID_VALUE;
        *prims += t.indexFormat == OPTIX_INDICES_FORMAT_NONE ? t.numVertices / 3
                                                             : t.numIndexTriplets;
    }
    return OPTIX_SUCCESS;
}

OptixAccelBufferSizes sizes_for(size_t prims, unsigned flags) {
    OptixAccelBufferSizes s{};
    s.outputSizeInBytes = 256 + 64 * prims;
    s.tempSizeInBytes = kTempBytes;
    s.tempUpdateSizeInBytes = (flags & OPTIX_BUILD_FLAG_ALLOW_UPDATE) ? kTempBytes : 0;
    return s;
}

// Reads one triangle input from device memory into `g`.
OptixResult read_triangles(const OptixBuildInputTriangleArray& t, Geometry* g) {
    if (!t.vertexBuffers) return OPTIX_ERROR_INVALID_VALUE;
    const size_t vstride = t.vertexStrideInBytes ? t.vertexStrideInBytes : 12;
    const size_t n = t.numVertices;
    if (n && !is_device_range(t.vertexBuffers[0], (n - 1) * vstride + 12)) {
        return OPTIX_ERROR_INVALID_VALUE;
    }
    g->vertices.resize(3 * n);
    const auto* vb = static_cast<const unsigned char*>(host(t.vertexBuffers[0]));
    for (size_t v = 0; v < n; ++v) std::memcpy(&g->vertices[3 * v], vb + v * vstride, 12);
    if (t.indexFormat == OPTIX_INDICES_FORMAT_NONE) {
        g->indices.resize(n / 3 * 3);
        for (size_t i = 0; i < g->indices.size(); ++i) g->indices[i] = uint32_t(i);
    } else {
        const size_t istride = t.indexStrideInBytes ? t.indexStrideInBytes : 12;
        const size_t m = t.numIndexTriplets;
        if (m && !is_device_range(t.indexBuffer, (m - 1) * istride + 12)) {
            return OPTIX_ERROR_INVALID_VALUE;
        }
        g->indices.resize(3 * m);
        const auto* ib = static_cast<const unsigned char*>(host(t.indexBuffer));
        for (size_t i = 0; i < m; ++i)
            std::memcpy(&g->indices[3 * i], ib + i * istride, 12);
    }
    for (uint32_t i : g->indices) {
        if (i >= n)
            return OPTIX_ERROR_INVALID_VALUE;  // a device would read out of bounds
    }
    g->prim_offset = t.primitiveIndexOffset;
    return OPTIX_SUCCESS;
}

void attach_triangles(RTCDevice device, RTCScene scene, const Geometry& g, unsigned id) {
    const size_t tris = g.indices.size() / 3;
    if (tris == 0) return;
    RTCGeometry geom = rtcNewGeometry(device, RTC_GEOMETRY_TYPE_TRIANGLE);
    void* vb = rtcSetNewGeometryBuffer(geom, RTC_BUFFER_TYPE_VERTEX, 0, RTC_FORMAT_FLOAT3,
                                       12, g.vertices.size() / 3);
    void* ib = rtcSetNewGeometryBuffer(geom, RTC_BUFFER_TYPE_INDEX, 0, RTC_FORMAT_UINT3,
                                       12, tris);
    if (vb && ib) {
        std::memcpy(vb, g.vertices.data(), g.vertices.size() * sizeof(float));
        std::memcpy(ib, g.indices.data(), g.indices.size() * sizeof(uint32_t));
    }
    rtcSetGeometryMask(geom, 0xFFFFFFFFu);
    rtcCommitGeometry(geom);
    rtcAttachGeometryByID(scene, geom, id);
    rtcReleaseGeometry(geom);
}

OptixResult build_gas(Context* ctx, const OptixBuildInput* in, unsigned count, Accel* a) {
    a->scene = rtcNewScene(ctx->device);
    for (unsigned i = 0; i < count; ++i) {
        Geometry g;
        const OptixResult r = read_triangles(in[i].triangleArray, &g);
        if (r != OPTIX_SUCCESS) return r;
        g.sbt_base = i;  // one SBT record per input
        attach_triangles(ctx->device, a->scene, g, i);
        a->geometries.push_back(std::move(g));
    }
    return OPTIX_SUCCESS;
}

void invert_rows(const float m[12], float out[12]) {
    const double a = m[0], b = m[1], c = m[2], d = m[4], e = m[5], f = m[6], g = m[8],
                 h = m[9], k = m[10];
    const double det = a * (e * k - f * h) - b * (d * k - f * g) + c * (d * h - e * g);
    const double s = det != 0.0 ? 1.0 / det : 0.0;
    const double inv[9] = {(e * k - f * h) * s, (c * h - b * k) * s, (b * f - c * e) * s,
                           (f * g - d * k) * s, (a * k - c * g) * s, (c * d - a * f) * s,
                           (d * h - e * g) * s, (b * g - a * h) * s, (a * e - b * d) * s};
    for (int r = 0; r < 3; ++r) {
        const double t =
            -(inv[3 * r] * m[3] + inv[3 * r + 1] * m[7] + inv[3 * r + 2] * m[11]);
        for (int col = 0; col < 3; ++col) out[4 * r + col] = float(inv[3 * r + col]);
        out[4 * r + 3] = float(t);
    }
}

// Reads the instance records and (re)creates or refits the Embree instances.
OptixResult read_instances(Context* ctx, const OptixBuildInputInstanceArray& arr,
                           Accel* a, bool refit) {
    const size_t n = arr.numInstances;
    if (n && (!aligned(arr.instances, OPTIX_INSTANCE_BYTE_ALIGNMENT) ||
              !is_device_range(arr.instances, n * sizeof(OptixInstance)))) {
        return OPTIX_ERROR_INVALID_VALUE;
    }
    if (refit && n != a->instances.size()) return OPTIX_ERROR_INVALID_VALUE;
    a->instances.resize(n);
    const auto* records = static_cast<const OptixInstance*>(host(arr.instances));
    for (size_t k = 0; k < n; ++k) {
        const OptixInstance& r = records[k];
        InstanceRec& rec = a->instances[k];
        auto found = ctx->accels.find(r.traversableHandle);
        std::shared_ptr<Accel> gas = found == ctx->accels.end() ? nullptr : found->second;
        if (!gas || gas->is_ias) {
            ctx->log(2, "emulator", "instance " + std::to_string(k) + " names no GAS");
            return OPTIX_ERROR_INVALID_VALUE;
        }
        // The Embree scene outlives the GAS's output buffer; a device would
        // traverse freed memory, so a freed one fails here as a fault would.
        if (!is_device_range(r.traversableHandle, gas->output_bytes)) {
            ctx->log(
                2, "emulator",
                "instance " + std::to_string(k) + " names a GAS whose buffer was freed");
            return OPTIX_ERROR_INVALID_VALUE;
        }
        std::memcpy(rec.xform, r.transform, sizeof rec.xform);
        invert_rows(rec.xform, rec.inverse);
        rec.id = r.instanceId;
        rec.sbt_offset = r.sbtOffset;
        rec.mask = r.visibilityMask & 0xFFu;
        rec.flags = r.flags;
        RTCGeometry geom = refit
                               ? rtcGetGeometry(a->scene, unsigned(k))
                               : rtcNewGeometry(ctx->device, RTC_GEOMETRY_TYPE_INSTANCE);
        if (!refit || rec.gas != gas) rtcSetGeometryInstancedScene(geom, gas->scene);
        rec.gas = gas;
        if (!refit) rtcSetGeometryTimeStepCount(geom, 1);
        rtcSetGeometryTransform(geom, 0, RTC_FORMAT_FLOAT3X4_ROW_MAJOR, rec.xform);
        rtcSetGeometryMask(geom, rec.mask);
        rtcCommitGeometry(geom);
        if (!refit) {
            rtcAttachGeometryByID(a->scene, geom, unsigned(k));
            rtcReleaseGeometry(geom);
        }
    }
    return OPTIX_SUCCESS;
}

OptixResult check_buffers(size_t temp_needed, CUdeviceptr temp, size_t temp_bytes,
                          size_t out_needed, CUdeviceptr output, size_t output_bytes) {
    if (temp_needed && (temp_bytes < temp_needed || !temp ||
                        !aligned(temp, OPTIX_ACCEL_BUFFER_BYTE_ALIGNMENT) ||
                        !is_device_range(temp, temp_needed))) {
        return OPTIX_ERROR_INVALID_VALUE;
    }
    if (output_bytes < out_needed || !output ||
        !aligned(output, OPTIX_ACCEL_BUFFER_BYTE_ALIGNMENT) ||
        !is_device_range(output, out_needed)) {
        return OPTIX_ERROR_INVALID_VALUE;
    }
    return OPTIX_SUCCESS;
}

}  // namespace

OptixResult accel_compute_memory_usage(OptixDeviceContext handle,
                                       const OptixAccelBuildOptions* options,
                                       const OptixBuildInput* inputs, unsigned count,
                                       OptixAccelBufferSizes* sizes) {
    if (!is_handle(handle, Kind::Context)) return OPTIX_ERROR_INVALID_DEVICE_CONTEXT;
    if (!options || !inputs || !sizes || count == 0) return OPTIX_ERROR_INVALID_VALUE;
    size_t prims = 0;
    const OptixResult r = check_inputs(inputs, count, &prims);
    if (r != OPTIX_SUCCESS) return r;
    *sizes = sizes_for(prims, options->buildFlags);
    return OPTIX_SUCCESS;
}

OptixResult accel_build(OptixDeviceContext handle, CUstream stream,
                        const OptixAccelBuildOptions* options,
                        const OptixBuildInput* inputs, unsigned count, CUdeviceptr temp,
                        size_t temp_bytes, CUdeviceptr output, size_t output_bytes,
                        OptixTraversableHandle* out_handle,
                        const OptixAccelEmitDesc* emitted, unsigned num_emitted) {
    if (!is_handle(handle, Kind::Context)) return OPTIX_ERROR_INVALID_DEVICE_CONTEXT;
    if (!vorn_cuda_emu_is_stream(stream)) return OPTIX_ERROR_INVALID_VALUE;
    if (!options || !inputs || !out_handle || count == 0)
        return OPTIX_ERROR_INVALID_VALUE;
    if (options->motionOptions.numKeys > 1) return OPTIX_ERROR_NOT_SUPPORTED;
    auto* ctx = reinterpret_cast<Context*>(handle);
    size_t prims = 0;
    OptixResult r = check_inputs(inputs, count, &prims);
    if (r != OPTIX_SUCCESS) return r;
    const bool update = options->operation == OPTIX_BUILD_OPERATION_UPDATE;
    if (!update && options->operation != OPTIX_BUILD_OPERATION_BUILD) {
        return OPTIX_ERROR_INVALID_VALUE;
    }
    const OptixAccelBufferSizes need = sizes_for(prims, options->buildFlags);
    r = check_buffers(update ? need.tempUpdateSizeInBytes : need.tempSizeInBytes, temp,
                      temp_bytes, need.outputSizeInBytes, output, output_bytes);
    if (r != OPTIX_SUCCESS) return r;
    const bool ias = inputs[0].type == OPTIX_BUILD_INPUT_TYPE_INSTANCES;

    std::unique_lock<std::shared_mutex> lock(ctx->accel_mutex);
    std::shared_ptr<Accel> a;
    if (update) {
        // An update refits the structure built into the same output buffer.
        auto it = ctx->accels.find(output);
        if (it == ctx->accels.end() || it->second->is_ias != ias ||
            !(it->second->build_flags & OPTIX_BUILD_FLAG_ALLOW_UPDATE)) {
            return OPTIX_ERROR_INVALID_OPERATION;
        }
        a = it->second;
        if (!ias) return OPTIX_ERROR_NOT_SUPPORTED;  // the backend refits only its IAS
        r = read_instances(ctx, inputs[0].instanceArray, a.get(), true);
    } else {
        a = std::make_shared<Accel>();
        a->is_ias = ias;
        a->build_flags = options->buildFlags;
        a->output_bytes = need.outputSizeInBytes;
        if (ias) {
            a->scene = rtcNewScene(ctx->device);
            if (options->buildFlags & OPTIX_BUILD_FLAG_ALLOW_UPDATE) {
                rtcSetSceneFlags(a->scene, RTC_SCENE_FLAG_DYNAMIC);
            }
            r = read_instances(ctx, inputs[0].instanceArray, a.get(), false);
        } else {
            r = build_gas(ctx, inputs, count, a.get());
        }
    }
    if (r != OPTIX_SUCCESS) return r;
    rtcCommitScene(a->scene);
    if (rtcGetDeviceError(ctx->device) != RTC_ERROR_NONE)
        return OPTIX_ERROR_INTERNAL_ERROR;
    ctx->accels[output] = a;
    *out_handle = OptixTraversableHandle(output);
    for (unsigned i = 0; i < num_emitted; ++i) {
        if (emitted[i].type != OPTIX_PROPERTY_TYPE_COMPACTED_SIZE)
            return OPTIX_ERROR_NOT_SUPPORTED;
        if (!is_device_range(emitted[i].result, 8)) return OPTIX_ERROR_INVALID_VALUE;
        const uint64_t bytes = a->output_bytes;
        std::memcpy(const_cast<void*>(host(emitted[i].result)), &bytes, 8);
    }
    return OPTIX_SUCCESS;
}

}  // namespace vorn::emu
