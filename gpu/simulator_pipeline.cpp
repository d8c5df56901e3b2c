// Device programs into pipelines: PTX files read from the simulator's
// directory, compiled into modules under one set of compile options, one
// program group per entry function, and the main, LiDAR-extended and
// energy-balance pipelines with their stack sizes. Compiling PTX is slow, so
// each pipeline is built once per simulator, on first use.
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "core/diagnostics.h"
#include "gpu/optix_api.h"
#include "gpu/program_names.h"
#include "gpu/simulator.h"

namespace vorn {

namespace {

constexpr size_t kLogBytes = 4096;
constexpr unsigned kContinuationStack = 4096;
constexpr unsigned kMainTraceDepth = 2, kMainGraphDepth = 3;
/// The energy-balance rays traverse the scene's instance graph (IAS over
/// GASes), two levels deep like every scene the main pipeline traces.
constexpr unsigned kEbTraceDepth = 1, kEbGraphDepth = 2;

template <typename Handle, typename Destroy>
void destroy(Handle& h, Destroy fn) noexcept {
    if (!h) return;
    try {
        (optix_api().*fn)(h);  // the result is of no use during release
    } catch (...) {
    }
    h = nullptr;
}

void destroy_module(OptixModule& m) noexcept { destroy(m, &OptixApi::module_destroy); }
void destroy_group(OptixProgramGroup& g) noexcept {
    destroy(g, &OptixApi::program_group_destroy);
}
void destroy_pipeline(OptixPipeline& p) noexcept { destroy(p, &OptixApi::pipeline_destroy); }

}  // namespace

Simulator::Simulator(OptiXContext& ctx, std::string ptx_dir)
    : ctx_(ctx), ptx_dir_(std::move(ptx_dir)) {
    OptixPipelineCompileOptions& o = pipeline_options_;
    o.usesMotionBlur = 0;
    o.traversableGraphFlags = OPTIX_TRAVERSABLE_GRAPH_FLAG_ALLOW_ANY;
    o.numPayloadValues = programs::kPayloadValues;
    o.numAttributeValues = programs::kAttributeValues;
    o.exceptionFlags = OPTIX_EXCEPTION_FLAG_NONE;
    o.pipelineLaunchParamsVariableName = "params";
    o.pipelineLaunchParamsSizeInBytes = sizeof(LaunchParams);
    o.usesPrimitiveTypeFlags = 0;
}

Simulator::~Simulator() { cleanup(); }

void Simulator::init() {
    if (pipeline_built_) return;
    build_pipeline();
    pipeline_built_ = true;
}

// ---- modules -----------------------------------------------------------------

std::string Simulator::read_ptx(const std::string& stem) const {
    const std::string path = ptx_dir_ + "/" + stem + ".ptx";
    std::ifstream in(path);
    if (!in) throw std::runtime_error("Cannot open PTX: " + path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

OptixModule Simulator::create_module(const std::string& ptx, const char* label) {
    OptixModuleCompileOptions mco{};
    mco.maxRegisterCount = 0;
    mco.optLevel = OPTIX_COMPILE_OPTIMIZATION_DEFAULT;
    mco.debugLevel = OPTIX_COMPILE_DEBUG_LEVEL_NONE;
    char log[kLogBytes] = {};
    size_t log_bytes = sizeof log;
    OptixModule module = nullptr;
    const OptixResult r =
        optix_api().module_create(ctx_.context(), &mco, &pipeline_options_, ptx.data(),
                                  ptx.size(), log, &log_bytes, &module);
    if (r != OPTIX_SUCCESS) {
        log[kLogBytes - 1] = '\0';
        DiagLine(DiagStream::Err) << "[Module " << label << "] " << log << "\n";
        throw std::runtime_error(std::string("Module create failed: ") + label);
    }
    return module;
}

OptixProgramGroup Simulator::create_group(unsigned kind, OptixModule module, const char* entry,
                                          const char* step) {
    OptixProgramGroupDesc desc{};
    desc.kind = kind;
    desc.flags = 0;
    if (kind == OPTIX_PROGRAM_GROUP_KIND_HITGROUP) {
        desc.hitgroup.moduleCH = module;
        desc.hitgroup.entryFunctionNameCH = entry;
    } else {  // raygen and miss share the single-module layout
        desc.raygen.module = module;
        desc.raygen.entryFunctionName = entry;
    }
    const OptixProgramGroupOptions options{};
    char log[kLogBytes];
    size_t log_bytes = sizeof log;
    OptixProgramGroup group = nullptr;
    optix_check(optix_api().program_group_create(ctx_.context(), &desc, 1, &options, log,
                                                 &log_bytes, &group),
                step);
    return group;
}

OptixPipeline Simulator::create_pipeline(const OptixProgramGroup* groups, unsigned count,
                                         unsigned max_trace_depth, unsigned graph_depth,
                                         const char* step, const char* stack_step) {
    OptixPipelineLinkOptions link{};
    link.maxTraceDepth = max_trace_depth;
    char log[kLogBytes];
    size_t log_bytes = sizeof log;
    OptixPipeline pipeline = nullptr;
    optix_check(optix_api().pipeline_create(ctx_.context(), &pipeline_options_, &link, groups,
                                            count, log, &log_bytes, &pipeline),
                step);
    const OptixResult r =
        optix_api().pipeline_set_stack_size(pipeline, 0, 0, kContinuationStack, graph_depth);
    if (r != OPTIX_SUCCESS) {
        destroy_pipeline(pipeline);
        throw_optix_error(r, stack_step);
    }
    return pipeline;
}

// ---- the main pipeline -------------------------------------------------------

void Simulator::build_pipeline() {
    // A failed earlier attempt may have left some objects: start afresh.
    release_main_pipeline();
    const char* stems[4] = {programs::kRaygenBackwardModule, programs::kClosestHitModule,
                            programs::kMissModule, programs::kRaygenForwardModule};
    for (int i = 0; i < 4; ++i) modules_[i] = create_module(read_ptx(stems[i]), stems[i]);
    struct GroupSpec {
        unsigned kind;
        OptixModule module;
        const char* entry;
    };
    const GroupSpec specs[kMainGroupCount] = {
        {OPTIX_PROGRAM_GROUP_KIND_RAYGEN, modules_[0], programs::kRaygenBackward},
        {OPTIX_PROGRAM_GROUP_KIND_RAYGEN, modules_[3], programs::kRaygenForward},
        {OPTIX_PROGRAM_GROUP_KIND_MISS, modules_[2], programs::kMissRadiance},
        {OPTIX_PROGRAM_GROUP_KIND_MISS, modules_[2], programs::kMissShadow},
        {OPTIX_PROGRAM_GROUP_KIND_HITGROUP, modules_[1], programs::kClosestHitRadiance},
        {OPTIX_PROGRAM_GROUP_KIND_HITGROUP, modules_[1], programs::kClosestHitShadow},
    };
    for (int g = 0; g < kMainGroupCount; ++g)
        groups_[g] = create_group(specs[g].kind, specs[g].module, specs[g].entry,
                                  specs[g].entry);
    pipeline_ = create_pipeline(groups_, kMainGroupCount, kMainTraceDepth, kMainGraphDepth,
                                "pipeline", "stack");
}

void Simulator::extend_pipeline_with_lidar() {
    if (lidar_group_) return;
    init();
    release_lidar();
    try {
        lidar_module_ = create_module(read_ptx(programs::kLidarModule), programs::kLidarModule);
        lidar_group_ = create_group(OPTIX_PROGRAM_GROUP_KIND_RAYGEN, lidar_module_,
                                    programs::kRaygenLidar, "pg_lidar");
        const OptixProgramGroup groups[kMainGroupCount + 1] = {
            groups_[kGroupRaygenBackward], groups_[kGroupRaygenForward], lidar_group_,
            groups_[kGroupMissRadiance],   groups_[kGroupMissShadow],
            groups_[kGroupHitRadiance],    groups_[kGroupHitShadow]};
        OptixPipeline extended = create_pipeline(groups, kMainGroupCount + 1, kMainTraceDepth,
                                                 kMainGraphDepth, "pipeline+lidar", "stack");
        // The backward and forward groups are unchanged, so their binding
        // tables stay valid with the new pipeline.
        destroy_pipeline(pipeline_);
        pipeline_ = extended;
    } catch (...) {
        release_lidar();
        throw;
    }
}

// ---- energy-balance pipelines ------------------------------------------------

void Simulator::init_eb_pipeline() {
    if (eb_ready_) return;
    init();
    release_eb_pipeline();
    eb_module_ = create_module(read_ptx(programs::kEnergyBalanceModule),
                               programs::kEnergyBalanceModule);
    eb_raygen_ = create_group(OPTIX_PROGRAM_GROUP_KIND_RAYGEN, eb_module_,
                              programs::kRaygenEnergyBalance, "pg_raygen_eb");
    eb_miss_ = create_group(OPTIX_PROGRAM_GROUP_KIND_MISS, eb_module_,
                            programs::kMissEnergyBalance, "pg_miss_eb");
    eb_hit_ = create_group(OPTIX_PROGRAM_GROUP_KIND_HITGROUP, eb_module_,
                           programs::kClosestHitEnergyBalance, "pg_hit_eb");
    const OptixProgramGroup groups[3] = {eb_raygen_, eb_miss_, eb_hit_};
    eb_pipeline_ = create_pipeline(groups, 3, kEbTraceDepth, kEbGraphDepth, "pipeline_eb",
                                   "stack_eb");
    eb_ready_ = true;
}

void Simulator::init_eb_mb_pipeline() {
    if (eb_mb_ready_) return;
    init_eb_pipeline();
    release_eb_mb_pipeline();
    eb_mb_raygen_ = create_group(OPTIX_PROGRAM_GROUP_KIND_RAYGEN, eb_module_,
                                 programs::kRaygenEnergyBalanceMultiband, "pg_raygen_eb_mb");
    const OptixProgramGroup groups[3] = {eb_mb_raygen_, eb_miss_, eb_hit_};
    eb_mb_pipeline_ = create_pipeline(groups, 3, kEbTraceDepth, kEbGraphDepth,
                                      "pipeline_eb_mb", "stack_eb_mb");
    eb_mb_ready_ = true;
}

// ---- release -----------------------------------------------------------------

void Simulator::release_main_pipeline() noexcept {
    pipeline_built_ = false;
    destroy_pipeline(pipeline_);
    for (OptixProgramGroup& g : groups_) destroy_group(g);
    for (OptixModule& m : modules_) destroy_module(m);
    // The LiDAR group is linked into the main pipeline: it goes with it.
    release_lidar();
}

void Simulator::release_eb_pipeline() noexcept {
    eb_ready_ = false;
    destroy_pipeline(eb_pipeline_);
    destroy_group(eb_raygen_);
    destroy_group(eb_hit_);
    destroy_group(eb_miss_);
    destroy_module(eb_module_);
}

void Simulator::release_eb_mb_pipeline() noexcept {
    eb_mb_ready_ = false;
    destroy_pipeline(eb_mb_pipeline_);
    destroy_group(eb_mb_raygen_);
}

void Simulator::release_lidar() noexcept {
    destroy_module(lidar_module_);
    destroy_group(lidar_group_);
}

void Simulator::cleanup() noexcept {
    free_buffers();
    for (BindingTable* t : {&main_table_, &eb_table_}) {
        t->raygen.release();
        t->miss.release();
        t->hitgroup.release();
        t->sbt = OptixShaderBindingTable{};
    }
    eb_mb_raygen_record_.release();
    eb_mb_sbt_ = OptixShaderBindingTable{};
    for (DeviceBuffer* b :
         {&fwd_raygen_record_, &fwd_fpar_, &fwd_layers_, &fwd_leaf_, &fwd_leaf_offsets_,
          &fwd_terrain_, &eb_top_, &eb_bot_, &eb_albedos_, &eb_mb_top_, &eb_mb_bot_,
          &eb_mb_sun_, &eb_mb_sky_, &eb_mb_albedos_, &eb_sums_, &lidar_raygen_record_})
        b->release();
    eb_prims_ = 0;
    eb_albedo_count_ = eb_mb_bands_ = eb_mb_albedo_count_ = 0;
    eb_mb_values_ = 0;
    // The multiband pipeline uses the energy-balance groups: it goes first.
    release_eb_mb_pipeline();
    release_eb_pipeline();
    release_main_pipeline();
}

}  // namespace vorn
