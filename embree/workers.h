// What every CPU engine does around its transport loop: honour the
// VORN_MAX_DEPTH override, decide how many threads to use, and run workers on
// threads of their own without ever leaving one unjoined.
#pragma once

#include <atomic>
#include <functional>

namespace vorn::embree {

/// VORN_MAX_DEPTH, when it is a decimal number above 0 (surrounding blanks
/// allowed), replaces `max_depth`; the replacement is announced on stdout as
/// "<tag> VORN_MAX_DEPTH=<n>", e.g. with tag "[CPU bwd]".
int max_depth_override(int max_depth, const char* tag);

/// `num_threads` when it is at least 1, else every hardware thread (at least 1).
int resolve_threads(int num_threads);

/// Runs worker(t) for t < count on threads of their own and joins them all.
/// If a start fails or a worker throws, `stop` is raised so that workers which
/// poll it finish early, everything started is joined, and the first failure
/// is rethrown.
void run_workers(int count, std::atomic<bool>& stop,
                 const std::function<void(int)>& worker);

}  // namespace vorn::embree
