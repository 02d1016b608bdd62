#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>

#include "net/HTTPHeaders.h"
#include "net/TransportError.h"

namespace kavo {

struct HTTPRequest {
    std::string method = "GET";
    // Absolute URL, already percent-encoded.
    std::string url;
    HTTPHeaders headers;
    // Bytes, not necessarily text. Every method but GET and HEAD sends it with its
    // Content-Length, even when empty (a Put Blob of an empty file).
    std::string body;
    // The whole exchange, from connecting to the last byte of the answer, must fit in it.
    std::chrono::milliseconds timeout{std::chrono::seconds(60)};
    // Connecting (name lookup, TCP and TLS) must fit in it; never longer than `timeout`.
    std::chrono::milliseconds connectTimeout{std::chrono::seconds(15)};
    // An answer whose body grows past this fails with TransportError::Kind::responseTooLarge.
    std::size_t maxResponseBytes = std::size_t{64} << 20;
    // When set, the exchange also fails with TransportError::Kind::timedOut once no byte
    // has moved for this long: a dead link is caught early while `timeout` can be long
    // enough for a slow one.
    std::optional<std::chrono::milliseconds> stallTimeout;
    // Sending it twice does no harm (a GET, a PUT of the same bytes): a transport that
    // retries may do so.
    bool idempotent = false;
    // Called from the exchange's thread with the totals (bytes sent, bytes received) of
    // the body as they grow, and again for each time the request is sent anew; never
    // while a lock of the transport is held.
    std::function<void(std::int64_t, std::int64_t)> onProgress;
};

struct HTTPResponse {
    int status = 0;
    HTTPHeaders headers;
    std::string body;
};

// Every HTTP exchange of the program runs over this one operation. Implementations are
// safe to call from several threads at once, each call an exchange of its own.
class HTTPTransport {
public:
    virtual ~HTTPTransport() = default;

    // Performs the request and returns the answer whatever its status (a 404 or a 500 is
    // an answer, not an error). Throws TransportError when no answer came: no
    // connection, time-out, or `stop` requested (before or during the exchange, which is
    // then aborted); KavoAPIError::invalidResponse when what came back is not HTTP.
    virtual HTTPResponse data(const HTTPRequest& request, std::stop_token stop = {}) = 0;
};

}  // namespace kavo
