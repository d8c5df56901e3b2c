// The device-program files the simulator loads (<ptx_dir>/<stem>.ptx) and the
// entry functions it looks up in them. The programs in gpu/programs/ define
// these entries; the offline PTX check compares the two.
#pragma once

namespace vorn::programs {

// Module stems, which are also the labels of module errors.
constexpr const char* kRaygenBackwardModule = "raygen_backward";
constexpr const char* kClosestHitModule = "closesthit";
constexpr const char* kMissModule = "miss";
constexpr const char* kRaygenForwardModule = "raygen_forward";
constexpr const char* kEnergyBalanceModule = "raygen_eb_rrt";
constexpr const char* kLidarModule = "raygen_lidar";

// Entry functions; their prefixes give OptiX the program types.
constexpr const char* kRaygenBackward = "__raygen__backward";
constexpr const char* kRaygenForward = "__raygen__forward";
constexpr const char* kMissRadiance = "__miss__radiance";
constexpr const char* kMissShadow = "__miss__shadow";
constexpr const char* kClosestHitRadiance = "__closesthit__radiance";
constexpr const char* kClosestHitShadow = "__closesthit__shadow";
constexpr const char* kRaygenLidar = "__raygen__lidar";
constexpr const char* kRaygenEnergyBalance = "__raygen__eb_rrt";
constexpr const char* kMissEnergyBalance = "__miss__eb_rrt";
constexpr const char* kClosestHitEnergyBalance = "__closesthit__eb_rrt";
constexpr const char* kRaygenEnergyBalanceMultiband = "__raygen__eb_rrt_multiband";

/// Ray types: SBT offset and miss index of a trace; records per mesh = count.
constexpr unsigned kRayRadiance = 0;
constexpr unsigned kRayShadow = 1;
constexpr unsigned kRayTypeCount = 2;

/// Payload and attribute words of every module and pipeline.
constexpr int kPayloadValues = 2;
constexpr int kAttributeValues = 2;

}  // namespace vorn::programs
