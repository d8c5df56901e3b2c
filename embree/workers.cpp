#include "embree/workers.h"

#include <cerrno>
#include <climits>
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

void run_workers(int count, std::atomic<bool>& stop,
                 const std::function<void(int)>& worker) {
    std::exception_ptr failure;
    std::mutex failure_lock;
    // An exception escaping a thread function would terminate the process.
    auto guarded = [&](int t) {
        try {
            worker(t);
        } catch (...) {
            std::lock_guard<std::mutex> g(failure_lock);
            if (!failure) failure = std::current_exception();
            stop = true;
        }
    };
    std::vector<std::thread> threads;
    try {
        threads.reserve(size_t(count > 0 ? count : 0));
        for (int t = 0; t < count; ++t) threads.emplace_back(guarded, t);
    } catch (...) {
        stop = true;
        for (std::thread& th : threads) th.join();
        throw;
    }
    for (std::thread& th : threads) th.join();
    if (failure) std::rethrow_exception(failure);
}

}  // namespace vorn::embree
