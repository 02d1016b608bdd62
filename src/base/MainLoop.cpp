#include "base/MainLoop.h"

namespace kavo {
namespace {

Duration steadyNow() {
    return std::chrono::steady_clock::now().time_since_epoch();
}

}  // namespace

MainLoop::MainLoop(std::string label) : label_(std::move(label)) {}

void MainLoop::run() {
    std::unique_lock lock(mutex_);
    runner_ = std::this_thread::get_id();
    while (!quitting_) {
        if (auto due = timeline_.popDue(steadyNow())) {
            auto& [when, entry] = *due;
            auto task = entry.task;
            const auto cancelled = entry.cancelled;
            if (entry.interval.count() > 0) timeline_.reschedule(when, std::move(entry));
            lock.unlock();
            if (!cancelled->load(std::memory_order_acquire)) task();
            lock.lock();
            continue;
        }
        if (const auto next = timeline_.nextDue()) {
            wake_.wait_until(
                lock, std::chrono::steady_clock::time_point{
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(*next)});
        } else {
            wake_.wait(lock);
        }
    }
    timeline_.clear();
    runner_ = {};
    quitting_ = false;
}

void MainLoop::quit() {
    std::lock_guard lock(mutex_);
    quitting_ = true;
    wake_.notify_all();
}

void MainLoop::post(Task task) {
    schedule(Duration{0}, std::move(task), Duration{0});
}

void MainLoop::sync(const Task& task) {
    postAndWait(task);
}

TimerHandle MainLoop::after(Duration delay, Task task) {
    return TimerHandle(schedule(delay, std::move(task), Duration{0}));
}

TimerHandle MainLoop::every(Duration interval, Duration /*leeway*/, Task task) {
    return TimerHandle(schedule(interval, std::move(task), interval));
}

bool MainLoop::isCurrent() const {
    std::lock_guard lock(mutex_);
    return runner_ == std::this_thread::get_id();
}

std::shared_ptr<std::atomic<bool>> MainLoop::schedule(Duration delay, Task task,
                                                      Duration interval) {
    std::lock_guard lock(mutex_);
    auto cancelled = timeline_.add(steadyNow() + delay, std::move(task), interval);
    wake_.notify_all();
    return cancelled;
}

}  // namespace kavo
