#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace kavo::testing {

// A scripted HTTP/1.1 server on 127.0.0.1 and a free port, for tests that need a real
// peer. Each connection gets a thread of its own and may carry several requests
// (keep-alive). Every request is recorded before the handler answers it, so a test can
// wait for a request to arrive and then act while the answer is still pending.
class LoopbackHttpServer {
public:
    using Headers = std::vector<std::pair<std::string, std::string>>;

    struct Request {
        std::string method;
        // Path and query exactly as sent ("/a/b?x=1").
        std::string target;
        Headers headers;
        std::string body;
        // Which accepted connection carried it, counting from 1.
        int connection = 0;

        std::string path() const;
        // The text after '?', empty when there is none.
        std::string query() const;
        // The first header of that name, ignoring case.
        std::optional<std::string> header(std::string_view name) const;
    };

    struct Response {
        int status = 200;
        // Content-Length is added unless given here.
        Headers headers;
        std::string body;
        // Waits this long before answering (cut short when the server stops).
        std::chrono::milliseconds delay{0};
        // Written instead of an HTTP answer, then the connection is closed.
        std::optional<std::string> raw;
        // Closes the connection without answering.
        bool dropConnection = false;
        // Closes the connection after answering.
        bool closeAfter = false;

        static Response json(int status, std::string body);
        static Response text(int status, std::string body);
    };

    using Handler = std::function<Response(const Request&)>;

    // Without a handler every request is answered 404.
    explicit LoopbackHttpServer(Handler handler = {});
    LoopbackHttpServer(const LoopbackHttpServer&) = delete;
    LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;
    ~LoopbackHttpServer();

    void setHandler(Handler handler);

    std::uint16_t port() const { return port_; }
    // "http://127.0.0.1:PORT"
    std::string baseURL() const;
    // The base URL followed by `target`, which starts with '/'.
    std::string url(std::string_view target) const;

    std::vector<Request> requests() const;
    std::size_t requestCount() const;
    std::size_t connectionCount() const;
    // Waits until at least `count` requests have arrived; false on time-out.
    bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const;

    // Stops accepting, closes every connection and joins the threads. Called by the
    // destructor; calling it again does nothing.
    void stop();

private:
    void acceptLoop();
    void serve(int fd, int connection);
    Handler handler() const;
    // Sleeps for `duration` unless the server stops first.
    void pause(std::chrono::milliseconds duration);

    int listener_ = -1;
    std::uint16_t port_ = 0;
    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    bool stopping_ = false;
    Handler handler_;
    std::vector<Request> requests_;
    int connections_ = 0;
    std::set<int> openSockets_;
    std::vector<std::thread> threads_;
    std::thread acceptor_;
};

}  // namespace kavo::testing
