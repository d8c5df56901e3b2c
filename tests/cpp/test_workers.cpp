// The worker runner every CPU engine shares: all workers run and are joined,
// the first failure comes back to the caller, and a failure raises the stop
// flag that the others poll.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "embree/workers.h"

using vorn::embree::resolve_threads;
using vorn::embree::run_workers;

TEST(Workers, EveryWorkerRunsOnceWithItsIndex) {
    for (int count : {0, 1, 2, 7}) {
        std::vector<std::atomic<int>> seen(size_t(count > 0 ? count : 1));
        std::atomic<bool> stop{false};
        run_workers(count, stop, [&](int t) { seen[size_t(t)] += 1; });
        for (int t = 0; t < count; ++t)
            EXPECT_EQ(seen[size_t(t)], 1) << "count " << count;
        EXPECT_FALSE(stop) << "count " << count;
    }
}

TEST(Workers, FirstFailureIsRethrownAfterOthersStop) {
    // Worker 0 throws at once; the others spin until the stop flag reaches them,
    // so the call can only return if the failure raised it.
    for (int count : {1, 3, 6}) {
        std::atomic<bool> stop{false};
        std::atomic<int> finished{0};
        try {
            run_workers(count, stop, [&](int t) {
                if (t == 0) throw std::runtime_error("worker 0 failed");
                while (!stop) std::this_thread::yield();
                ++finished;
            });
            ADD_FAILURE() << "no exception, count " << count;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), "worker 0 failed");
        }
        EXPECT_TRUE(stop) << "count " << count;
        EXPECT_EQ(finished, count - 1) << "count " << count;
    }
}

TEST(Workers, ThreadCountFallsBackToTheHardware) {
    const unsigned hw = std::thread::hardware_concurrency();
    const int all = hw > 0 ? int(hw) : 1;
    for (int n : {-5, -1, 0}) EXPECT_EQ(resolve_threads(n), all) << n;
    for (int n : {1, 3, 64}) EXPECT_EQ(resolve_threads(n), n) << n;
}
