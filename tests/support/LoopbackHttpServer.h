#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/LoopbackListener.h"

namespace kavo::testing {

// A scripted HTTP/1.1 server on 127.0.0.1 for tests that need a real peer. Connections
// are kept alive. Every request is recorded before the handler answers it, so a test can
// wait for a request and act while its answer is pending.
class LoopbackHttpServer {
public:
    using Headers = std::vector<std::pair<std::string, std::string>>;

    struct Request {
        std::string method;
        // Path and query exactly as sent ("/a/b?x=1").
        std::string target;
        Headers headers;
        std::string body;

        std::string path() const { return target.substr(0, target.find('?')); }
        std::string query() const;
        // The first header of that name, ignoring case.
        std::optional<std::string> header(std::string_view name) const;
    };

    struct Response {
        int status = 200;
        Headers headers;
        std::string body;
        // Waits this long before answering (cut short when the server stops).
        std::chrono::milliseconds delay{0};
        // Written instead of an HTTP answer, then the connection is closed.
        std::optional<std::string> raw;
        // Closes the connection without answering.
        bool dropConnection = false;

        static Response json(int status, std::string body);
        static Response text(int status, std::string body);
    };

    using Handler = std::function<Response(const Request&)>;

    // Without a handler every request is answered 404.
    explicit LoopbackHttpServer(Handler handler = {});
    ~LoopbackHttpServer() { listener_.stop(); }

    std::uint16_t port() const { return listener_.port(); }
    // "http://127.0.0.1:PORT"
    std::string baseURL() const;
    std::string url(std::string_view target) const { return baseURL() + std::string(target); }

    std::vector<Request> requests() const;
    std::size_t connectionCount() const { return listener_.connectionCount(); }
    // Waits until at least `count` requests have arrived; false on time-out.
    bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const;

private:
    void serve(int fd);

    const Handler handler_;
    mutable std::mutex lock_;
    mutable std::condition_variable arrived_;
    std::vector<Request> requests_;
    // Last, so that it stops before what its connections use goes away.
    LoopbackListener listener_;
};

}  // namespace kavo::testing
