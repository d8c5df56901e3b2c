#include "gpu/tests/probe_pipeline.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "gpu/optix_api.h"

namespace vorn::test {

using probe::ProbeHitData;
using probe::ProbeMissData;

namespace {

// The stand-in driver finds the host builds of the programs through this
// variable; the build folder is the default when the caller sets none.
[[maybe_unused]] const bool g_programs_env_set = [] {
#ifdef VORN_EMU_PROGRAMS_DEFAULT
    setenv("VORN_OPTIX_EMU_PROGRAMS", VORN_EMU_PROGRAMS_DEFAULT, 0);
#endif
    return true;
}();

}  // namespace

std::string test_ptx_dir() {
    const char* dir = std::getenv("VORN_TEST_PTX_DIR");
#ifdef VORN_TEST_PTX_DIR_DEFAULT
    if (!dir) dir = VORN_TEST_PTX_DIR_DEFAULT;
#endif
    return dir ? dir : ".";
}

std::string read_text(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// ---- pipeline ----------------------------------------------------------------

ProbePipeline::ProbePipeline(const OptiXContext& ctx, const std::string& ptx,
                             int num_payload) {
    const OptixApi& api = optix_api();
    pco_.traversableGraphFlags = OPTIX_TRAVERSABLE_GRAPH_FLAG_ALLOW_ANY;
    pco_.numPayloadValues = num_payload;
    pco_.numAttributeValues = 2;
    pco_.pipelineLaunchParamsVariableName = "params";
    pco_.pipelineLaunchParamsSizeInBytes = sizeof(probe::ProbeParams);
    OptixModuleCompileOptions mco{};
    mco.debugLevel = OPTIX_COMPILE_DEBUG_LEVEL_NONE;
    char log[4096];
    size_t log_size = sizeof log;
    optix_check(api.module_create(ctx.context(), &mco, &pco_, ptx.data(), ptx.size(), log,
                                  &log_size, &module_),
                "probe module");
    const char* names[5] = {"__raygen__probe", "__miss__probe_radiance",
                            "__miss__probe_shadow", "__closesthit__probe_radiance",
                            "__closesthit__probe_shadow"};
    for (int i = 0; i < 5; ++i) {
        OptixProgramGroupDesc d{};
        if (i == 0) {
            d.kind = OPTIX_PROGRAM_GROUP_KIND_RAYGEN;
            d.raygen = {module_, names[i]};
        } else if (i < 3) {
            d.kind = OPTIX_PROGRAM_GROUP_KIND_MISS;
            d.miss = {module_, names[i]};
        } else {
            d.kind = OPTIX_PROGRAM_GROUP_KIND_HITGROUP;
            d.hitgroup.moduleCH = module_;
            d.hitgroup.entryFunctionNameCH = names[i];
        }
        OptixProgramGroupOptions options{};
        log_size = sizeof log;
        optix_check(api.program_group_create(ctx.context(), &d, 1, &options, log,
                                             &log_size, &groups_[i]),
                    names[i]);
    }
    OptixPipelineLinkOptions link{};
    link.maxTraceDepth = 1;
    log_size = sizeof log;
    optix_check(api.pipeline_create(ctx.context(), &pco_, &link, groups_, 5, log,
                                    &log_size, &pipeline_),
                "pipeline");
    optix_check(api.pipeline_set_stack_size(pipeline_, 0, 0, 4096, 2), "stack");
}

ProbePipeline::~ProbePipeline() {
    const OptixApi& api = optix_api();
    if (pipeline_) api.pipeline_destroy(pipeline_);
    for (OptixProgramGroup g : groups_) {
        if (g) api.program_group_destroy(g);
    }
    if (module_) api.module_destroy(module_);
}

// ---- scene -------------------------------------------------------------------

ProbeScene::ProbeScene(const OptiXContext& ctx, const ProbePipeline& pipeline,
                       const std::vector<Mesh>& meshes,
                       const std::vector<Instance>& instances)
    : ctx_(ctx), pipeline_(pipeline) {
    const OptixApi& api = optix_api();
    const size_t n = meshes.size();
    vertices_.resize(n);
    indices_.resize(n);
    gas_.resize(n);
    gas_handles_.resize(n);
    for (size_t m = 0; m < n; ++m) {
        vertices_[m].upload(meshes[m].vertices, "mesh verts");
        indices_[m].upload(meshes[m].indices, "mesh idx");
        const CUdeviceptr vb = vertices_[m].get();
        const unsigned flags = OPTIX_GEOMETRY_FLAG_NONE;
        OptixBuildInput in{};
        in.type = OPTIX_BUILD_INPUT_TYPE_TRIANGLES;
        in.triangleArray.vertexBuffers = &vb;
        in.triangleArray.numVertices = unsigned(meshes[m].vertices.size());
        in.triangleArray.vertexFormat = OPTIX_VERTEX_FORMAT_FLOAT3;
        in.triangleArray.vertexStrideInBytes = sizeof(float3);
        in.triangleArray.indexBuffer = indices_[m].get();
        in.triangleArray.numIndexTriplets = unsigned(meshes[m].indices.size());
        in.triangleArray.indexFormat = OPTIX_INDICES_FORMAT_UNSIGNED_INT3;
        in.triangleArray.indexStrideInBytes = sizeof(int3);
        in.triangleArray.flags = &flags;
        in.triangleArray.numSbtRecords = 1;
        OptixAccelBuildOptions options{};
        options.buildFlags = OPTIX_BUILD_FLAG_PREFER_FAST_TRACE;
        options.operation = OPTIX_BUILD_OPERATION_BUILD;
        OptixAccelBufferSizes sizes{};
        optix_check(
            api.accel_compute_memory_usage(ctx.context(), &options, &in, 1, &sizes),
            "gas mem");
        DeviceBuffer temp;
        temp.alloc(sizes.tempSizeInBytes, "gas temp");
        gas_[m].alloc(sizes.outputSizeInBytes, "gas out");
        optix_check(api.accel_build(ctx.context(), ctx.stream(), &options, &in, 1,
                                    temp.get(), temp.size(), gas_[m].get(),
                                    gas_[m].size(), &gas_handles_[m], nullptr, 0),
                    "gas build");
    }
    records_.assign(instances.size(), OptixInstance{});
    for (size_t k = 0; k < instances.size(); ++k) {
        std::memcpy(records_[k].transform, instances[k].xform, sizeof(float) * 12);
        records_[k].instanceId = unsigned(k);
        records_[k].sbtOffset = 2 * unsigned(instances[k].mesh_id);
        records_[k].visibilityMask = 255;
        records_[k].traversableHandle = gas_handles_[size_t(instances[k].mesh_id)];
    }
    instance_buf_.upload(records_, "ias inst");
    build_ias(OPTIX_BUILD_OPERATION_BUILD);
    build_sbt(n);
}

void ProbeScene::build_ias(unsigned operation) {
    const OptixApi& api = optix_api();
    OptixBuildInput in{};
    in.type = OPTIX_BUILD_INPUT_TYPE_INSTANCES;
    in.instanceArray.instances = instance_buf_.get();
    in.instanceArray.numInstances = unsigned(records_.size());
    OptixAccelBuildOptions options{};
    options.buildFlags =
        OPTIX_BUILD_FLAG_ALLOW_UPDATE | OPTIX_BUILD_FLAG_PREFER_FAST_TRACE;
    options.operation = operation;
    if (operation == OPTIX_BUILD_OPERATION_UPDATE) {
        optix_check(api.accel_build(ctx_.context(), ctx_.stream(), &options, &in, 1,
                                    ias_update_buf_.get(), ias_update_buf_.size(),
                                    ias_buf_.get(), ias_buf_.size(), &ias_, nullptr, 0),
                    "ias refit");
        cuda_check(cudaStreamSynchronize(ctx_.stream()), "ias refit");
        return;
    }
    OptixAccelBufferSizes sizes{};
    optix_check(api.accel_compute_memory_usage(ctx_.context(), &options, &in, 1, &sizes),
                "ias mem");
    DeviceBuffer temp;
    temp.alloc(sizes.tempSizeInBytes, "ias temp");
    ias_buf_.alloc(sizes.outputSizeInBytes, "ias out");
    ias_update_buf_.alloc(sizes.tempUpdateSizeInBytes, "ias update buf");
    optix_check(
        api.accel_build(ctx_.context(), ctx_.stream(), &options, &in, 1, temp.get(),
                        temp.size(), ias_buf_.get(), ias_buf_.size(), &ias_, nullptr, 0),
        "ias build");
}

void ProbeScene::move_instance(int k, const float xform[12]) {
    std::memcpy(records_[size_t(k)].transform, xform, sizeof(float) * 12);
    cuda_check(
        cudaMemcpyAsync(
            static_cast<char*>(instance_buf_.data()) + size_t(k) * sizeof(OptixInstance),
            xform, sizeof(float) * 12, cudaMemcpyHostToDevice, ctx_.stream()),
        "update inst xform");
    build_ias(OPTIX_BUILD_OPERATION_UPDATE);
}

void ProbeScene::build_sbt(size_t num_meshes) {
    const OptixApi& api = optix_api();
    SbtRecord<ProbeMissData> rg{};
    optix_check(api.sbt_record_pack_header(pipeline_.raygen(), rg.header), "sbt rg");
    raygen_rec_.upload(&rg, sizeof rg, "sbt rg");
    SbtRecord<ProbeMissData> miss[2] = {};
    std::vector<SbtRecord<ProbeHitData>> hits(2 * num_meshes);
    for (int type = 0; type < 2; ++type) {
        optix_check(api.sbt_record_pack_header(pipeline_.miss(type), miss[type].header),
                    "sbt miss");
        miss[type].data.tag = 9000u + unsigned(type);
        for (size_t m = 0; m < num_meshes; ++m) {
            SbtRecord<ProbeHitData>& r = hits[2 * m + size_t(type)];
            optix_check(api.sbt_record_pack_header(pipeline_.hit(type), r.header),
                        "sbt hg");
            r.data.vertices = static_cast<const float3*>(vertices_[m].data());
            r.data.indices = static_cast<const int3*>(indices_[m].data());
            r.data.tag = 100u * unsigned(m) + unsigned(type);
        }
    }
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

std::vector<probe::ProbeHit> ProbeScene::trace(const std::vector<probe::ProbeRay>& rays,
                                               unsigned width, float tmin, float tmax,
                                               probe::ProbeTally* tally) {
    DeviceBuffer ray_buf, hit_buf, params_buf, tally_buf;
    const probe::ProbeTally zero{};
    tally_buf.upload(&zero, sizeof zero, "tally");
    ray_buf.upload(rays, "rays");
    hit_buf.alloc(rays.size() * sizeof(probe::ProbeHit), "hits");
    hit_buf.fill(0, "hits zero");
    probe::ProbeParams p{};
    p.handle = ias_;
    p.rays = static_cast<const probe::ProbeRay*>(ray_buf.data());
    p.hits = static_cast<probe::ProbeHit*>(hit_buf.data());
    p.num_rays = unsigned(rays.size());
    p.tmin = tmin;
    p.tmax = tmax;
    p.tally = static_cast<probe::ProbeTally*>(tally_buf.data());
    params_buf.upload(&p, sizeof p, "params");
    const unsigned height = unsigned((rays.size() + width - 1) / width);
    optix_check(optix_api().launch(pipeline_.pipeline(), ctx_.stream(), params_buf.get(),
                                   sizeof p, &sbt_, width, height, 1),
                "launch");
    cuda_check(cudaDeviceSynchronize(), "launch sync");
    std::vector<probe::ProbeHit> hits(rays.size());
    hit_buf.copy_to_host(hits.data(), hits.size() * sizeof(probe::ProbeHit), "hits down");
    if (tally) tally_buf.copy_to_host(tally, sizeof *tally, "tally down");
    return hits;
}

}  // namespace vorn::test
