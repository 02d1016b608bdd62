#include "support/LoopbackHttpServer.h"

#include <strings.h>
#include <sys/socket.h>

#include <cstdlib>
#include <sstream>

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

// Takes bytes from the connection into `buffer` until it holds `count`; false once the peer
// closed.
bool fill(int fd, std::string& buffer, std::size_t count) {
    char chunk[65536];
    while (buffer.size() < count) {
        const ssize_t received = ::recv(fd, chunk, sizeof chunk, 0);
        if (received <= 0) return false;
        buffer.append(chunk, static_cast<std::size_t>(received));
    }
    return true;
}

std::optional<LoopbackHttpServer::Request> readRequest(int fd, std::string& buffer) {
    std::size_t headEnd;
    while ((headEnd = buffer.find("\r\n\r\n")) == std::string::npos)
        if (buffer.size() > (1 << 16) || !fill(fd, buffer, buffer.size() + 1)) return std::nullopt;
    LoopbackHttpServer::Request request;
    std::istringstream head(buffer.substr(0, headEnd));
    std::string line;
    std::string version;
    if (!std::getline(head, line) ||
        !(std::istringstream(line) >> request.method >> request.target >> version))
        return std::nullopt;
    while (std::getline(head, line))
        if (const auto colon = line.find(':'); colon != std::string::npos)
            request.headers.emplace_back(trimmed(std::string_view(line).substr(0, colon)),
                                         trimmed(std::string_view(line).substr(colon + 1)));
    buffer.erase(0, headEnd + 4);
    // A length that is no number reads as 0 rather than ending the server.
    const auto size =
        std::strtoull(request.header("Content-Length").value_or("0").c_str(), nullptr, 10);
    if (!fill(fd, buffer, size)) return std::nullopt;
    request.body = buffer.substr(0, size);
    buffer.erase(0, size);
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
    std::string buffer;
    while (const auto request = readRequest(fd, buffer)) {
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
