// Closest-hit programs of the main pipeline. A radiance ray gets the hit
// record the CPU scene's trace_ray builds (closest_hit_radiance, shared with
// the energy-balance pipelines); a shadow ray is occluded by any hit.
#include "gpu/programs/device_tracer.h"

VORN_LAUNCH_PARAMS(vorn::LaunchParams, params)

VORN_PROGRAM(__closesthit__radiance) { vorn::dev::closest_hit_radiance(); }

VORN_PROGRAM(__closesthit__shadow) { vorn::dev::set_payload(0, 1u); }
