// Our own declaration of the OptiX types the backend uses: opaque handles,
// result codes, the enum values we pass, and the structures we fill, laid out
// byte for byte as the driver reads them on x86-64 Linux. Only what we use is
// declared. Where ABI 118 and ABI 105 differ, the 118 layout is the one the
// backend fills and optix_api.cpp converts for a driver that serves only 105.
// Both the host code and the device programs (nvcc) include this header.
#pragma once

#include <cstddef>
#include <cstdint>

// CUDA driver-level handles as OptiX takes them (same definitions as cuda.h,
// so including both is harmless).
typedef unsigned long long CUdeviceptr;
typedef struct CUstream_st* CUstream;
typedef struct CUctx_st* CUcontext;

typedef struct OptixDeviceContext_t* OptixDeviceContext;
typedef struct OptixModule_t* OptixModule;
typedef struct OptixProgramGroup_t* OptixProgramGroup;
typedef struct OptixPipeline_t* OptixPipeline;
typedef unsigned long long OptixTraversableHandle;

/// Every OptiX call returns one of these (a 4-byte C enum in the driver).
enum OptixResult : int {
    OPTIX_SUCCESS = 0,
    OPTIX_ERROR_INVALID_VALUE = 7001,
    OPTIX_ERROR_INVALID_OPERATION = 7003,
    OPTIX_ERROR_LAUNCH_FAILURE = 7050,
    OPTIX_ERROR_INVALID_DEVICE_CONTEXT = 7051,
    OPTIX_ERROR_CUDA_NOT_INITIALIZED = 7052,
    OPTIX_ERROR_INVALID_INPUT = 7200,
    OPTIX_ERROR_INVALID_LAUNCH_PARAMETER = 7201,
    OPTIX_ERROR_PIPELINE_LINK_ERROR = 7251,
    OPTIX_ERROR_NOT_SUPPORTED = 7800,
    OPTIX_ERROR_UNSUPPORTED_ABI_VERSION = 7801,
    OPTIX_ERROR_FUNCTION_TABLE_SIZE_MISMATCH = 7802,
    OPTIX_ERROR_LIBRARY_NOT_FOUND = 7804,
    OPTIX_ERROR_ENTRY_SYMBOL_NOT_FOUND = 7805,
    OPTIX_ERROR_INTERNAL_ERROR = 7990,
};

/// (level, tag, message, callback data); levels 1 fatal, 2 error, 3 warning, 4 print.
typedef void (*OptixLogCallback)(unsigned int level, const char* tag, const char* message,
                                 void* cbdata);

enum : unsigned int {
    OPTIX_DEVICE_CONTEXT_VALIDATION_MODE_OFF = 0,
    OPTIX_DEVICE_PROPERTY_LIMIT_MAX_TRACE_DEPTH = 0x2001,
    OPTIX_DEVICE_PROPERTY_LIMIT_MAX_TRAVERSABLE_GRAPH_DEPTH = 0x2002,
    OPTIX_DEVICE_PROPERTY_LIMIT_NUM_BITS_INSTANCE_VISIBILITY_MASK = 0x2007,

    OPTIX_BUILD_INPUT_TYPE_TRIANGLES = 0x2141,
    OPTIX_BUILD_INPUT_TYPE_INSTANCES = 0x2143,
    OPTIX_VERTEX_FORMAT_FLOAT3 = 0x2121,
    OPTIX_INDICES_FORMAT_NONE = 0,
    OPTIX_INDICES_FORMAT_UNSIGNED_INT3 = 0x2103,
    OPTIX_BUILD_FLAG_NONE = 0,
    OPTIX_BUILD_FLAG_ALLOW_UPDATE = 1,
    OPTIX_BUILD_FLAG_ALLOW_COMPACTION = 2,
    OPTIX_BUILD_FLAG_PREFER_FAST_TRACE = 4,
    OPTIX_BUILD_OPERATION_BUILD = 0x2161,
    OPTIX_BUILD_OPERATION_UPDATE = 0x2162,
    OPTIX_PROPERTY_TYPE_COMPACTED_SIZE = 0x2181,
    OPTIX_GEOMETRY_FLAG_NONE = 0,
    OPTIX_GEOMETRY_FLAG_DISABLE_ANYHIT = 1,
    OPTIX_INSTANCE_FLAG_NONE = 0,
    OPTIX_INSTANCE_FLAG_DISABLE_TRIANGLE_FACE_CULLING = 1,
    OPTIX_INSTANCE_FLAG_FLIP_TRIANGLE_FACING = 2,
    OPTIX_INSTANCE_FLAG_DISABLE_ANYHIT = 4,

