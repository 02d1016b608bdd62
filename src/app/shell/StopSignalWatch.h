#pragma once

#include <atomic>
#include <functional>
#include <thread>

namespace kavo::shell {

// Takes SIGINT and SIGTERM for a command while it waits: a thread of its own waits for
// them and calls `onStop` with the signal, once. The signals must be blocked in every
// thread (main() does so before any thread starts), so none of them dies of one.
class StopSignalWatch {
public:
    explicit StopSignalWatch(std::function<void(int signal)> onStop);
    StopSignalWatch(const StopSignalWatch&) = delete;
    StopSignalWatch& operator=(const StopSignalWatch&) = delete;
    ~StopSignalWatch() = default;

    // The signal that arrived, 0 while none has.
    int signal() const { return signal_.load(); }

private:
    std::atomic<int> signal_{0};
    std::function<void(int)> onStop_;
    // Last: it stops and joins before the members it uses go.
    std::jthread thread_;
};

}  // namespace kavo::shell
