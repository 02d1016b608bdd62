#include "platform/linux/LoopbackRedirectListener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "account/AuthError.h"
#include "upload/UrlText.h"

namespace kavo::linux_platform {

namespace {

constexpr std::size_t kMaxRequestBytes = 16 * 1024;
constexpr auto kPollSlice = std::chrono::milliseconds(100);

class Socket {
public:
    explicit Socket(int fd) : fd_(fd) {}
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    ~Socket() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int get() const { return fd_; }

private:
    int fd_;
};

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

LoopbackRedirectListener::LoopbackRedirectListener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        throw AuthError::underlying(std::string("Could not open the sign-in listener: ") +
                                    std::strerror(errno));
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd_, 8) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        const std::string reason = std::strerror(errno);
        ::close(fd_);
        throw AuthError::underlying("Could not open the sign-in listener: " + reason);
    }
    port_ = ntohs(address.sin_port);
}

LoopbackRedirectListener::~LoopbackRedirectListener() {
    ::close(fd_);
}

std::string LoopbackRedirectListener::redirectURI() const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/";
}

std::optional<std::string> LoopbackRedirectListener::waitForRedirect(
    std::stop_token stop, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!stop.stop_requested() && std::chrono::steady_clock::now() < deadline) {
        pollfd entry{fd_, POLLIN, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(kPollSlice.count()));
        if (ready <= 0) {
            continue;
        }
        const Socket client(::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC));
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
