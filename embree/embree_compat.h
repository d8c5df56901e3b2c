// The one place that knows which Embree is installed. The code is written
// against the Embree 4 API; on Embree 3.13 the include folder, the default
// geometry mask and the query signatures (intersect context argument) differ.
#pragma once

#if __has_include(<embree4/rtcore.h>)
#include <embree4/rtcore.h>
#else
#include <embree3/rtcore.h>
#endif

namespace vorn::embree {

/// Closest-hit query for one ray (Embree 4 signature).
inline void rtc_intersect1(RTCScene scene, RTCRayHit* rayhit) {
#if RTC_VERSION_MAJOR >= 4
    rtcIntersect1(scene, rayhit);
#else
    RTCIntersectContext context;
    rtcInitIntersectContext(&context);
    rtcIntersect1(scene, &context, rayhit);
#endif
}

/// Closest-hit query for a packet of 8 coherent rays (Embree then descends
/// the acceleration structure with the packet as a whole); lanes whose valid
/// entry is 0 are left alone.
inline void rtc_intersect8_coherent(const int* valid, RTCScene scene, RTCRayHit8* rayhit) {
#if RTC_VERSION_MAJOR >= 4
    RTCIntersectArguments args;
    rtcInitIntersectArguments(&args);
    args.flags = RTC_RAY_QUERY_FLAG_COHERENT;
    rtcIntersect8(valid, scene, rayhit, &args);
#else
    RTCIntersectContext context;
    rtcInitIntersectContext(&context);
    context.flags = RTC_INTERSECT_CONTEXT_FLAG_COHERENT;
    rtcIntersect8(valid, scene, &context, rayhit);
#endif
}

/// Any-hit query for one ray: Embree sets ray->tfar to -inf when occluded.
inline void rtc_occluded1(RTCScene scene, RTCRay* ray) {
#if RTC_VERSION_MAJOR >= 4
    rtcOccluded1(scene, ray);
#else
    RTCIntersectContext context;
    rtcInitIntersectContext(&context);
    rtcOccluded1(scene, &context, ray);
#endif
}

/// Instance id of a hit at the single instancing level we use.
inline unsigned rtc_hit_instance(const RTCHit& hit) { return hit.instID[0]; }

}  // namespace vorn::embree
