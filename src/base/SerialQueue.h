#pragma once

#include <string>
#include <thread>

#include "base/MainLoop.h"

namespace kavo {

// A serial queue with its own worker thread: the control queues of the capture session,
// the mixer, the system tap and the conference monitor. Destroying it drops what has not
// started and waits for the task under way.
class SerialQueue final : public Scheduler {
public:
    explicit SerialQueue(std::string label);
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;
    ~SerialQueue() override;

    void post(Task task) override { loop_.post(std::move(task)); }
    void sync(const Task& task) override { loop_.sync(task); }
    [[nodiscard]] TimerHandle after(Duration delay, Task task) override {
        return loop_.after(delay, std::move(task));
    }
    [[nodiscard]] TimerHandle every(Duration interval, Duration leeway, Task task) override {
        return loop_.every(interval, leeway, std::move(task));
    }
    bool isCurrent() const override { return loop_.isCurrent(); }

    const std::string& label() const { return loop_.label(); }

private:
    MainLoop loop_;
    std::thread worker_;
};

}  // namespace kavo
