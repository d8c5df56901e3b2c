// Miss programs of the main pipeline: a radiance ray that escapes leaves an
// empty hit record (the transport loop then takes the tile-wrap or sky road),
// a shadow ray that escapes is not occluded.
#include "gpu/programs/device_tracer.h"

VORN_LAUNCH_PARAMS(vorn::LaunchParams, params)

VORN_PROGRAM(__miss__radiance) { *vorn::dev::payload_hit_record() = vorn::SurfaceHit{}; }

VORN_PROGRAM(__miss__shadow) { vorn::dev::set_payload(0, 0u); }
