// What every CPU engine does around its transport loop: honour the
// VORN_MAX_DEPTH override, decide how many threads to use, and run workers on
// threads of their own without ever leaving one unjoined.
#pragma once

#include <atomic>
#include <functional>
#include <memory>

namespace vorn::embree {

/// VORN_MAX_DEPTH, when it is a decimal number above 0 (surrounding blanks
/// allowed), replaces `max_depth`; the replacement is announced on stdout as
/// "<tag> VORN_MAX_DEPTH=<n>", e.g. with tag "[CPU bwd]".
int max_depth_override(int max_depth, const char* tag);

/// `num_threads` when it is at least 1, else every hardware thread (at least 1).
int resolve_threads(int num_threads);

/// One set of worker threads for a whole engine call: every run() hands the
/// same job to all of them, so passes and batches do not start and join
/// threads of their own. The calling thread is worker 0 of every run.
class WorkerPool {
public:
    /// Starts count - 1 threads (none for count <= 1). If one cannot be
    /// started, those already running are joined and the error rethrown.
    explicit WorkerPool(int count);
    /// Stops and joins every thread.
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    int size() const { return count_; }

    /// Runs job(t) for every t < size() and returns when all have finished.
    /// If a job throws, `stop` is raised so that jobs which poll it finish
    /// early, and the first failure is rethrown once all have returned.
    void run(std::atomic<bool>& stop, const std::function<void(int)>& job);

private:
    struct Shared;
    void serve(int t);
    void shutdown();
    void execute(int t);

    int count_;
    std::unique_ptr<Shared> shared_;
};

/// Runs worker(t) for t < count on a pool of its own (see WorkerPool::run).
void run_workers(int count, std::atomic<bool>& stop,
                 const std::function<void(int)>& worker);

}  // namespace vorn::embree
