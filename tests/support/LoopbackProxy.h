#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <thread>
#include <vector>

namespace kavo::testing {

// A TCP relay on 127.0.0.1 and a free port to a server on another loopback port, that
// makes the link between them a poor one: a shared bandwidth (each direction), and
// connections reset after they carried about so many bytes towards the server. Clients
// use it by putting its port in the server's URLs. It stops by itself after `lifetime`
// (or when destroyed), and relays at most `maxConnections` connections at once.
class LoopbackProxy {
public:
    struct Options {
        std::uint16_t upstreamPort = 0;
        // Bytes per second in each direction, shared by all connections; none when absent.
        std::optional<std::int64_t> bytesPerSecond;
        // A connection is reset once it carried this many bytes towards the server, give
        // or take a quarter (chosen at random per connection, from `seed`).
        std::optional<std::int64_t> resetAfterBytes;
        std::uint64_t seed = 1;
        std::chrono::seconds lifetime{1800};
        std::size_t maxConnections = 64;
    };

    explicit LoopbackProxy(Options options);
    LoopbackProxy(const LoopbackProxy&) = delete;
    LoopbackProxy& operator=(const LoopbackProxy&) = delete;
    ~LoopbackProxy();

    std::uint16_t port() const { return port_; }

    std::int64_t connectionsAccepted() const;
    std::int64_t connectionsReset() const;
    // HTTP requests seen going towards the server (counted by their request lines).
    std::int64_t requestsSeen() const;
    std::int64_t bytesToServer() const;

    // Stops accepting and closes every connection; called by the destructor and when
    // the lifetime is over.
    void stop();

private:
    // One direction of the link's bandwidth.
    struct Pace {
        std::chrono::steady_clock::time_point nextFree{};
    };

    void acceptLoop();
    void relay(int client, std::int64_t resetAfter);
    // Waits until `bytes` may pass in that direction; false when the proxy stops first.
    bool take(Pace& pace, std::size_t bytes);
    void countRequests(std::vector<char>& tail, const char* data, std::size_t size);

    const Options options_;
    int listener_ = -1;
    std::uint16_t port_ = 0;
    mutable std::mutex lock_;
    std::condition_variable stopped_;
    bool stopping_ = false;
    std::mt19937_64 random_;
    Pace toServer_;
    Pace toClient_;
    std::int64_t accepted_ = 0;
    std::int64_t resets_ = 0;
    std::int64_t requests_ = 0;
    std::int64_t bytesToServer_ = 0;
    std::set<int> openSockets_;
    std::vector<std::thread> threads_;
    std::thread acceptor_;
    std::thread timer_;
};

}  // namespace kavo::testing
