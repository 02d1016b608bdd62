#pragma once

#include <memory>

#include "base/Scheduler.h"

class QObject;

namespace kavo {

// The main scheduler of the tray application: tasks run on the Qt event loop of the
// thread that constructs it (the GUI thread, after the QApplication exists). Destroying
// it, on that thread and once no other thread can still post to it, drops every task and
// timer still pending.
class QtMainScheduler final : public Scheduler {
public:
    QtMainScheduler();
    QtMainScheduler(const QtMainScheduler&) = delete;
    QtMainScheduler& operator=(const QtMainScheduler&) = delete;
    ~QtMainScheduler() override;

    // Safe from any thread.
    void post(Task task) override;
    // From another thread, blocks until the event loop has run `task` (rethrowing what it
    // threw); the loop must be running. On the GUI thread, runs it in place.
    void sync(const Task& task) override;
    [[nodiscard]] TimerHandle after(Duration delay, Task task) override;
    [[nodiscard]] TimerHandle every(Duration interval, Duration leeway, Task task) override;
    bool isCurrent() const override;

private:
    // Receiver of the queued calls and parent of the timers; deleting it cancels both.
    std::unique_ptr<QObject> context_;
};

}  // namespace kavo
