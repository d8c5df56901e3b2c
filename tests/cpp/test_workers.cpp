// The worker pool every CPU engine shares: each run hands the job to every
// worker once, the same threads serve every run of a call, and the first
// failure raises the stop flag and comes back to the caller after all joined.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "embree/workers.h"

namespace vorn::embree {
namespace {

TEST(Workers, EveryWorkerRunsOncePerRunOnTheSameThreads) {
    WorkerPool pool(5);
    std::vector<std::thread::id> first(5);
    std::atomic<bool> stop{false};
    for (int run = 0; run < 3; ++run) {
        std::vector<std::atomic<int>> seen(5);
        std::vector<std::thread::id> ids(5);
        pool.run(stop, [&](int t) {
            seen.at(size_t(t)) += 1;
            ids[size_t(t)] = std::this_thread::get_id();
        });
        for (int t = 0; t < 5; ++t) EXPECT_EQ(seen[size_t(t)], 1) << "worker " << t;
        EXPECT_EQ(ids[0], std::this_thread::get_id());  // the caller is worker 0
        if (run == 0) first = ids;
        EXPECT_EQ(ids, first) << "run " << run;
    }
    EXPECT_FALSE(stop);
    run_workers(0, stop, [&](int) { ADD_FAILURE() << "no workers were asked for"; });
}

TEST(Workers, FirstFailureIsRethrownAfterOthersStopAndThePoolServesOn) {
    // Worker 1 throws at once; the others spin until the stop flag reaches
    // them, so the run can only return if the failure raised it.
    for (int count : {2, 6}) {
        WorkerPool pool(count);
        std::atomic<bool> stop{false};
        std::atomic<int> finished{0};
        try {
            pool.run(stop, [&](int t) {
                if (t == 1) throw std::runtime_error("worker 1 failed");
                while (!stop) std::this_thread::yield();
                ++finished;
            });
            ADD_FAILURE() << "no exception, count " << count;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), "worker 1 failed");
        }
        EXPECT_TRUE(stop && finished == count - 1) << "count " << count;
        stop = false;
        pool.run(stop, [&](int) { ++finished; });
        EXPECT_EQ(finished, 2 * count - 1) << "count " << count;
    }
    const int all = std::max(1, int(std::thread::hardware_concurrency()));
    EXPECT_EQ(resolve_threads(-1) + resolve_threads(0) + resolve_threads(64), 2 * all + 64);
}

}  // namespace
}  // namespace vorn::embree
