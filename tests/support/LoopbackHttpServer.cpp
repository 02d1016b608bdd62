#include "support/LoopbackHttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <stdexcept>
#include <string>
#include <system_error>

namespace kavo::testing {

namespace {

bool namesEqual(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::optional<std::string> find(const LoopbackHttpServer::Headers& headers, std::string_view name) {
    for (const auto& [key, value] : headers) {
        if (namesEqual(key, name)) {
            return value;
        }
    }
    return std::nullopt;
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

std::string_view reasonPhrase(int status) {
    switch (status) {
        case 100:
            return "Continue";
        case 200:
            return "OK";
        case 201:
            return "Created";
        case 202:
            return "Accepted";
        case 204:
            return "No Content";
        case 301:
            return "Moved Permanently";
        case 302:
            return "Found";
        case 307:
            return "Temporary Redirect";
        case 400:
            return "Bad Request";
        case 401:
            return "Unauthorized";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 408:
            return "Request Timeout";
        case 409:
            return "Conflict";
        case 422:
            return "Unprocessable Entity";
        case 429:
            return "Too Many Requests";
        case 500:
            return "Internal Server Error";
        case 502:
            return "Bad Gateway";
        case 503:
            return "Service Unavailable";
        default:
            return "Status";
    }
}

bool sendAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t sent = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        data.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

// Buffered reads from one connection.
class Reader {
public:
    explicit Reader(int fd) : fd_(fd) {}

    // The bytes up to and without `delimiter`; nothing when the peer closed first.
    std::optional<std::string> until(std::string_view delimiter, std::size_t limit) {
        while (true) {
            if (const auto at = buffer_.find(delimiter); at != std::string::npos) {
                std::string part = buffer_.substr(0, at);
                buffer_.erase(0, at + delimiter.size());
                return part;
            }
            if (buffer_.size() > limit || !fill()) return std::nullopt;
        }
    }

    std::optional<std::string> exactly(std::size_t count) {
        while (buffer_.size() < count) {
            if (!fill()) return std::nullopt;
        }
        std::string part = buffer_.substr(0, count);
        buffer_.erase(0, count);
        return part;
    }

private:
    bool fill() {
        char chunk[65536];
        while (true) {
            const ssize_t received = ::recv(fd_, chunk, sizeof chunk, 0);
            if (received < 0 && errno == EINTR) continue;
            if (received <= 0) return false;
            buffer_.append(chunk, static_cast<std::size_t>(received));
            return true;
        }
    }

    int fd_;
    std::string buffer_;
};

constexpr std::size_t kMaxHeaderBytes = 1 << 16;

std::optional<std::string> readChunkedBody(Reader& reader) {
    std::string body;
    while (true) {
        const auto sizeLine = reader.until("\r\n", kMaxHeaderBytes);
        if (!sizeLine) return std::nullopt;
        std::size_t size = 0;
        try {
            size = std::stoul(*sizeLine, nullptr, 16);
        } catch (const std::exception&) {
            return std::nullopt;
        }
        if (size == 0) {
            // Trailer fields, then the empty line.
            while (true) {
                const auto trailer = reader.until("\r\n", kMaxHeaderBytes);
                if (!trailer) return std::nullopt;
                if (trailer->empty()) return body;
            }
        }
        const auto chunk = reader.exactly(size);
        if (!chunk || !reader.exactly(2)) return std::nullopt;
        body += *chunk;
    }
}

}  // namespace

std::string LoopbackHttpServer::Request::path() const {
    return target.substr(0, target.find('?'));
}

std::string LoopbackHttpServer::Request::query() const {
    const auto at = target.find('?');
    return at == std::string::npos ? std::string() : target.substr(at + 1);
}

std::optional<std::string> LoopbackHttpServer::Request::header(std::string_view name) const {
    return find(headers, name);
}

LoopbackHttpServer::Response LoopbackHttpServer::Response::json(int status, std::string body) {
    Response response;
    response.status = status;
    response.headers = {{"Content-Type", "application/json"}};
    response.body = std::move(body);
    return response;
}

LoopbackHttpServer::Response LoopbackHttpServer::Response::text(int status, std::string body) {
    Response response;
    response.status = status;
    response.headers = {{"Content-Type", "text/plain; charset=utf-8"}};
    response.body = std::move(body);
    return response;
}

LoopbackHttpServer::LoopbackHttpServer(Handler handler) : handler_(std::move(handler)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0) {
        throw std::system_error(errno, std::generic_category(), "socket");
    }
    const int yes = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 64) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        const int error = errno;
        ::close(listener_);
        throw std::system_error(error, std::generic_category(), "bind/listen on 127.0.0.1");
    }
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { acceptLoop(); });
}

LoopbackHttpServer::~LoopbackHttpServer() {
    stop();
}

void LoopbackHttpServer::stop() {
    std::vector<std::thread> threads;
    {
        std::lock_guard guard(lock_);
        if (stopping_) return;
        stopping_ = true;
        ::shutdown(listener_, SHUT_RDWR);
        for (const int fd : openSockets_) {
            ::shutdown(fd, SHUT_RDWR);
        }
    }
    changed_.notify_all();
    acceptor_.join();
    {
        std::lock_guard guard(lock_);
        threads.swap(threads_);
    }
    for (auto& thread : threads) {
        thread.join();
    }
    ::close(listener_);
}

