#include "net/RetryingTransport.h"

#include <algorithm>
#include <charconv>
#include <exception>
#include <string_view>

#include "net/TransportError.h"

namespace kavo {

namespace {

bool isPassingTrouble(const TransportError& error) {
    using Kind = TransportError::Kind;
    switch (error.kind()) {
        case Kind::cannotConnect:
        case Kind::timedOut:
        case Kind::connectionLost:
        case Kind::other:
            return true;
        case Kind::cancelled:
        case Kind::secureConnectionFailed:
        case Kind::badURL:
        case Kind::responseTooLarge:
            break;
    }
    return false;
}

// The URL without its query: storage URLs carry their signature there.
std::string_view withoutQuery(std::string_view url) {
    return url.substr(0, url.find('?'));
}

}  // namespace

RetryingTransport::RetryingTransport(std::shared_ptr<HTTPTransport> inner, const Clock& clock,
                                     Policy policy, std::uint64_t seed)
    : inner_(std::move(inner)), clock_(&clock), policy_(policy), random_(seed) {}

RetryingTransport::RetryingTransport(std::shared_ptr<HTTPTransport> inner, const Clock& clock)
    : RetryingTransport(std::move(inner), clock, Policy{}, std::random_device{}()) {}

bool RetryingTransport::isRetryableStatus(int status) {
    return status == 408 || status == 429 || status == 500 || status == 502 || status == 503 ||
           status == 504;
}

std::optional<Duration> RetryingTransport::retryAfter(const HTTPHeaders& headers) {
    const auto value = headers.get("Retry-After");
    if (!value) return std::nullopt;
    const std::string_view text = *value;
    std::int64_t seconds = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    if (error != std::errc() || end != text.data() + text.size() || seconds < 0)
        return std::nullopt;
    return std::chrono::seconds(seconds);
}

std::int64_t RetryingTransport::retriesMade() const {
    const std::lock_guard guard(lock_);
    return retries_;
}

Duration RetryingTransport::backoff(int retry) {
    const double ceiling = std::min(
        std::chrono::duration<double>(policy_.firstDelay).count() * static_cast<double>(1 << retry),
        std::chrono::duration<double>(policy_.maxDelay).count());
    // Between half and all of the ceiling, so that clients that failed together do not
    // come back together.
    const std::lock_guard guard(lock_);
    ++retries_;
    return seconds(ceiling * std::uniform_real_distribution<double>(0.5, 1.0)(random_));
}

HTTPResponse RetryingTransport::data(const HTTPRequest& request, std::stop_token stop) {
    if (!request.idempotent) return inner_->data(request, stop);
    for (int retry = 0;; ++retry) {
        const bool last = retry == policy_.maxRetries;
        Duration wait{};
        std::string reason;
        try {
            HTTPResponse response = inner_->data(request, stop);
            if (last || !isRetryableStatus(response.status)) return response;
            const auto asked = retryAfter(response.headers);
            if (asked && *asked > policy_.maxRetryAfter) return response;
            wait = backoff(retry);
            if (asked) wait = *asked;
            reason = "HTTP " + std::to_string(response.status);
        } catch (const TransportError& error) {
            if (last || !isPassingTrouble(error) || stop.stop_requested()) throw;
            wait = backoff(retry);
            // A connection that broke off is replaced by a fresh one at once the first time;
            // nothing says the server needs a pause.
            if (retry == 0 && error.kind() == TransportError::Kind::connectionLost) wait = {};
            reason = error.description();
        }
        log_.notice("{} {} again in {} ms ({}), retry {} of {}", request.method,
                    withoutQuery(request.url),
                    std::chrono::duration_cast<std::chrono::milliseconds>(wait).count(), reason,
                    retry + 1, policy_.maxRetries);
        if (wait > Duration::zero() && !clock_->sleepFor(wait, stop))
            throw TransportError(TransportError::Kind::cancelled);
    }
}

}  // namespace kavo
