#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "base/Scheduler.h"

namespace kavo::testing {

// What every real scheduler promises. `Rig` owns one as `scheduler`; `pump()` runs it a moment.
template <typename Rig>
class SchedulerContract : public ::testing::Test {
protected:
    bool waitFor(const std::function<bool()>& done,
                 std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!done()) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            rig.pump();
        }
        return true;
    }
    Rig rig;
};
TYPED_TEST_SUITE_P(SchedulerContract);

TYPED_TEST_P(SchedulerContract, TasksFromAnyThreadRunInOrderOnItsThreadAndSyncWaitsOrRunsInPlace) {
    Scheduler& scheduler = this->rig.scheduler;
    std::vector<int> ran;  // read once the last task has run
    std::atomic<bool> allCurrent = true, syncOnItsThread = false, nested = false;
    const auto refuse = [&] {
        syncOnItsThread = scheduler.isCurrent();
        throw std::runtime_error("refused");
    };
    std::thread caller([&] {
        EXPECT_FALSE(scheduler.isCurrent());
        for (int i = 0; i < 200; ++i) {
            scheduler.post([&, i] {
                allCurrent = allCurrent && scheduler.isCurrent();
                ran.push_back(i);
            });
        }
        EXPECT_THROW(scheduler.sync(refuse), std::runtime_error);
        // Waiting for itself would never end.
        scheduler.post([&] { scheduler.sync([&] { nested = scheduler.isCurrent(); }); });
    });
    EXPECT_TRUE(this->waitFor([&] { return nested.load(); }));
    caller.join();
    ASSERT_EQ(ran.size(), 200u);
    for (int i = 0; i < 200; ++i) EXPECT_EQ(ran[i], i);
    EXPECT_TRUE(allCurrent);
    EXPECT_TRUE(syncOnItsThread);
}

TYPED_TEST_P(SchedulerContract, TimersFireAfterTheirDelayUntilCancelledOrDropped) {
    using namespace std::chrono_literals;
    Scheduler& scheduler = this->rig.scheduler;
    const auto start = std::chrono::steady_clock::now();
    std::atomic<std::chrono::steady_clock::duration> firedAfter{};
    std::atomic<int> stopped = 0, firings = 0;
    const TimerHandle kept =
        scheduler.after(40ms, [&] { firedAfter = std::chrono::steady_clock::now() - start; });
    TimerHandle toCancel = scheduler.after(20ms, [&] { ++stopped; });
    static_cast<void>(scheduler.after(20ms, [&] { ++stopped; }));  // dropped at once
    toCancel.cancel();
    TimerHandle repeating;
    // Asked for on its own thread, so that it cannot fire before it is held.
    scheduler.sync([&] {
        repeating = scheduler.every(10ms, 0ms, [&] {
            if (++firings == 3) repeating.cancel();
        });
    });
    std::thread([&] { scheduler.after(1ms, [&] { ++stopped; }).cancel(); }).join();

    ASSERT_TRUE(this->waitFor([&] {
        return firedAfter.load() != std::chrono::steady_clock::duration{} && firings >= 3;
    }));
    EXPECT_GE(firedAfter.load(), 40ms);
    this->waitFor([] { return false; }, 60ms);
    EXPECT_EQ(stopped, 0);
    EXPECT_EQ(firings, 3);
}

REGISTER_TYPED_TEST_SUITE_P(SchedulerContract,
                            TasksFromAnyThreadRunInOrderOnItsThreadAndSyncWaitsOrRunsInPlace,
                            TimersFireAfterTheirDelayUntilCancelledOrDropped);

}  // namespace kavo::testing