    OPTIX_COMPILE_OPTIMIZATION_DEFAULT = 0,
    OPTIX_COMPILE_DEBUG_LEVEL_DEFAULT = 0,
    OPTIX_COMPILE_DEBUG_LEVEL_NONE = 0x2350,
    OPTIX_COMPILE_DEBUG_LEVEL_MINIMAL = 0x2351,
    OPTIX_PROGRAM_GROUP_KIND_RAYGEN = 0x2421,
    OPTIX_PROGRAM_GROUP_KIND_MISS = 0x2422,
    OPTIX_PROGRAM_GROUP_KIND_EXCEPTION = 0x2423,
    OPTIX_PROGRAM_GROUP_KIND_HITGROUP = 0x2424,
    OPTIX_PROGRAM_GROUP_KIND_CALLABLES = 0x2425,
    OPTIX_TRAVERSABLE_GRAPH_FLAG_ALLOW_ANY = 0,
    OPTIX_TRAVERSABLE_GRAPH_FLAG_ALLOW_SINGLE_GAS = 1,
    OPTIX_TRAVERSABLE_GRAPH_FLAG_ALLOW_SINGLE_LEVEL_INSTANCING = 2,
    OPTIX_EXCEPTION_FLAG_NONE = 0,
    OPTIX_PRIMITIVE_TYPE_FLAGS_TRIANGLE = 0x80000000u,

    OPTIX_RAY_FLAG_NONE = 0,
    OPTIX_RAY_FLAG_DISABLE_ANYHIT = 1,
    OPTIX_RAY_FLAG_ENFORCE_ANYHIT = 2,
    OPTIX_RAY_FLAG_TERMINATE_ON_FIRST_HIT = 4,
    OPTIX_RAY_FLAG_DISABLE_CLOSESTHIT = 8,
    OPTIX_RAY_FLAG_CULL_BACK_FACING_TRIANGLES = 0x10,
    OPTIX_RAY_FLAG_CULL_FRONT_FACING_TRIANGLES = 0x20,
    OPTIX_HIT_KIND_TRIANGLE_FRONT_FACE = 0xFE,
    OPTIX_HIT_KIND_TRIANGLE_BACK_FACE = 0xFF,
};

constexpr size_t OPTIX_SBT_RECORD_HEADER_SIZE = 32;
constexpr size_t OPTIX_SBT_RECORD_ALIGNMENT = 16;
constexpr size_t OPTIX_ACCEL_BUFFER_BYTE_ALIGNMENT = 128;
constexpr size_t OPTIX_INSTANCE_BYTE_ALIGNMENT = 16;
constexpr unsigned OPTIX_MAX_PAYLOAD_VALUES = 32;

// ---- device context ------------------------------------------------------

struct OptixDeviceContextOptions {
    OptixLogCallback logCallbackFunction;
    void* logCallbackData;
    int logCallbackLevel;
    unsigned int validationMode;
};
static_assert(sizeof(OptixDeviceContextOptions) == 24,
              "device context options: 24 bytes");
static_assert(offsetof(OptixDeviceContextOptions, logCallbackLevel) == 16,
              "log level at 16");

// ---- modules, program groups, pipelines ----------------------------------

struct OptixModuleCompileOptions {
    int maxRegisterCount;          ///< 0 = no limit
    unsigned int optLevel;         ///< OPTIX_COMPILE_OPTIMIZATION_*
    unsigned int debugLevel;       ///< OPTIX_COMPILE_DEBUG_LEVEL_*
    const void* boundValues;       ///< unused: null
    unsigned int numBoundValues;   ///< unused: 0
    unsigned int numPayloadTypes;  ///< 0 while the pipeline gives numPayloadValues
    const void* payloadTypes;      ///< unused: null
    OptixModule baseModule;        ///< ABI 118 only; a 105 driver never reads it
};
static_assert(sizeof(OptixModuleCompileOptions) == 48,
              "module compile options: 48 bytes");
static_assert(offsetof(OptixModuleCompileOptions, payloadTypes) == 32,
              "payload types at 32");

/// Pipeline compile options in the ABI 118 layout (56 bytes). ABI 105 lacks
/// pipelineLaunchParamsSizeInBytes, so every later field sits 8 bytes lower.
struct OptixPipelineCompileOptions {
    int usesMotionBlur;
    unsigned int traversableGraphFlags;
    int numPayloadValues;    ///< 0..32 words
    int numAttributeValues;  ///< 2..8 words
    unsigned int exceptionFlags;
    const char* pipelineLaunchParamsVariableName;
    size_t
        pipelineLaunchParamsSizeInBytes;  ///< must equal the variable's size in the PTX
    unsigned int usesPrimitiveTypeFlags;  ///< 0 = triangles and custom primitives
    int allowOpacityMicromaps;
    int allowClusteredGeometry;
};
static_assert(sizeof(OptixPipelineCompileOptions) == 56,
              "ABI 118 pipeline options: 56 bytes");
