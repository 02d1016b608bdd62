#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <random>

#include "base/Clock.h"
#include "base/Log.h"
#include "net/HTTPTransport.h"

namespace kavo {

// Sends a request marked idempotent again, a few times and soon, when it met passing
// trouble: no connection, a broken or timed-out exchange, or an answer of 408, 429, 500,
// 502, 503 or 504. Waits double from one retry to the next with random jitter (a broken
// connection is first replaced at once), or last as long as the server's Retry-After asks; they go
// through the clock, so tests run them in simulated time. Other requests, and whatever is left
// after the last retry, reach the caller unchanged: its own, slower schedule takes over from there.
class RetryingTransport final : public HTTPTransport {
public:
    struct Policy {
        int maxRetries = 3;
        Duration firstDelay = std::chrono::milliseconds(200);
        Duration maxDelay = std::chrono::seconds(8);
        // A server asking for a longer pause than this is answered by the caller's
        // schedule, not by holding the request here.
        Duration maxRetryAfter = std::chrono::seconds(30);
    };

    RetryingTransport(std::shared_ptr<HTTPTransport> inner, const Clock& clock, Policy policy,
                      std::uint64_t seed);
    RetryingTransport(std::shared_ptr<HTTPTransport> inner, const Clock& clock);

    HTTPResponse data(const HTTPRequest& request, std::stop_token stop = {}) override;

    // Requests sent again so far.
    std::int64_t retriesMade() const;

    static bool isRetryableStatus(int status);
    // The delta-seconds of a Retry-After field.
    static std::optional<Duration> retryAfter(const HTTPHeaders& headers);

private:
    Duration backoff(int retry);

    std::shared_ptr<HTTPTransport> inner_;
    const Clock* clock_;
    const Policy policy_;
    mutable std::mutex lock_;
    std::mt19937_64 random_;
    std::int64_t retries_ = 0;
    Logger log_{"RetryingTransport"};
};

}  // namespace kavo
