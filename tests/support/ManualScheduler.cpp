#include "support/ManualScheduler.h"

namespace kavo {

ManualScheduler::ManualScheduler(ManualClock& clock)
    : clock_(clock), hostOrigin_(clock.hostTime()) {}

Duration ManualScheduler::elapsed() const {
    return Duration{static_cast<Duration::rep>(clock_.hostTime() - hostOrigin_)};
}

void ManualScheduler::post(Task task) {
    schedule(Duration{0}, std::move(task), Duration{0});
}

void ManualScheduler::sync(const Task& task) {
    task();
}

TimerHandle ManualScheduler::after(Duration delay, Task task) {
    return TimerHandle(schedule(delay, std::move(task), Duration{0}));
}

TimerHandle ManualScheduler::every(Duration interval, Duration /*leeway*/, Task task) {
    return TimerHandle(schedule(interval, std::move(task), interval));
}

bool ManualScheduler::isCurrent() const {
    std::lock_guard lock(mutex_);
    return runner_ == std::thread::id{} || runner_ == std::this_thread::get_id();
}

std::shared_ptr<std::atomic<bool>> ManualScheduler::schedule(Duration delay, Task task,
                                                             Duration interval) {
    std::lock_guard lock(mutex_);
    return timeline_.add(elapsed() + delay, std::move(task), interval);
}

int ManualScheduler::runUntilIdle() {
    return runDue(elapsed());
}

int ManualScheduler::advance(Duration by) {
    const Duration until = elapsed() + by;
    const int ran = runDue(until);
    const Duration rest = until - elapsed();
    if (rest.count() > 0) clock_.advance(rest);
    return ran;
}

int ManualScheduler::runDue(Duration until) {
    int ran = 0;
    std::unique_lock lock(mutex_);
    const auto previousRunner = runner_;
    runner_ = std::this_thread::get_id();
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

bool ManualScheduler::hasPending() const {
    std::lock_guard lock(mutex_);
    return timeline_.nextDue().has_value();
}

}  // namespace kavo
