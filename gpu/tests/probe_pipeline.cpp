#include "gpu/tests/probe_pipeline.h"

#include <cmath>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "gpu/optix_api.h"

namespace vorn::test {

using probe::ProbeHitData;
using probe::ProbeMissData;

// The stand-in driver finds the host builds of the programs through this
// variable; the build folder is the default when the caller sets none.
[[maybe_unused]] static const bool g_programs_env_set = [] {
#ifdef VORN_EMU_PROGRAMS_DEFAULT
    setenv("VORN_OPTIX_EMU_PROGRAMS", VORN_EMU_PROGRAMS_DEFAULT, 0);
#endif
    return true;
}();

std::string probe_ptx() {
    const char* dir = std::getenv("VORN_TEST_PTX_DIR");
#ifdef VORN_TEST_PTX_DIR_DEFAULT
    if (!dir) dir = VORN_TEST_PTX_DIR_DEFAULT;
#endif
    const std::string path = std::string(dir ? dir : ".") + "/trace_probe.ptx";
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

/// Triangle build input over device buffers of float3 vertices and int3 indices.
static OptixBuildInput triangle_input(const CUdeviceptr* vertices, const Mesh& mesh,
                                      CUdeviceptr indices, const unsigned* flags) {
    OptixBuildInput in{};
    in.type = OPTIX_BUILD_INPUT_TYPE_TRIANGLES;
    OptixBuildInputTriangleArray& t = in.triangleArray;
    t.vertexBuffers = vertices;
    t.numVertices = unsigned(mesh.vertices.size());
    t.vertexFormat = OPTIX_VERTEX_FORMAT_FLOAT3;
    t.vertexStrideInBytes = sizeof(float3);
    t.indexBuffer = indices;
    t.numIndexTriplets = unsigned(mesh.indices.size());
    t.indexFormat = OPTIX_INDICES_FORMAT_UNSIGNED_INT3;
    t.indexStrideInBytes = sizeof(int3);
    t.flags = flags;
    t.numSbtRecords = 1;
    return in;
}

Probe::Probe(const OptiXContext& ctx, const TestScene& scene) : ctx_(ctx) {
    create_pipeline();
    build_scene(scene);
    build_sbt();
}

void Probe::build_scene(const TestScene& scene) {
    const size_t n = scene.meshes.size();
    vertices_.resize(n);
    indices_.resize(n);
    gas_.resize(n);
    std::vector<OptixTraversableHandle> gas_handles(n);
    const unsigned flags = OPTIX_GEOMETRY_FLAG_NONE;
    for (size_t m = 0; m < n; ++m) {
        vertices_[m].upload(scene.meshes[m].vertices, "mesh verts");
        indices_[m].upload(scene.meshes[m].indices, "mesh idx");
        const CUdeviceptr vb = vertices_[m].get();
        gas_handles[m] = build(triangle_input(&vb, scene.meshes[m], indices_[m].get(), &flags),
                               OPTIX_BUILD_FLAG_PREFER_FAST_TRACE, gas_[m]);
    }
    std::vector<OptixInstance> records(scene.instances.size(), OptixInstance{});
    for (size_t k = 0; k < records.size(); ++k) {
        const Instance& inst = scene.instances[k];
        std::memcpy(records[k].transform, inst.xform, sizeof inst.xform);
        records[k].instanceId = unsigned(k);
        records[k].sbtOffset = 2 * unsigned(inst.mesh_id);
        records[k].visibilityMask = 255;
        records[k].traversableHandle = gas_handles[size_t(inst.mesh_id)];
    }
    instances_.upload(records, "ias inst");
    OptixBuildInput in{};
    in.type = OPTIX_BUILD_INPUT_TYPE_INSTANCES;
    in.instanceArray.instances = instances_.get();
    in.instanceArray.numInstances = unsigned(records.size());
    ias_handle_ = build(in, OPTIX_BUILD_FLAG_PREFER_FAST_TRACE, ias_);
}

void Probe::create_pipeline() {
    const OptixApi& api = optix_api();
    OptixPipelineCompileOptions pco{};
    pco.traversableGraphFlags = OPTIX_TRAVERSABLE_GRAPH_FLAG_ALLOW_ANY;
    pco.numPayloadValues = 3;  // the probe traces 3 words
    pco.numAttributeValues = 2;
    pco.pipelineLaunchParamsVariableName = "params";
    pco.pipelineLaunchParamsSizeInBytes = sizeof(probe::ProbeParams);
    const OptixModuleCompileOptions mco{};
    const std::string ptx = probe_ptx();
    optix_check(api.module_create(ctx_.context(), &mco, &pco, ptx.data(), ptx.size(),
                                  nullptr, nullptr, &module_),
                "probe module");
    const char* names[5] = {"__raygen__probe", "__miss__probe_radiance",
                            "__miss__probe_shadow", "__closesthit__probe_radiance",
                            "__closesthit__probe_shadow"};
    for (int i = 0; i < 5; ++i) {
        OptixProgramGroupDesc d{};
        if (i < 3) {  // raygen and miss descriptions share one layout
            d.kind =
                i == 0 ? OPTIX_PROGRAM_GROUP_KIND_RAYGEN : OPTIX_PROGRAM_GROUP_KIND_MISS;
            d.raygen = {module_, names[i]};
        } else {
            d.kind = OPTIX_PROGRAM_GROUP_KIND_HITGROUP;
            d.hitgroup.moduleCH = module_;
            d.hitgroup.entryFunctionNameCH = names[i];
        }
        const OptixProgramGroupOptions options{};
        optix_check(api.program_group_create(ctx_.context(), &d, 1, &options, nullptr,
                                             nullptr, &groups_[i]),
                    names[i]);
    }
    OptixPipelineLinkOptions link{};
    link.maxTraceDepth = 1;
    optix_check(api.pipeline_create(ctx_.context(), &pco, &link, groups_, 5, nullptr,
                                    nullptr, &pipeline_),
                "pipeline");
    optix_check(api.pipeline_set_stack_size(pipeline_, 0, 0, 4096, 2), "stack");
}

Probe::~Probe() {
    const OptixApi& api = optix_api();
    if (pipeline_) api.pipeline_destroy(pipeline_);
    for (OptixProgramGroup g : groups_)
        if (g) api.program_group_destroy(g);
    if (module_) api.module_destroy(module_);
}

OptixTraversableHandle Probe::build(const OptixBuildInput& in, unsigned flags, DeviceBuffer& out) {
    const OptixApi& api = optix_api();
    OptixAccelBuildOptions options{};
    options.buildFlags = flags;
    options.operation = OPTIX_BUILD_OPERATION_BUILD;
    OptixAccelBufferSizes sizes{};
    optix_check(api.accel_compute_memory_usage(ctx_.context(), &options, &in, 1, &sizes), "accel sizes");
    DeviceBuffer temp;
    temp.alloc(sizes.tempSizeInBytes, "accel temp");
    out.alloc(sizes.outputSizeInBytes, "accel out");
    OptixTraversableHandle handle = 0;
    optix_check(api.accel_build(ctx_.context(), ctx_.stream(), &options, &in, 1, temp.get(), temp.size(),
                                out.get(), out.size(), &handle, nullptr, 0),
                "accel build");
    cuda_check(cudaStreamSynchronize(ctx_.stream()), "accel build");
    return handle;
}

void Probe::build_sbt() {
    const OptixApi& api = optix_api();
    SbtRecord<ProbeMissData> rg{}, miss[2] = {};
    optix_check(api.sbt_record_pack_header(groups_[0], rg.header), "sbt rg");
    std::vector<SbtRecord<ProbeHitData>> hits(2 * vertices_.size());
    for (unsigned type = 0; type < 2; ++type) {
        optix_check(api.sbt_record_pack_header(groups_[1 + type], miss[type].header),
                    "sbt");
        miss[type].data.tag = 9000u + type;
        for (size_t m = 0; m < vertices_.size(); ++m) {
            SbtRecord<ProbeHitData>& r = hits[2 * m + type];
            optix_check(api.sbt_record_pack_header(groups_[3 + type], r.header), "sbt");
            r.data = {static_cast<const float3*>(vertices_[m].data()),
                      static_cast<const int3*>(indices_[m].data()),
                      100u * unsigned(m) + type, 0};
        }
    }
    raygen_rec_.upload(&rg, sizeof rg, "sbt rg");
    miss_rec_.upload(miss, sizeof miss, "sbt miss");
    hit_rec_.upload(hits, "sbt hg");
    sbt_.raygenRecord = raygen_rec_.get();
    sbt_.missRecordBase = miss_rec_.get();
    sbt_.missRecordStrideInBytes = sizeof(SbtRecord<ProbeMissData>);
    sbt_.missRecordCount = 2;
    sbt_.hitgroupRecordBase = hit_rec_.get();
    sbt_.hitgroupRecordStrideInBytes = sizeof(SbtRecord<ProbeHitData>);
    sbt_.hitgroupRecordCount = unsigned(hits.size());
}

std::vector<probe::ProbeHit> Probe::trace(const std::vector<probe::ProbeRay>& rays,
                                          unsigned width, float tmin, float tmax,
                                          probe::ProbeTally* tally) {
    DeviceBuffer ray_buf, hit_buf, params_buf, tally_buf;
    const probe::ProbeTally zero{};
    tally_buf.upload(&zero, sizeof zero, "tally");
    ray_buf.upload(rays, "rays");
    hit_buf.alloc(rays.size() * sizeof(probe::ProbeHit), "hits");
    hit_buf.fill(0, "hits");
    probe::ProbeParams p{ias_handle_,           nullptr, nullptr,
                         unsigned(rays.size()), tmin,    tmax};
    p.rays = static_cast<const probe::ProbeRay*>(ray_buf.data());
    p.hits = static_cast<probe::ProbeHit*>(hit_buf.data());
    p.tally = static_cast<probe::ProbeTally*>(tally_buf.data());
    params_buf.upload(&p, sizeof p, "params");
    const unsigned height = unsigned((rays.size() + width - 1) / width);
    optix_check(optix_api().launch(pipeline_, ctx_.stream(), params_buf.get(), sizeof p,
                                   &sbt_, width, height, 1),
                "launch");
    cuda_check(cudaDeviceSynchronize(), "launch sync");
    std::vector<probe::ProbeHit> hits(rays.size());
    hit_buf.copy_to_host(hits.data(), hits.size() * sizeof(probe::ProbeHit), "hits");
    tally_buf.copy_to_host(tally, sizeof *tally, "tally");
    return hits;
}

void make_xform(float out[12], float3 axis, float angle, float3 scale, float3 t) {
    const float3 a = normalize(axis);
    const double x = a.x, y = a.y, z = a.z, c = std::cos(angle), s = std::sin(angle);
    const double k = 1 - c, sc[3] = {scale.x, scale.y, scale.z}, tr[3] = {t.x, t.y, t.z};
    const double r[9] = {c + x * x * k,     x * y * k - z * s, x * z * k + y * s,
                         y * x * k + z * s, c + y * y * k,     y * z * k - x * s,
                         z * x * k - y * s, z * y * k + x * s, c + z * z * k};
    for (int row = 0; row < 3; ++row) {
        for (int col = 0; col < 3; ++col)
            out[4 * row + col] = float(r[3 * row + col] * sc[col]);
        out[4 * row + 3] = float(tr[row]);
    }
}

TestScene make_test_scene() {
    TestScene s;
    // clang-format off
    s.meshes = {
        {{{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}}, {}, {{0, 1, 2}, {0, 2, 3}}},
        {{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}}, {},
         {{0, 2, 1}, {0, 1, 3}, {0, 3, 2}, {1, 2, 3}}},
        {{{1, 0, 0}, {-1, 0, 0}, {0, 1, 0}, {0, -1, 0}, {0, 0, 1}, {0, 0, -1}}, {},
         {{0, 2, 4}, {2, 1, 4}, {1, 3, 4}, {3, 0, 4},
          {2, 0, 5}, {1, 2, 5}, {3, 1, 5}, {0, 3, 5}}}};
    // clang-format on
    struct Placement {
        int mesh;
        float3 axis;
        float angle;
        float3 scale, t;
    };
    for (const Placement& p :
         {Placement{0, {0, 0, 1}, 0.0f, {4, 4, 4}, {-2, -2, 0}},
          {1, {0, 0, 1}, 0.5236f, {0.6f, 0.6f, 0.6f}, {0.5f, 0.3f, 1}},
          {1, {1, 0, 0}, 0.7f, {0.5f, 1.2f, 0.8f}, {-1, 0.4f, 1.5f}},
          {2, {1, 1, 0}, 0.4f, {-0.7f, 0.7f, 0.7f}, {1.2f, -1, 1.2f}},
          {0, {1, 0, 0}, 1.5708f, {2, 2, 2}, {-2, 1.9f, 0}}}) {
        Instance inst;
        inst.mesh_id = p.mesh;
        make_xform(inst.xform, p.axis, p.angle, p.scale, p.t);
        s.instances.push_back(inst);
    }
    return s;
}

std::vector<probe::ProbeRay> make_rays(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    std::vector<probe::ProbeRay> rays(n);
    for (size_t i = 0; i < n; ++i) {
        probe::ProbeRay& r = rays[i];
        r.origin = {-3 + 6 * u(rng), -3 + 6 * u(rng), 2.5f + 1.5f * u(rng)};
        const float3 target = {-2.2f + 4.4f * u(rng), -2.2f + 4.4f * u(rng), 2 * u(rng)};
        r.direction = target - r.origin;
        if (i % 17 == 0) r.direction.z = -r.direction.z;    // upwards: a miss
        if (i % 5 == 0) r.direction = r.direction * 0.25f;  // t in units of |direction|
        r.ray_type = u(rng) < 0.5f ? 0u : 1u;
    }
    return rays;
}

}  // namespace vorn::test
