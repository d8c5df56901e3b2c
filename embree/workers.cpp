#include "embree/workers.h"

#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "core/diagnostics.h"

namespace vorn::embree {

int max_depth_override(int max_depth, const char* tag) {
    const char* text = std::getenv("VORN_MAX_DEPTH");
    if (text == nullptr) return max_depth;
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (end == text || errno == ERANGE) return max_depth;
    while (*end == ' ' || *end == '\t' || *end == '\n') ++end;
    if (*end != '\0' || value < 1 || value > INT_MAX) return max_depth;
    diag_printf(DiagStream::Out, "%s VORN_MAX_DEPTH=%d\n", tag, int(value));
    return int(value);
}

int resolve_threads(int num_threads) {
    if (num_threads > 0) return num_threads;
    const unsigned hw = std::thread::hardware_concurrency();
    return hw > 0 ? int(hw) : 1;
}

/// State the pool's threads share; every field is guarded by `lock`.
struct WorkerPool::Shared {
    std::mutex lock;
    std::condition_variable started, finished;
    const std::function<void(int)>* job = nullptr;
    std::atomic<bool>* stop = nullptr;
    uint64_t generation = 0;  ///< counts runs; a change wakes the threads
    int pending = 0;          ///< threads still working on this run
    bool quit = false;
    std::exception_ptr failure;
    std::vector<std::thread> threads;
};

WorkerPool::WorkerPool(int count) : count_(count > 0 ? count : 0), shared_(new Shared) {
    try {
        shared_->threads.reserve(size_t(count_ > 1 ? count_ - 1 : 0));
        for (int t = 1; t < count_; ++t) shared_->threads.emplace_back(&WorkerPool::serve, this, t);
    } catch (...) {
        shutdown();
        throw;
    }
}

WorkerPool::~WorkerPool() { shutdown(); }

void WorkerPool::shutdown() {
    {
        std::lock_guard<std::mutex> g(shared_->lock);
        shared_->quit = true;
    }
    shared_->started.notify_all();
    for (std::thread& th : shared_->threads)
        if (th.joinable()) th.join();
    shared_->threads.clear();
}

void WorkerPool::execute(int t) {
    // An exception escaping a thread function would terminate the process.
    try {
        (*shared_->job)(t);
    } catch (...) {
        std::lock_guard<std::mutex> g(shared_->lock);
        if (!shared_->failure) shared_->failure = std::current_exception();
        *shared_->stop = true;
    }
}

void WorkerPool::serve(int t) {
    uint64_t seen = 0;
    std::unique_lock<std::mutex> lk(shared_->lock);
    for (;;) {
        shared_->started.wait(lk, [&] { return shared_->quit || shared_->generation != seen; });
        if (shared_->quit) return;
        seen = shared_->generation;
        lk.unlock();
        execute(t);
        lk.lock();
        if (--shared_->pending == 0) shared_->finished.notify_all();
    }
}

void WorkerPool::run(std::atomic<bool>& stop, const std::function<void(int)>& job) {
    if (count_ < 1) return;
    {
        std::lock_guard<std::mutex> g(shared_->lock);
        shared_->job = &job;
        shared_->stop = &stop;
        shared_->failure = nullptr;
        shared_->pending = count_ - 1;
        ++shared_->generation;
    }
    shared_->started.notify_all();
    execute(0);
    std::exception_ptr failure;
    {
        std::unique_lock<std::mutex> lk(shared_->lock);
        shared_->finished.wait(lk, [&] { return shared_->pending == 0; });
        failure = shared_->failure;
        shared_->failure = nullptr;
    }
    if (failure) std::rethrow_exception(failure);
}

void run_workers(int count, std::atomic<bool>& stop,
                 const std::function<void(int)>& worker) {
    WorkerPool pool(count);
    pool.run(stop, worker);
}

}  // namespace vorn::embree
