#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "upload/UploadQueue.h"

namespace kavo {
namespace {

TEST(UploadQueue, RunsJobsOneAtATimeInHandOverOrderWhateverEachTakes) {
    UploadQueue queue;
    std::mutex lock;
    std::vector<int> order;
    std::atomic<int> running{0};
    std::atomic<int> mostAtOnce{0};
    std::promise<void> releaseFirst;
    auto firstMayEnd = releaseFirst.get_future().share();
    for (int job = 0; job < 5; ++job) {
        queue.enqueue([&, job, firstMayEnd](std::stop_token) {
            mostAtOnce = std::max(mostAtOnce.load(), ++running);
            if (job == 0) firstMayEnd.wait();
            {
                std::lock_guard guard(lock);
                order.push_back(job);
            }
            --running;
            if (job == 2) throw std::runtime_error("a job that throws must not stop the next");
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    releaseFirst.set_value();
    queue.waitUntilIdle();
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_EQ(mostAtOnce.load(), 1);
}

TEST(UploadQueue, ClosingStopsTheRunningJobAndDropsTheRest) {
    std::atomic<bool> sawStop{false};
    std::atomic<bool> laterRan{false};
    std::promise<void> started;
    {
        UploadQueue queue;
        queue.enqueue([&](std::stop_token stop) {
            started.set_value();
            std::mutex m;
            std::condition_variable_any cv;
            std::unique_lock guard(m);
            cv.wait(guard, stop, [] { return false; });
            sawStop = stop.stop_requested();
        });
        queue.enqueue([&](std::stop_token) { laterRan = true; });
        started.get_future().wait();
    }
    EXPECT_TRUE(sawStop);
    EXPECT_FALSE(laterRan);
}

}  // namespace
}  // namespace kavo
