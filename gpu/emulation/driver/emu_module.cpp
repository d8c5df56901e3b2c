// Modules and program groups. A module is created from PTX text like on a
// device: the text must look like PTX, the launch variable's size must match
// what the pipeline options state (ABI 118), and every entry function of the
// PTX is bound to the same program compiled as host code. The host builds are
// shared libraries found in the folders of VORN_OPTIX_EMU_PROGRAMS
// (':'-separated); the one exporting all of the PTX's entries is used.
#include <dirent.h>
#include <dlfcn.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>

#include "gpu/emulation/driver/emu_driver.h"

namespace vorn::emu {

namespace {

constexpr uint64_t kHeaderMagic = 0x3155'4D45'4E52'4F56ull;  // "VORNEMU1"

struct PtxInfo {
    bool has_version = false;
    std::vector<std::string> entries;
    std::map<std::string, size_t> const_arrays;  ///< `.const ... .b8 name[N]`
};

std::string identifier_at(const std::string& s, size_t pos) {
    while (pos < s.size() && std::isspace(static_cast<unsigned char>(s[pos]))) ++pos;
    size_t end = pos;
    while (end < s.size() && (std::isalnum(static_cast<unsigned char>(s[end])) ||
                              s[end] == '_' || s[end] == '$')) {
        ++end;
    }
    return s.substr(pos, end - pos);
}

PtxInfo parse_ptx(const char* text, size_t bytes) {
    PtxInfo info;
    // PTX parsing stops at the first NUL, as on a device.
    std::string ptx(text, strnlen(text, bytes));
    std::stringstream lines(ptx);
    std::string line;
    while (std::getline(lines, line)) {
        const size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line.compare(first, 2, "//") == 0) continue;
        if (line.compare(first, 8, ".version") == 0) info.has_version = true;
        const size_t entry = line.find(".entry ");
        if (entry != std::string::npos)
            info.entries.push_back(identifier_at(line, entry + 7));
        const size_t cst = line.find(".const");
        const size_t b8 = line.find(".b8 ", cst == std::string::npos ? 0 : cst);
        if (cst != std::string::npos && b8 != std::string::npos) {
            const std::string name = identifier_at(line, b8 + 4);
            const size_t open = line.find('[', b8);
            if (!name.empty() && open != std::string::npos) {
                info.const_arrays[name] =
                    std::strtoull(line.c_str() + open + 1, nullptr, 10);
            }
        }
    }
    return info;
}

std::vector<std::string> host_build_candidates() {
    std::vector<std::string> files;
    const char* dirs = std::getenv("VORN_OPTIX_EMU_PROGRAMS");
    std::stringstream items(dirs ? dirs : "");
    std::string dir;
    while (std::getline(items, dir, ':')) {
        if (DIR* d = opendir(dir.c_str())) {
            while (dirent* e = readdir(d)) {
                const std::string name = e->d_name;
                if (name.size() > 3 && name.compare(name.size() - 3, 3, ".so") == 0) {
                    files.push_back(dir + "/" + name);
                }
            }
            closedir(d);
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

// The host build exporting every entry of the PTX. Libraries stay loaded for
// the life of the process, like the driver's compiled modules.
void* find_host_build(const std::vector<std::string>& entries, std::string* error) {
    static std::mutex mutex;
    static std::map<std::string, void*> opened;
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<std::string> matches;
    void* found = nullptr;
    for (const std::string& path : host_build_candidates()) {
        void*& lib = opened[path];
        if (!lib) lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!lib) continue;
        bool all = true;
        for (const std::string& e : entries)
            all = all && dlsym(lib, e.c_str()) != nullptr;
        if (all) {
            matches.push_back(path);
            found = lib;
        }
    }
    if (matches.size() == 1) return found;
    *error =
        matches.empty()
            ? "no host build exports every entry of this PTX (first: " + entries.front() +
                  "); VORN_OPTIX_EMU_PROGRAMS names the folders searched"
            : "entries of this PTX are exported by several host builds: " + matches[0] +
                  ", " + matches[1];
    return nullptr;
}

OptixResult fail(char* log, size_t* log_bytes, OptixResult code, const std::string& why) {
    write_log(log, log_bytes, why);
    return code;
}

bool has_prefix(const std::string& s, const char* prefix) {
    return s.compare(0, std::strlen(prefix), prefix) == 0;
}

}  // namespace

bool Module::has_entry(const std::string& name) const {
    return std::find(entries.begin(), entries.end(), name) != entries.end();
}

// ---- modules ---------------------------------------------------------------

OptixResult module_create(int abi, OptixDeviceContext handle,
                          const OptixModuleCompileOptions* mco, const void* pco,
                          const char* ptx, size_t ptx_bytes, char* log, size_t* log_bytes,
                          OptixModule* out) {
    if (!is_handle(handle, Kind::Context)) return OPTIX_ERROR_INVALID_DEVICE_CONTEXT;
    if (!mco || !pco || !ptx || !out) return OPTIX_ERROR_INVALID_VALUE;
    const PipelineOptions options = decode_pipeline_options(pco, abi);
    if (options.num_payload < 0 || options.num_payload > 32 ||
        options.num_attributes > 8) {
        return fail(log, log_bytes, OPTIX_ERROR_INVALID_VALUE,
                    "payload or attribute count");
    }
    if (options.primitive_flags != 0 &&
        options.primitive_flags != OPTIX_PRIMITIVE_TYPE_FLAGS_TRIANGLE) {
        return fail(log, log_bytes, OPTIX_ERROR_INVALID_VALUE,
                    "usesPrimitiveTypeFlags " + std::to_string(options.primitive_flags) +
                        " names primitive types this pipeline cannot use");
    }
    if (options.uses_motion_blur || mco->numBoundValues || mco->numPayloadTypes) {
        return fail(log, log_bytes, OPTIX_ERROR_NOT_SUPPORTED,
                    "motion blur, bound values and payload types are not emulated");
    }
    const PtxInfo info = parse_ptx(ptx, ptx_bytes);
    if (!info.has_version || info.entries.empty()) {
        return fail(log, log_bytes, OPTIX_ERROR_INVALID_INPUT,
                    "Invalid PTX input: no .version or no .entry");
    }
    auto* m = new Module();
    m->context = reinterpret_cast<Context*>(handle);
    m->entries = info.entries;
    m->options = options;
    auto var = info.const_arrays.find(options.params_name);
    if (!options.params_name.empty() && var != info.const_arrays.end()) {
        m->params_bytes = var->second;
        if (options.has_params_bytes && options.params_bytes != m->params_bytes) {
            delete m;
            return fail(log, log_bytes, OPTIX_ERROR_INVALID_INPUT,
                        "launch variable " + options.params_name + " has " +
                            std::to_string(var->second) +
                            " bytes, pipelineLaunchParamsSizeInBytes is " +
                            std::to_string(options.params_bytes));
        }
    }
    std::string error;
    m->library = find_host_build(m->entries, &error);
    if (m->library && m->params_bytes) {
        m->params = dlsym(m->library, options.params_name.c_str());
        if (!m->params)
            error = "host build lacks the launch variable " + options.params_name;
    }
    if (!error.empty()) {
        delete m;
        return fail(log, log_bytes, OPTIX_ERROR_INVALID_INPUT, error);
    }
    register_handle(m, Kind::Module, m->context);
    write_log(log, log_bytes, "");
    *out = reinterpret_cast<OptixModule>(m);
    return OPTIX_SUCCESS;
}

OptixResult module_destroy(OptixModule handle) {
    return destroy_handle<Module>(handle, Kind::Module);
}

// ---- program groups --------------------------------------------------------

namespace {

// One program of a group: module and entry both null (absent) or both valid.
OptixResult bind_program(Context* ctx, OptixModule module, const char* entry,
                         const char* prefix, bool optional, ProgramGroup* g,
                         std::string* why) {
    if (!module && !entry && optional) return OPTIX_SUCCESS;
    if (!module || !entry || !is_handle(module, Kind::Module)) {
        *why = "program module or entry name missing";
        return OPTIX_ERROR_INVALID_VALUE;
    }
    auto* m = reinterpret_cast<Module*>(module);
    if (m->context != ctx) {
        *why = "module belongs to another device context";
        return OPTIX_ERROR_INVALID_VALUE;
    }
    if (!has_prefix(entry, prefix) || !m->has_entry(entry)) {
        *why = std::string("entry function ") + entry + " with prefix " + prefix +
               " not found in module";
        return OPTIX_ERROR_INVALID_VALUE;
    }
    g->module = m;
    g->entry = entry;
    g->program = reinterpret_cast<ProgramFn>(dlsym(m->library, entry));
    return OPTIX_SUCCESS;
}

OptixResult make_group(Context* ctx, const OptixProgramGroupDesc& d, ProgramGroup* g,
                       std::string* why) {
    g->context = ctx;
    g->kind = d.kind;
    switch (d.kind) {
        case OPTIX_PROGRAM_GROUP_KIND_RAYGEN:
            return bind_program(ctx, d.raygen.module, d.raygen.entryFunctionName,
                                "__raygen__", false, g, why);
        case OPTIX_PROGRAM_GROUP_KIND_MISS:
            return bind_program(ctx, d.miss.module, d.miss.entryFunctionName, "__miss__",
                                true, g, why);
        case OPTIX_PROGRAM_GROUP_KIND_HITGROUP:
            if (d.hitgroup.moduleAH || d.hitgroup.moduleIS) {
                *why = "any-hit and intersection programs are not emulated";
                return OPTIX_ERROR_NOT_SUPPORTED;
            }
            return bind_program(ctx, d.hitgroup.moduleCH, d.hitgroup.entryFunctionNameCH,
                                "__closesthit__", true, g, why);
        default:
            *why = "program group kind " + std::to_string(d.kind) + " is not emulated";
            return OPTIX_ERROR_NOT_SUPPORTED;
    }
}

}  // namespace

OptixResult program_group_create(OptixDeviceContext handle,
                                 const OptixProgramGroupDesc* descs, unsigned count,
                                 const OptixProgramGroupOptions* options, char* log,
                                 size_t* log_bytes, OptixProgramGroup* out) {
    if (!is_handle(handle, Kind::Context)) return OPTIX_ERROR_INVALID_DEVICE_CONTEXT;
    if (!descs || !out || count == 0) return OPTIX_ERROR_INVALID_VALUE;
    if (options && options->payloadType) {
        return fail(log, log_bytes, OPTIX_ERROR_NOT_SUPPORTED,
                    "payload types are not emulated");
    }
    auto* ctx = reinterpret_cast<Context*>(handle);
    std::vector<ProgramGroup*> made;
    for (unsigned i = 0; i < count; ++i) {
        auto* g = new ProgramGroup();
        std::string why;
        const OptixResult r = make_group(ctx, descs[i], g, &why);
        if (r != OPTIX_SUCCESS) {
            delete g;
            for (ProgramGroup* p : made) delete p;
            return fail(log, log_bytes, r, why);
        }
        made.push_back(g);
    }
    for (unsigned i = 0; i < count; ++i) {
        register_handle(made[i], Kind::ProgramGroup, ctx);
        out[i] = reinterpret_cast<OptixProgramGroup>(made[i]);
    }
    write_log(log, log_bytes, "");
    return OPTIX_SUCCESS;
}

OptixResult program_group_destroy(OptixProgramGroup handle) {
    return destroy_handle<ProgramGroup>(handle, Kind::ProgramGroup);
}

OptixResult program_group_get_stack_size(OptixProgramGroup handle, OptixStackSizes* sizes,
                                         OptixPipeline) {
    if (!is_handle(handle, Kind::ProgramGroup) || !sizes)
        return OPTIX_ERROR_INVALID_VALUE;
    // Host programs run on the worker's own stack; report a plausible frame.
    const auto* g = reinterpret_cast<const ProgramGroup*>(handle);
    *sizes = OptixStackSizes{};
    const unsigned frame = g->program ? 64u : 0u;
    if (g->kind == OPTIX_PROGRAM_GROUP_KIND_RAYGEN) sizes->cssRG = frame;
    if (g->kind == OPTIX_PROGRAM_GROUP_KIND_MISS) sizes->cssMS = frame;
    if (g->kind == OPTIX_PROGRAM_GROUP_KIND_HITGROUP) sizes->cssCH = frame;
    return OPTIX_SUCCESS;
}

// ---- SBT record headers ------------------------------------------------------

OptixResult sbt_record_pack_header(OptixProgramGroup handle, void* header) {
    if (!is_handle(handle, Kind::ProgramGroup) || !header)
        return OPTIX_ERROR_INVALID_VALUE;
    unsigned char bytes[OPTIX_SBT_RECORD_HEADER_SIZE] = {};
    const uint64_t group = reinterpret_cast<uintptr_t>(handle);
    std::memcpy(bytes, &kHeaderMagic, 8);
    std::memcpy(bytes + 8, &group, 8);
    std::memcpy(header, bytes, sizeof bytes);
    return OPTIX_SUCCESS;
}

const ProgramGroup* group_from_header(const void* header, const Pipeline& pipeline) {
    uint64_t magic = 0, group = 0;
    std::memcpy(&magic, header, 8);
    std::memcpy(&group, static_cast<const unsigned char*>(header) + 8, 8);
    if (magic != kHeaderMagic) return nullptr;
    // A group of the launched pipeline is live for the whole launch; checking
    // membership also rejects headers packed from another pipeline's groups.
    const auto* g = reinterpret_cast<const ProgramGroup*>(uintptr_t(group));
    return pipeline.has_group(g) ? g : nullptr;
}

}  // namespace vorn::emu
