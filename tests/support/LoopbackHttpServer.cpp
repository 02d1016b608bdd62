#include "support/LoopbackHttpServer.h"

#include <strings.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdlib>

namespace kavo::testing {

namespace {

std::optional<std::string> find(const LoopbackHttpServer::Headers& headers, std::string_view name) {
    for (const auto& [key, value] : headers)
        if (key.size() == name.size() && ::strncasecmp(key.data(), name.data(), key.size()) == 0)
            return value;
    return std::nullopt;
}

std::string trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    return std::string(text.substr(first, text.find_last_not_of(" \t\r") - first + 1));
}

// Buffered reads from one connection; nothing once the peer closed.
class Reader {
public:
    explicit Reader(int fd) : fd_(fd) {}

    std::optional<std::string> until(std::string_view delimiter) {
        while (buffer_.find(delimiter) == std::string::npos)
            if (buffer_.size() > (1 << 16) || !fill()) return std::nullopt;
        return take(buffer_.find(delimiter), delimiter.size());
    }

    std::optional<std::string> exactly(std::size_t count) {
        while (buffer_.size() < count)
            if (!fill()) return std::nullopt;
        return take(count, 0);
    }

private:
    std::string take(std::size_t count, std::size_t skip) {
        std::string part = buffer_.substr(0, count);
        buffer_.erase(0, count + skip);
        return part;
    }
    bool fill() {
        char chunk[65536];
        const ssize_t received = ::recv(fd_, chunk, sizeof chunk, 0);
        if (received <= 0) return false;
        buffer_.append(chunk, static_cast<std::size_t>(received));
        return true;
    }

    int fd_;
    std::string buffer_;
};

std::optional<LoopbackHttpServer::Request> readRequest(Reader& reader) {
    const auto head = reader.until("\r\n\r\n");
    if (!head) return std::nullopt;
    LoopbackHttpServer::Request request;
    std::string_view lines(*head);
    const auto lineEnd = std::min(lines.find("\r\n"), lines.size());
    const std::string_view requestLine = lines.substr(0, lineEnd);
    const auto space1 = requestLine.find(' ');
    const auto space2 = requestLine.rfind(' ');
    if (space1 == std::string_view::npos || space2 == space1) return std::nullopt;
    request.method = requestLine.substr(0, space1);
    request.target = requestLine.substr(space1 + 1, space2 - space1 - 1);
    for (lines.remove_prefix(lineEnd); !lines.empty();) {
        lines.remove_prefix(std::min<std::size_t>(2, lines.size()));
        const std::string_view line = lines.substr(0, std::min(lines.find("\r\n"), lines.size()));
        if (const auto colon = line.find(':'); colon != std::string_view::npos)
            request.headers.emplace_back(trimmed(line.substr(0, colon)),
                                         trimmed(line.substr(colon + 1)));
        lines.remove_prefix(line.size());
    }
    if (const auto length = request.header("Content-Length")) {
        // A length that is no number reads as 0 rather than ending the server.
        const auto size = std::strtoull(length->c_str(), nullptr, 10);
        const auto body = reader.exactly(size);
        if (!body) return std::nullopt;
        request.body = *body;
    }
    return request;
}

}  // namespace

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
    Response response = json(status, std::move(body));
    response.headers = {{"Content-Type", "text/plain; charset=utf-8"}};
    return response;
}

LoopbackHttpServer::LoopbackHttpServer(Handler handler)
    : handler_(std::move(handler)), listener_([this](int fd) { serve(fd); }) {}

std::string LoopbackHttpServer::baseURL() const {
    return "http://127.0.0.1:" + std::to_string(port());
}

std::vector<LoopbackHttpServer::Request> LoopbackHttpServer::requests() const {
    const std::lock_guard guard(lock_);
    return requests_;
}

bool LoopbackHttpServer::waitForRequests(std::size_t count,
                                         std::chrono::milliseconds timeout) const {
    std::unique_lock guard(lock_);
    return arrived_.wait_for(guard, timeout, [&] { return requests_.size() >= count; });
}

void LoopbackHttpServer::serve(int fd) {
    Reader reader(fd);
    while (const auto request = readRequest(reader)) {
        {
            const std::lock_guard guard(lock_);
            requests_.push_back(*request);
        }
        arrived_.notify_all();
        Response response;
        try {
            response = handler_ ? handler_(*request) : Response::text(404, "no handler");
        } catch (const std::exception& error) {
            response = Response::text(500, std::string("handler failed: ") + error.what());
        }
        if (!listener_.pause(response.delay) || response.dropConnection) return;
        if (response.raw) {
            LoopbackListener::sendAll(fd, *response.raw);
            return;
        }
        // Curl reads the status code, not the reason phrase.
        std::string out = "HTTP/1.1 " + std::to_string(response.status) + " Status\r\n";
        for (const auto& [name, value] : response.headers) out += name + ": " + value + "\r\n";
        out += "Content-Length: " + std::to_string(response.body.size()) + "\r\n\r\n";
        if (request->method != "HEAD") out += response.body;
        if (!LoopbackListener::sendAll(fd, out)) return;
    }
}

}  // namespace kavo::testing
