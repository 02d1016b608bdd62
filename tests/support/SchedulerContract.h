#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/Scheduler.h"

namespace kavo::testing {

// What every real scheduler promises. `Rig` owns one as `scheduler` and has
// `waitFor(done, timeout)`, which keeps the scheduler running (its event loop, where it
// has one) until `done` holds or `timeout` passes.
template <typename Rig>
class SchedulerContract : public ::testing::Test {
protected:
    bool waitFor(const std::function<bool()>& done,
                 std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        return rig.waitFor(done, timeout);
    }
    Rig rig;
};
TYPED_TEST_SUITE_P(SchedulerContract);

TYPED_TEST_P(SchedulerContract, TasksFromAnyThreadRunOnItsThreadInTheirOrder) {
    Scheduler& scheduler = this->rig.scheduler;
    std::mutex mutex;
    std::vector<int> ran;
    std::atomic<bool> allCurrent = true;
    std::thread([&] {
        EXPECT_FALSE(scheduler.isCurrent());
        for (int i = 0; i < 200; ++i) {
            scheduler.post([&, i] {
                allCurrent = allCurrent && scheduler.isCurrent();
                const std::lock_guard lock(mutex);
                ran.push_back(i);
            });
        }
    }).join();
    ASSERT_TRUE(this->waitFor([&] {
        const std::lock_guard lock(mutex);
        return ran.size() == 200;
    }));
    for (int i = 0; i < 200; ++i) EXPECT_EQ(ran[i], i);
    EXPECT_TRUE(allCurrent);
}

TYPED_TEST_P(SchedulerContract, SyncWaitsRethrowsAndRunsInPlaceOnItsOwnThread) {
    Scheduler& scheduler = this->rig.scheduler;
    bool onItsThread = false;
    std::atomic<bool> nested = false;
    const auto refuse = [&] {
        onItsThread = scheduler.isCurrent();
        throw std::runtime_error("refused");
    };
    std::thread caller([&] {
        EXPECT_THROW(scheduler.sync(refuse), std::runtime_error);
        // Waiting for itself would never end.
        scheduler.post([&] { scheduler.sync([&] { nested = scheduler.isCurrent(); }); });
    });
    EXPECT_TRUE(this->waitFor([&] { return nested.load(); }));
    caller.join();
    EXPECT_TRUE(onItsThread);
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
    {
        const TimerHandle dropped = scheduler.after(20ms, [&] { ++stopped; });
    }
    toCancel.cancel();
    EXPECT_FALSE(toCancel.isActive());
    TimerHandle repeating;
    // Asked for on its own thread, so that it cannot fire before it is held.
    scheduler.sync([&] {
        repeating = scheduler.every(10ms, 0ms, [&] {
            if (++firings == 3) repeating.cancel();
        });
    });
    // Asked for and cancelled on another thread.
    std::thread([&] { scheduler.after(1ms, [&] { ++stopped; }).cancel(); }).join();

    ASSERT_TRUE(this->waitFor([&] {
        return firedAfter.load() != std::chrono::steady_clock::duration{} && firings >= 3;
    }));
    EXPECT_GE(firedAfter.load(), 40ms);
    this->waitFor([] { return false; }, 60ms);
    EXPECT_EQ(stopped, 0);
    EXPECT_EQ(firings, 3);
}

REGISTER_TYPED_TEST_SUITE_P(SchedulerContract, TasksFromAnyThreadRunOnItsThreadInTheirOrder,
                            SyncWaitsRethrowsAndRunsInPlaceOnItsOwnThread,
                            TimersFireAfterTheirDelayUntilCancelledOrDropped);

}  // namespace kavo::testing
