#pragma once

#include <mutex>
#include <thread>
#include <utility>

#include "base/Scheduler.h"
#include "base/TaskTimeline.h"
#include "support/ManualClock.h"

namespace kavo {

// Simulated time: tasks, posted from any thread, run on the thread calling runUntilIdle() or
// advance(), in due order, with the clock set to each task's due time.
class ManualScheduler final : public Scheduler {
public:
    explicit ManualScheduler(ManualClock& clock) : clock_(clock), hostOrigin_(clock.hostTime()) {}

    void post(Task task) override { schedule(Duration{0}, std::move(task), Duration{0}); }
    void sync(const Task& task) override { task(); }  // runs in place
    [[nodiscard]] TimerHandle after(Duration delay, Task task) override {
        return TimerHandle(schedule(delay, std::move(task), Duration{0}));
    }
    [[nodiscard]] TimerHandle every(Duration interval, Duration, Task task) override {
        return TimerHandle(schedule(interval, std::move(task), interval));
    }
    bool isCurrent() const override {
        std::lock_guard lock(mutex_);
        return runner_ == std::thread::id{} || runner_ == std::this_thread::get_id();
    }

    // Runs every task due now, including those the tasks post. Returns how many ran.
    int runUntilIdle() { return runDue(elapsed()); }
    // Moves time forward by `by`, running each task when its time comes.
    int advance(Duration by) {
        const Duration until = elapsed() + by;
        const int ran = runDue(until);
        if (const Duration rest = until - elapsed(); rest.count() > 0) clock_.advance(rest);
        return ran;
    }
    bool hasPending() const {
        std::lock_guard lock(mutex_);
        return timeline_.nextDue().has_value();
    }

private:
    Duration elapsed() const {
        return Duration{static_cast<Duration::rep>(clock_.hostTime() - hostOrigin_)};
    }
    std::shared_ptr<std::atomic<bool>> schedule(Duration delay, Task task, Duration interval) {
        std::lock_guard lock(mutex_);
        return timeline_.add(elapsed() + delay, std::move(task), interval);
    }
    int runDue(Duration until) {
        int ran = 0;
        std::unique_lock lock(mutex_);
        const auto previousRunner = std::exchange(runner_, std::this_thread::get_id());
        while (auto due = timeline_.popDue(until)) {
            auto& [when, entry] = *due;
            // A task's sleep may already have carried the clock past this one's due time.
            if (when > elapsed()) clock_.advance(when - elapsed());
            auto task = entry.task;
            const auto cancelled = entry.cancelled;
            if (entry.interval.count() > 0) timeline_.reschedule(when, std::move(entry));
            lock.unlock();
            if (!cancelled->load(std::memory_order_acquire)) {
                task();
                ++ran;
            }
            lock.lock();
        }
        runner_ = previousRunner;
        return ran;
    }

    ManualClock& clock_;
    const std::uint64_t hostOrigin_;
    mutable std::recursive_mutex mutex_;
    TaskTimeline timeline_;
    std::thread::id runner_;
};

}  // namespace kavo
