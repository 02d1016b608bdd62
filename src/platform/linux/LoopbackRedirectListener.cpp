#include "platform/linux/LoopbackRedirectListener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "account/AuthError.h"
#include "net/UrlText.h"

namespace kavo::linux_platform {

namespace {

constexpr std::size_t kMaxRequestBytes = 16 * 1024;
constexpr auto kPollSlice = std::chrono::milliseconds(100);

void sendAll(int fd, const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const auto n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        sent += static_cast<std::size_t>(n);
    }
}

void answer(int fd, int status, const std::string& reason, const std::string& html) {
    sendAll(
        fd,
        "HTTP/1.1 " + std::to_string(status) + " " + reason +
            "\r\nContent-Type: text/html; charset=utf-8\r\nCache-Control: no-store\r\nConnection: "
            "close\r\nContent-Length: " +
            std::to_string(html.size()) + "\r\n\r\n" + html);
}

// The request line's target, once the whole head has arrived.
std::optional<std::string> readTarget(int fd, std::stop_token stop) {
    std::string head;
    char buffer[2048];
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < kMaxRequestBytes) {
        pollfd entry{fd, POLLIN, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(kPollSlice.count()));
        if (stop.stop_requested()) {
            return std::nullopt;
        }
        if (ready <= 0) {
            if (ready < 0 && errno != EINTR) {
                return std::nullopt;
            }
            continue;
        }
        const auto n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            return std::nullopt;
        }
        head.append(buffer, static_cast<std::size_t>(n));
    }
    const auto lineEnd = head.find("\r\n");
    const auto line = head.substr(0, lineEnd);
    const auto firstSpace = line.find(' ');
    const auto lastSpace = line.rfind(' ');
    if (firstSpace == std::string::npos || lastSpace == firstSpace ||
        line.substr(0, firstSpace) != "GET") {
        return std::nullopt;
    }
    return line.substr(firstSpace + 1, lastSpace - firstSpace - 1);
}

}  // namespace

LoopbackRedirectListener::LoopbackRedirectListener()
    : socket_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    const int fd = socket_.get();
    if (fd < 0) {
        throw AuthError::underlying(std::string("Could not open the sign-in listener: ") +
                                    std::strerror(errno));
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 8) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw AuthError::underlying(std::string("Could not open the sign-in listener: ") +
                                    std::strerror(errno));
    }
    port_ = ntohs(address.sin_port);
}

std::string LoopbackRedirectListener::uri() const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/";
}

std::optional<std::string> LoopbackRedirectListener::wait(std::stop_token stop,
                                                          std::chrono::milliseconds timeout) {
    const int fd = socket_.get();
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!stop.stop_requested() && std::chrono::steady_clock::now() < deadline) {
        pollfd entry{fd, POLLIN, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(kPollSlice.count()));
        if (ready <= 0) {
            continue;
        }
        const FileDescriptor client(::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC));
        if (client.get() < 0) {
            continue;
        }
        const auto target = readTarget(client.get(), stop);
        if (!target) {
            continue;
        }
        const auto url = UrlText::parse(*target);
        if (!url || !url->query || (!url->queryValue("code") && !url->queryValue("error"))) {
            answer(client.get(), 404, "Not Found", "<!doctype html><title>Kavo Meetings</title>");
            continue;
        }
        answer(
            client.get(), 200, "OK",
            "<!doctype html><html><head><meta charset=\"utf-8\"><title>Kavo Meetings</title></head>"
            "<body><p>You can close this window and return to Kavo Meetings.</p></body></html>");
        return url->query;
    }
    return std::nullopt;
}

}  // namespace kavo::linux_platform
