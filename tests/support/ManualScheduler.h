#pragma once

#include <mutex>
#include <thread>

#include "base/Scheduler.h"
#include "base/TaskTimeline.h"
#include "support/ManualClock.h"

namespace kavo {

// A scheduler in simulated time. Nothing runs until the test calls
// runUntilIdle() or advance(); tasks then run on the calling thread, in due order, with
// the clock set to each task's due time. Tasks may be posted from any thread.
class ManualScheduler final : public Scheduler {
public:
    explicit ManualScheduler(ManualClock& clock);

    void post(Task task) override;
    void sync(const Task& task) override;  // runs in place
    [[nodiscard]] TimerHandle after(Duration delay, Task task) override;
    [[nodiscard]] TimerHandle every(Duration interval, Duration leeway, Task task) override;
    bool isCurrent() const override;

    // Runs every task due now, including those the tasks post. Returns how many ran.
    int runUntilIdle();
    // Moves time forward by `by`, running each task when its time comes.
    int advance(Duration by);
    bool hasPending() const;

    ManualClock& clock() { return clock_; }

private:
    Duration elapsed() const;
    std::shared_ptr<std::atomic<bool>> schedule(Duration delay, Task task, Duration interval);
    int runDue(Duration until);

    ManualClock& clock_;
    const std::uint64_t hostOrigin_;
    mutable std::recursive_mutex mutex_;
    TaskTimeline timeline_;
    std::thread::id runner_;
};

}  // namespace kavo
