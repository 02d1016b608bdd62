#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "base/Scheduler.h"
#include "base/TaskTimeline.h"

namespace kavo {

// A scheduler whose tasks run on whichever thread calls run(), in real (steady) time:
// the main loop of the command line and of tests; SerialQueue runs one on its own thread.
class MainLoop final : public Scheduler {
public:
    explicit MainLoop(std::string label = "main");
    MainLoop(const MainLoop&) = delete;
    MainLoop& operator=(const MainLoop&) = delete;
    ~MainLoop() override = default;

    // Runs tasks until quit(); tasks still pending then are dropped.
    void run();
    void quit();

    void post(Task task) override;
    void sync(const Task& task) override;
    [[nodiscard]] TimerHandle after(Duration delay, Task task) override;
    [[nodiscard]] TimerHandle every(Duration interval, Duration leeway, Task task) override;
    bool isCurrent() const override;

    const std::string& label() const { return label_; }

private:
    std::shared_ptr<std::atomic<bool>> schedule(Duration delay, Task task, Duration interval);

    const std::string label_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    TaskTimeline timeline_;
    bool quitting_ = false;
    std::thread::id runner_;
};

}  // namespace kavo