void LoopbackHttpServer::setHandler(Handler handler) {
    std::lock_guard guard(lock_);
    handler_ = std::move(handler);
}

LoopbackHttpServer::Handler LoopbackHttpServer::handler() const {
    std::lock_guard guard(lock_);
    return handler_;
}

std::string LoopbackHttpServer::baseURL() const {
    return "http://127.0.0.1:" + std::to_string(port_);
}

std::string LoopbackHttpServer::url(std::string_view target) const {
    return baseURL() + std::string(target);
}

std::vector<LoopbackHttpServer::Request> LoopbackHttpServer::requests() const {
    std::lock_guard guard(lock_);
    return requests_;
}

std::size_t LoopbackHttpServer::requestCount() const {
    std::lock_guard guard(lock_);
    return requests_.size();
}

std::size_t LoopbackHttpServer::connectionCount() const {
    std::lock_guard guard(lock_);
    return static_cast<std::size_t>(connections_);
}

bool LoopbackHttpServer::waitForRequests(std::size_t count,
                                         std::chrono::milliseconds timeout) const {
    std::unique_lock guard(lock_);
    return changed_.wait_for(guard, timeout, [&] { return requests_.size() >= count; });
}

void LoopbackHttpServer::pause(std::chrono::milliseconds duration) {
    std::unique_lock guard(lock_);
    changed_.wait_for(guard, duration, [&] { return stopping_; });
}

void LoopbackHttpServer::acceptLoop() {
    while (true) {
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        std::lock_guard guard(lock_);
        if (stopping_) {
            if (fd >= 0) ::close(fd);
            return;
        }
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            return;
        }
        const int connection = ++connections_;
        openSockets_.insert(fd);
        threads_.emplace_back([this, fd, connection] { serve(fd, connection); });
    }
}

void LoopbackHttpServer::serve(int fd, int connection) {
    Reader reader(fd);
    while (true) {
        const auto head = reader.until("\r\n\r\n", kMaxHeaderBytes);
        if (!head) break;

        Request request;
        request.connection = connection;
        std::string_view lines(*head);
        const auto firstEnd = std::min(lines.find("\r\n"), lines.size());
        const std::string_view requestLine = lines.substr(0, firstEnd);
        const auto space1 = requestLine.find(' ');
        const auto space2 = requestLine.rfind(' ');
        if (space1 == std::string_view::npos || space2 == space1) break;
        request.method = std::string(requestLine.substr(0, space1));
        request.target = std::string(requestLine.substr(space1 + 1, space2 - space1 - 1));
        lines.remove_prefix(std::min(firstEnd + 2, lines.size()));
        while (!lines.empty()) {
            const auto end = std::min(lines.find("\r\n"), lines.size());
            const std::string_view line = lines.substr(0, end);
            if (const auto colon = line.find(':'); colon != std::string_view::npos) {
                request.headers.emplace_back(std::string(trimmed(line.substr(0, colon))),
                                             std::string(trimmed(line.substr(colon + 1))));
            }
            lines.remove_prefix(std::min(end + 2, lines.size()));
        }

        if (const auto expect = request.header("Expect");
            expect && namesEqual(*expect, "100-continue")) {
            if (!sendAll(fd, "HTTP/1.1 100 Continue\r\n\r\n")) break;
        }
        if (const auto encoding = request.header("Transfer-Encoding");
            encoding && namesEqual(*encoding, "chunked")) {
            const auto body = readChunkedBody(reader);
            if (!body) break;
            request.body = *body;
        } else if (const auto length = request.header("Content-Length")) {
            std::size_t size = 0;
            try {
                size = std::stoul(*length);
            } catch (const std::exception&) {
                break;
            }
            const auto body = reader.exactly(size);
            if (!body) break;
            request.body = *body;
        }

        {
            std::lock_guard guard(lock_);
            requests_.push_back(request);
        }
        changed_.notify_all();

        const Handler answer = handler();
        Response response;
        try {
            response = answer ? answer(request) : Response::text(404, "no handler");
        } catch (const std::exception& error) {
            response = Response::text(500, std::string("handler failed: ") + error.what());
        }
        if (response.delay.count() > 0) pause(response.delay);
        {
            std::lock_guard guard(lock_);
            if (stopping_) break;
        }
        if (response.dropConnection) break;
        if (response.raw) {
            sendAll(fd, *response.raw);
            break;
        }

        std::string out = "HTTP/1.1 " + std::to_string(response.status) + " " +
                          std::string(reasonPhrase(response.status)) + "\r\n";
        for (const auto& [name, value] : response.headers) {
            out += name + ": " + value + "\r\n";
        }
        if (!find(response.headers, "Content-Length")) {
            out += "Content-Length: " + std::to_string(response.body.size()) + "\r\n";
        }
        const auto connectionHeader = request.header("Connection");
        const bool closing =
            response.closeAfter || (connectionHeader && namesEqual(*connectionHeader, "close"));
        if (closing) out += "Connection: close\r\n";
        out += "\r\n";
        if (request.method != "HEAD") out += response.body;
        if (!sendAll(fd, out) || closing) break;
    }
    {
        std::lock_guard guard(lock_);
        openSockets_.erase(fd);
    }
    ::close(fd);
}

}  // namespace kavo::testing
