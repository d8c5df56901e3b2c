// Shader binding tables and per-launch buffers. A table's records are a wire
// format with the driver and the device programs: 48-byte ray-generation and
// miss records (the 32-byte header the driver packs, then zeros) and 80-byte
// hit-group records carrying one mesh's HitGroupData. Instances are built
// with SBT offset 2 * mesh, and rays are traced with stride 2 and offset =
// ray type, so mesh m's radiance record is 2m and its shadow record 2m + 1.
#include <cstring>
#include <stdexcept>
#include <string>

#include "gpu/optix_api.h"
#include "gpu/program_names.h"
#include "gpu/simulator.h"

namespace vorn {

namespace {

using HitRecord = SbtRecord<HitGroupData>;
static_assert(sizeof(EmptyRecord) == 48, "ray-generation and miss records are 48 bytes");
static_assert(sizeof(HitRecord) == 80, "hit-group records are 80 bytes");

constexpr size_t kHitsBytesPerRay = 64;
constexpr size_t kRngBytesPerRay = 16;
/// Device programs index per-ray, per-band buffers with 32-bit signed ints.
constexpr int64_t kMaxIndexedValues = INT32_MAX;

template <typename Record>
Record packed(OptixProgramGroup group, const char* step) {
    Record r;
    std::memset(&r, 0, sizeof r);
    optix_check(optix_api().sbt_record_pack_header(group, r.header), step);
    return r;
}

/// Uploads `records` into `buffer` (left empty for no records).
template <typename Record>
void upload_records(DeviceBuffer& buffer, const std::vector<Record>& records,
                    const char* alloc_step, const char* upload_step) {
    buffer.release();
    if (records.empty()) return;
    buffer.alloc(records.size() * sizeof(Record), alloc_step);
    buffer.copy_from_host(records.data(), records.size() * sizeof(Record), upload_step);
}

/// Releases the table's records and clears its table, so that a failure
/// while it is filled again leaves no table pointing at freed records.
void clear_table(BindingTable& t) {
    t.raygen.release();
    t.miss.release();
    t.hitgroup.release();
    t.sbt = OptixShaderBindingTable{};
}

/// Points the table at its uploaded records: `misses` miss records, `hits`
/// hit-group records.
void point_table(BindingTable& t, unsigned misses, size_t hits) {
    t.sbt.raygenRecord = t.raygen.get();
    t.sbt.missRecordBase = t.miss.get();
    t.sbt.missRecordStrideInBytes = sizeof(EmptyRecord);
    t.sbt.missRecordCount = misses;
    t.sbt.hitgroupRecordBase = t.hitgroup.get();
    t.sbt.hitgroupRecordStrideInBytes = sizeof(HitRecord);
    t.sbt.hitgroupRecordCount = unsigned(hits);
}

void require(bool ready, const char* message) {
    if (!ready) throw std::runtime_error(message);
}

}  // namespace

EmptyRecord pack_empty_record(OptixProgramGroup group, const char* step) {
    return packed<EmptyRecord>(group, step);
}

OptixShaderBindingTable Simulator::main_table_with_raygen(const DeviceBuffer& record) const {
    OptixShaderBindingTable sbt = main_table_.sbt;
    sbt.raygenRecord = record.get();
    return sbt;
}

void Simulator::check_scene(const SceneManager& scene, const char* not_built,
                            const char* who) const {
    if (!scene.is_built()) throw std::runtime_error(not_built);
    if (&scene.context() != &ctx_)
        throw std::runtime_error(std::string(who) +
                                 ": the scene lives on another OptiXContext than this Simulator");
}

void Simulator::build_sbt(SceneManager& scene) {
    require(pipeline_built_, "build_sbt: the main pipeline is not built. Call init() first.");
    BindingTable& t = main_table_;
    clear_table(t);
    upload_records(t.raygen, std::vector<EmptyRecord>{packed<EmptyRecord>(
                                 groups_[kGroupRaygenBackward], "sbt rg")},
                   "sbt rg", "sbt rg");
    upload_records(t.miss,
                   std::vector<EmptyRecord>{packed<EmptyRecord>(groups_[kGroupMissRadiance], "sbt miss"),
                                            packed<EmptyRecord>(groups_[kGroupMissShadow], "sbt miss")},
                   "sbt miss", "sbt miss");
    const std::vector<HitGroupData> data = scene.get_hitgroup_data();
    std::vector<HitRecord> hits;
    hits.reserve(2 * data.size());
    for (const HitGroupData& d : data) {
        for (MainGroup g : {kGroupHitRadiance, kGroupHitShadow}) {
            hits.push_back(packed<HitRecord>(groups_[g], "sbt hg"));
            hits.back().data = d;
        }
    }
    upload_records(t.hitgroup, hits, "sbt hg", "sbt hg");
    point_table(t, programs::kRayTypeCount, hits.size());
}

void Simulator::build_sbt_eb(SceneManager& scene) {
    require(eb_ready_,
            "build_sbt_eb: the energy-balance pipeline is not built. Call init_eb_pipeline() "
            "first.");
    BindingTable& t = eb_table_;
    clear_table(t);
    upload_records(t.raygen, std::vector<EmptyRecord>{packed<EmptyRecord>(eb_raygen_, "sbt rg eb")},
                   "sbt rg eb", "sbt rg eb up");
    upload_records(t.miss, std::vector<EmptyRecord>{packed<EmptyRecord>(eb_miss_, "sbt miss eb")},
                   "sbt miss eb", "sbt miss eb up");
    // At least one record pair, so the table is never empty; pairs beyond the
    // real meshes carry zero data.
    const std::vector<HitGroupData> data = scene.get_hitgroup_data();
    const size_t meshes = data.empty() ? 1 : data.size();
    std::vector<HitRecord> hits(2 * meshes, packed<HitRecord>(eb_hit_, "sbt hg eb"));
    for (size_t m = 0; m < data.size(); ++m) hits[2 * m].data = hits[2 * m + 1].data = data[m];
    upload_records(t.hitgroup, hits, "sbt hg eb", "sbt hg eb up");
    point_table(t, 1, hits.size());
}

void Simulator::build_sbt_eb_mb(SceneManager& scene) {
    require(eb_mb_ready_,
            "build_sbt_eb_mb: the multiband pipeline is not built. Call init_eb_mb_pipeline() "
            "first.");
    eb_mb_raygen_record_.release();
    eb_mb_sbt_ = OptixShaderBindingTable{};
    build_sbt_eb(scene);
    const EmptyRecord rg = packed<EmptyRecord>(eb_mb_raygen_, "sbt rg eb_mb");
    eb_mb_raygen_record_.alloc(sizeof rg, "sbt rg eb_mb");
    eb_mb_raygen_record_.copy_from_host(&rg, sizeof rg, "sbt rg eb_mb up");
    eb_mb_sbt_ = eb_table_.sbt;
    eb_mb_sbt_.raygenRecord = eb_mb_raygen_record_.get();
}

// ---- per-launch buffers --------------------------------------------------------

void Simulator::allocate_buffers(int num_rays, int num_bands) {
    if (num_rays == buffers_.num_rays && num_bands == buffers_.num_bands &&
        buffers_.params)
        return;
    const int64_t values = int64_t(num_rays) * num_bands;
    if (num_rays < 0 || num_bands < 0 || values > kMaxIndexedValues)
        throw std::runtime_error("allocate_buffers: " + std::to_string(num_rays) +
                                 " rays x " + std::to_string(num_bands) +
                                 " bands is negative or more than the 2^31 - 1 values a "
                                 "launch can index");
    free_buffers();
    const size_t band_bytes = size_t(values) * sizeof(float);
    buffers_.film.alloc(band_bytes, "film");
    buffers_.hits.alloc(size_t(num_rays) * kHitsBytesPerRay, "hits");
    buffers_.rngs.alloc(size_t(num_rays) * kRngBytesPerRay, "rngs");
    buffers_.tp.alloc(band_bytes, "tp");
    buffers_.rad.alloc(band_bytes, "rad");
    buffers_.params.alloc(sizeof(LaunchParams), "params");
    buffers_.num_rays = num_rays;
    buffers_.num_bands = num_bands;
}

void Simulator::free_buffers() {
    for (DeviceBuffer* b : {&buffers_.film, &buffers_.hits, &buffers_.rngs, &buffers_.tp,
                            &buffers_.rad, &buffers_.params})
        b->release();
    buffers_.num_rays = 0;
    buffers_.num_bands = 0;
}

}  // namespace vorn