static_assert(offsetof(OptixPipelineCompileOptions, pipelineLaunchParamsVariableName) ==
                  24,
              "launch variable name at 24");
static_assert(offsetof(OptixPipelineCompileOptions, usesPrimitiveTypeFlags) == 40,
              "primitive flags at 40 (ABI 118)");

/// The same options in the ABI 105 layout (48 bytes).
struct OptixPipelineCompileOptions105 {
    int usesMotionBlur;
    unsigned int traversableGraphFlags;
    int numPayloadValues;
    int numAttributeValues;
    unsigned int exceptionFlags;
    const char* pipelineLaunchParamsVariableName;
    unsigned int usesPrimitiveTypeFlags;
    int allowOpacityMicromaps;
    int allowClusteredGeometry;
};
static_assert(sizeof(OptixPipelineCompileOptions105) == 48,
              "ABI 105 pipeline options: 48 bytes");
static_assert(offsetof(OptixPipelineCompileOptions105, usesPrimitiveTypeFlags) == 32,
              "primitive flags at 32 (ABI 105)");

/// ABI 118 layout (20 bytes); a 105 driver reads only maxTraceDepth.
struct OptixPipelineLinkOptions {
    unsigned int maxTraceDepth;
    unsigned int maxContinuationCallableDepth;
    unsigned int maxDirectCallableDepthFromState;
    unsigned int maxDirectCallableDepthFromTraversal;
    unsigned int maxTraversableGraphDepth;
};
static_assert(sizeof(OptixPipelineLinkOptions) == 20, "link options: 20 bytes");

struct OptixProgramGroupSingleModule {
    OptixModule module;
    const char* entryFunctionName;
};

struct OptixProgramGroupHitgroup {
    OptixModule moduleCH;
    const char* entryFunctionNameCH;
    OptixModule moduleAH;
    const char* entryFunctionNameAH;
    OptixModule moduleIS;
    const char* entryFunctionNameIS;
};

struct OptixProgramGroupDesc {
    unsigned int kind;   ///< OPTIX_PROGRAM_GROUP_KIND_*
    unsigned int flags;  ///< 0
    // The largest member first: `{}` zero-initialises only the first member of
    // a union, and the any-hit and intersection fields must read null.
    union {
        OptixProgramGroupHitgroup hitgroup;
        OptixProgramGroupSingleModule raygen;
        OptixProgramGroupSingleModule miss;
        OptixProgramGroupSingleModule exception;
    };
};
static_assert(sizeof(OptixProgramGroupDesc) == 56, "program group desc: 56 bytes");
static_assert(offsetof(OptixProgramGroupDesc, hitgroup) == 8, "program union at 8");

struct OptixProgramGroupOptions {
    const void* payloadType;  ///< null: deduced from the module
};
static_assert(sizeof(OptixProgramGroupOptions) == 8, "program group options: 8 bytes");

struct OptixStackSizes {
    unsigned int cssRG, cssMS, cssCH, cssAH, cssIS, cssCC, dssDC;
};
static_assert(sizeof(OptixStackSizes) == 28, "stack sizes: 28 bytes");

// ---- acceleration structures ----------------------------------------------

struct OptixOpacityMicromapSlot {
    unsigned char bytes[48];
};

/// Triangle input. ABI 105 appends a 96-byte displacement block, which a
/// zeroed OptixBuildInput leaves zero, so one definition serves both.
struct OptixBuildInputTriangleArray {
    const CUdeviceptr* vertexBuffers;  ///< host array: one device pointer per motion key
    unsigned int numVertices;
    unsigned int vertexFormat;         ///< OPTIX_VERTEX_FORMAT_FLOAT3
    unsigned int vertexStrideInBytes;  ///< 0 = tight (12)
    CUdeviceptr indexBuffer;
    unsigned int numIndexTriplets;
    unsigned int indexFormat;         ///< OPTIX_INDICES_FORMAT_UNSIGNED_INT3
    unsigned int indexStrideInBytes;  ///< 0 = tight (12)
    CUdeviceptr preTransform;         ///< 0 = none
    const unsigned int* flags;        ///< host array, one word per SBT record
    unsigned int numSbtRecords;
    CUdeviceptr sbtIndexOffsetBuffer;
    unsigned int sbtIndexOffsetSizeInBytes;
    unsigned int sbtIndexOffsetStrideInBytes;
    unsigned int primitiveIndexOffset;
    unsigned int transformFormat;
    OptixOpacityMicromapSlot opacityMicromap;
};
static_assert(sizeof(OptixBuildInputTriangleArray) == 144, "triangle input: 144 bytes");
static_assert(offsetof(OptixBuildInputTriangleArray, indexBuffer) == 24,
              "index buffer at 24");
