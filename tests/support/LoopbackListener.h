#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string_view>
#include <thread>
#include <vector>

#include "base/PosixFileIO.h"

namespace kavo::testing {

// Hands each connection to a free loopback port to `serve` on a thread of its own. Stopping
// shuts every accepted socket down, so that no connection thread stays blocked.
class LoopbackListener {
public:
    using Serve = std::function<void(int fd)>;

    // A non-zero `receiveBuffer` bounds what the kernel takes in before `serve` reads it.
    explicit LoopbackListener(Serve serve, int receiveBuffer = 0);
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;
    ~LoopbackListener();

    std::uint16_t port() const { return port_; }

    // Waits `duration` or until the listener stops; false when it stopped.
    bool pause(std::chrono::steady_clock::duration duration);
    bool stopping() const;
    // Idempotent; the destructor calls it.
    void stop();

    static bool sendAll(int fd, std::string_view data);

private:
    void acceptLoop();

    Serve serve_;
    FileDescriptor listener_;
    std::uint16_t port_ = 0;
    mutable std::mutex lock_;
    std::condition_variable stopped_;
    bool stopping_ = false;
    std::set<int> open_;
    std::vector<std::thread> threads_;
    std::thread acceptor_;
};

}  // namespace kavo::testing
