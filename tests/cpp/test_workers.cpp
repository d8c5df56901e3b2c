// The worker pool of the CPU engines: each run hands the job to every worker
// once, on the same threads every run; the first failure stops and comes back.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <string>
#include <set>
#include <thread>
#include <vector>

#include "embree/workers.h"

namespace vorn::embree {
namespace {

TEST(Workers, EveryWorkerRunsOncePerRunOnTheSameThreadsAndFailuresComeBack) {
    WorkerPool pool(5);
    std::atomic<bool> stop{false};
    std::vector<std::thread::id> first;
    for (int run = 0; run < 3; ++run) {
        std::vector<std::thread::id> ids(5);
        pool.run(stop, [&](int t) { ids.at(size_t(t)) = std::this_thread::get_id(); });
        EXPECT_EQ(ids[0], std::this_thread::get_id());  // the caller is worker 0
        EXPECT_EQ(std::set<std::thread::id>(ids.begin(), ids.end()).size(), 5u);  // each once
        if (run == 0) first = ids;
        EXPECT_EQ(ids, first) << "run " << run;
    }
    // Worker 1 throws at once; the others spin until the stop flag reaches
    // them, so the run can only return if the failure raised it.
    std::atomic<int> finished{0};
    try {
        pool.run(stop, [&](int t) {
            if (t == 1) throw std::runtime_error("worker 1 failed");
            while (!stop) std::this_thread::yield();
            ++finished;
        });
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "worker 1 failed");
    }
    EXPECT_EQ(finished, 4);
    stop = false;
    pool.run(stop, [&](int) { ++finished; });  // the pool serves on
    EXPECT_EQ(finished, 9);
    run_workers(0, stop, [&](int) { ADD_FAILURE() << "no workers were asked for"; });
    const int all = std::max(1, int(std::thread::hardware_concurrency()));
    EXPECT_EQ(resolve_threads(-1) + resolve_threads(0) + resolve_threads(64), 2 * all + 64);
}

}  // namespace
}  // namespace vorn::embree
