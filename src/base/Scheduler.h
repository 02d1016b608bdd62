#pragma once

#include <atomic>
#include <functional>
#include <memory>

#include "base/Clock.h"

namespace kavo {

// A scheduled one-shot or repeating task. Cancels it when dropped, so a component that
// owns its timers cannot be called back after it is gone. Cancelling from the
// scheduler's own thread is exact; from elsewhere a firing already under way completes.
class TimerHandle {
public:
    TimerHandle() = default;
    explicit TimerHandle(std::shared_ptr<std::atomic<bool>> cancelled);
    TimerHandle(TimerHandle&& other) noexcept = default;
    TimerHandle& operator=(TimerHandle&& other) noexcept;
    TimerHandle(const TimerHandle&) = delete;
    TimerHandle& operator=(const TimerHandle&) = delete;
    ~TimerHandle();

    void cancel();
    bool isActive() const;

private:
    std::shared_ptr<std::atomic<bool>> cancelled_;
};

// A serial executor with timers: every task of one scheduler runs on one thread at a
// time, in the order it became due.
class Scheduler {
public:
    using Task = std::function<void()>;

    virtual ~Scheduler() = default;

    virtual void post(Task task) = 0;
    // Runs `task` on the scheduler and waits for it; runs it in place when called from
    // the scheduler's own thread.
    virtual void sync(const Task& task) = 0;
    [[nodiscard]] virtual TimerHandle after(Duration delay, Task task) = 0;
    // First firing one interval from now. `leeway` lets a real timer coalesce wake-ups.
    [[nodiscard]] virtual TimerHandle every(Duration interval, Duration leeway, Task task) = 0;
    virtual bool isCurrent() const = 0;

protected:
    // sync() for a scheduler that runs what post() hands it on its own thread: in place
    // there, otherwise posted and waited for, rethrowing what the task threw.
    void postAndWait(const Task& task);
};

}  // namespace kavo
