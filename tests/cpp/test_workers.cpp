// The worker runner every CPU engine shares: all workers run and are joined,
// and the first failure raises the stop flag and comes back to the caller.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "embree/workers.h"

using vorn::embree::resolve_threads;
using vorn::embree::run_workers;

TEST(Workers, EveryWorkerRunsOnceWithItsIndex) {
    std::vector<std::atomic<int>> seen(7);
    std::atomic<bool> stop{false};
    run_workers(7, stop, [&](int t) { seen.at(size_t(t)) += 1; });
    for (int t = 0; t < 7; ++t) EXPECT_EQ(seen[size_t(t)], 1) << "worker " << t;
    EXPECT_FALSE(stop);
    run_workers(0, stop, [&](int) { ADD_FAILURE() << "no workers were asked for"; });
}

TEST(Workers, FirstFailureIsRethrownAfterOthersStop) {
    // Worker 0 throws at once; the others spin until the stop flag reaches them,
    // so the call can only return if the failure raised it.
    for (int count : {1, 6}) {
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
        EXPECT_EQ(finished, count - 1) << "count " << count;  // all joined
    }
}

TEST(Workers, ThreadCountFallsBackToTheHardware) {
    const int all = std::max(1, int(std::thread::hardware_concurrency()));
    for (int n : {-1, 0}) EXPECT_EQ(resolve_threads(n), all) << n;
    for (int n : {1, 64}) EXPECT_EQ(resolve_threads(n), n) << n;
}
