#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <random>
#include <thread>

#include "support/LoopbackListener.h"

namespace kavo::testing {

// A relay to another loopback port over a poor link: a bandwidth all connections share, and
// connections reset after about so many bytes. It stops by itself after `lifetime`.
class LoopbackProxy {
public:
    struct Options {
        std::uint16_t upstreamPort = 0;
        // Bytes per second in each direction; unlimited when absent.
        std::optional<std::int64_t> bytesPerSecond;
        // Give or take a quarter, chosen per connection at random from `seed`.
        std::optional<std::int64_t> resetAfterBytes;
        std::uint64_t seed = 1;
        std::chrono::seconds lifetime{1800};
    };

    explicit LoopbackProxy(Options options);
    ~LoopbackProxy();

    std::uint16_t port() const { return listener_.port(); }
    std::int64_t connectionsReset() const { return resets_; }
    // HTTP requests seen going towards the server, counted by their request lines.
    std::int64_t requestsSeen() const { return requests_; }

private:
    using Steady = std::chrono::steady_clock;

    void relay(int client);
    // Waits until `bytes` may pass that way; false when the proxy stops first.
    bool take(Steady::time_point& nextFree, std::size_t bytes);

    const Options options_;
    std::mutex lock_;
    std::mt19937_64 random_;
    Steady::time_point toServer_{};
    Steady::time_point toClient_{};
    std::atomic<std::int64_t> resets_{0};
    std::atomic<std::int64_t> requests_{0};
    LoopbackListener listener_;
    std::thread timer_;
};

}  // namespace kavo::testing