static_assert(offsetof(OptixBuildInputTriangleArray, flags) == 56, "flags at 56");
static_assert(offsetof(OptixBuildInputTriangleArray, numSbtRecords) == 64,
              "sbt records at 64");
static_assert(offsetof(OptixBuildInputTriangleArray, primitiveIndexOffset) == 88,
              "primitive index offset at 88");

struct OptixBuildInputInstanceArray {
    CUdeviceptr instances;  ///< device array of OptixInstance, 16-byte aligned
    unsigned int numInstances;
    unsigned int instanceStride;  ///< 0 = 80
};
static_assert(sizeof(OptixBuildInputInstanceArray) == 16, "instance input: 16 bytes");

struct OptixBuildInput {
    unsigned int type;  ///< OPTIX_BUILD_INPUT_TYPE_*
    // pad first, so `{}` zeroes all 1024 bytes: an ABI 105 driver reads the
    // triangle input's displacement block beyond our 144-byte declaration.
    union {
        char pad[1024];
        OptixBuildInputTriangleArray triangleArray;
        OptixBuildInputInstanceArray instanceArray;
    };
};
static_assert(sizeof(OptixBuildInput) == 1032, "build input: 1032 bytes");
static_assert(offsetof(OptixBuildInput, triangleArray) == 8, "build input union at 8");

struct OptixInstance {
    float transform[12];  ///< object-to-world, 3x4 row-major
    unsigned int instanceId;
    unsigned int sbtOffset;
    unsigned int visibilityMask;
    unsigned int flags;
    OptixTraversableHandle traversableHandle;
    unsigned int pad[2];
};
static_assert(sizeof(OptixInstance) == 80, "instance record: 80 bytes");
static_assert(offsetof(OptixInstance, instanceId) == 48, "instance id at 48");
static_assert(offsetof(OptixInstance, traversableHandle) == 64, "traversable at 64");

struct OptixMotionOptions {
    unsigned short numKeys;
    unsigned short flags;
    float timeBegin;
    float timeEnd;
};

struct OptixAccelBuildOptions {
    unsigned int buildFlags;
    unsigned int operation;  ///< OPTIX_BUILD_OPERATION_*
    OptixMotionOptions motionOptions;
};
static_assert(sizeof(OptixAccelBuildOptions) == 20, "accel build options: 20 bytes");

struct OptixAccelBufferSizes {
    size_t outputSizeInBytes;
    size_t tempSizeInBytes;
    size_t tempUpdateSizeInBytes;
};
static_assert(sizeof(OptixAccelBufferSizes) == 24, "accel buffer sizes: 24 bytes");

struct OptixAccelEmitDesc {
    CUdeviceptr result;
    unsigned int type;
};
static_assert(sizeof(OptixAccelEmitDesc) == 16, "emit desc: 16 bytes");

// ---- launches ------------------------------------------------------------

struct OptixShaderBindingTable {
    CUdeviceptr raygenRecord;
    CUdeviceptr exceptionRecord;
    CUdeviceptr missRecordBase;
    unsigned int missRecordStrideInBytes;
    unsigned int missRecordCount;
    CUdeviceptr hitgroupRecordBase;
    unsigned int hitgroupRecordStrideInBytes;
    unsigned int hitgroupRecordCount;
    CUdeviceptr callablesRecordBase;
    unsigned int callablesRecordStrideInBytes;
    unsigned int callablesRecordCount;
};
static_assert(sizeof(OptixShaderBindingTable) == 64, "binding table: 64 bytes");
static_assert(offsetof(OptixShaderBindingTable, hitgroupRecordBase) == 32,
              "hit groups at 32");

/// A shader binding table record: the driver-packed header, then our data.
template <typename T>
struct alignas(OPTIX_SBT_RECORD_ALIGNMENT) SbtRecord {
    unsigned char header[OPTIX_SBT_RECORD_HEADER_SIZE];
    T data;
};
static_assert(offsetof(SbtRecord<int>, data) == OPTIX_SBT_RECORD_HEADER_SIZE,
              "record data follows the 32-byte header");
