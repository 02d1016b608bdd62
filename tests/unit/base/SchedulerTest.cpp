#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>
#include <vector>

#include "base/SerialQueue.h"

namespace kavo {
namespace {

TEST(SerialQueue, RunsTasksInOrderOnOneThreadAndSyncWaits) {
    SerialQueue queue("test.queue");
    std::vector<int> order;
    std::thread::id worker;
    for (int i = 0; i < 100; ++i) {
        queue.post([&, i] {
            order.push_back(i);
            worker = std::this_thread::get_id();
        });
    }
    queue.sync([&] { EXPECT_TRUE(queue.isCurrent()); });
    ASSERT_EQ(order.size(), 100U);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
    EXPECT_NE(worker, std::this_thread::get_id());
    EXPECT_FALSE(queue.isCurrent());
    // A sync from the queue's own thread must not deadlock.
    queue.sync([&] { queue.sync([&] { order.push_back(-1); }); });
    EXPECT_EQ(order.back(), -1);
    EXPECT_THROW(queue.sync([] { throw std::runtime_error("boom"); }), std::runtime_error);
}

TEST(SerialQueue, TimersFireInRealTimeUntilCancelled) {
    SerialQueue queue("test.timers");
    std::promise<void> fired;
    std::atomic<int> repeats{0};
    auto once = queue.after(std::chrono::milliseconds(20), [&] { fired.set_value(); });
    auto repeating = queue.every(std::chrono::milliseconds(5), {}, [&] { ++repeats; });
    EXPECT_EQ(fired.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);
    while (repeats.load() < 3) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    repeating.cancel();
    queue.sync([] {});
    const int settled = repeats.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(repeats.load(), settled);
}

}  // namespace
}  // namespace kavo
