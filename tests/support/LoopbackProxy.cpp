#include "support/LoopbackProxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <system_error>

namespace kavo::testing {

namespace {

constexpr std::string_view kRequestLineEnd = " HTTP/1.1\r\n";

bool sendAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

// Closing with a zero linger sends a reset instead of an orderly end.
void resetAndClose(int fd) {
    const linger abort{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    ::close(fd);
}

std::int64_t occurrences(std::string_view text) {
    std::int64_t count = 0;
    for (auto at = text.find(kRequestLineEnd); at != std::string_view::npos;
         at = text.find(kRequestLineEnd, at + 1))
        ++count;
    return count;
}

}  // namespace

LoopbackProxy::LoopbackProxy(Options options) : options_(options), random_(options.seed) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0) throw std::system_error(errno, std::generic_category(), "proxy socket");
    const int yes = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (options_.bytesPerSecond) {
        // A small receive window, so the client's bytes wait on its side of the slow link
        // rather than in this end's buffer.
        const int window = 64 * 1024;
        ::setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 64) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        const int error = errno;
        ::close(listener_);
        throw std::system_error(error, std::generic_category(), "proxy listen");
    }
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { acceptLoop(); });
    timer_ = std::thread([this] {
        std::unique_lock lock(lock_);
        if (!stopped_.wait_for(lock, options_.lifetime, [this] { return stopping_; })) {
            lock.unlock();
            stop();
        }
    });
}

LoopbackProxy::~LoopbackProxy() {
    stop();
    timer_.join();
    acceptor_.join();
    for (auto& thread : threads_) thread.join();
    ::close(listener_);
}

void LoopbackProxy::stop() {
    const std::lock_guard guard(lock_);
    if (stopping_) return;
    stopping_ = true;
    ::shutdown(listener_, SHUT_RDWR);
    for (const int fd : openSockets_) ::shutdown(fd, SHUT_RDWR);
    stopped_.notify_all();
}

std::int64_t LoopbackProxy::connectionsAccepted() const {
    const std::lock_guard guard(lock_);
    return accepted_;
}

std::int64_t LoopbackProxy::connectionsReset() const {
    const std::lock_guard guard(lock_);
    return resets_;
}

std::int64_t LoopbackProxy::requestsSeen() const {
    const std::lock_guard guard(lock_);
    return requests_;
}

std::int64_t LoopbackProxy::bytesToServer() const {
    const std::lock_guard guard(lock_);
    return bytesToServer_;
}

void LoopbackProxy::acceptLoop() {
    while (true) {
        pollfd waiting{listener_, POLLIN, 0};
        ::poll(&waiting, 1, 200);
        std::unique_lock lock(lock_);
        if (stopping_) return;
        lock.unlock();
        if ((waiting.revents & POLLIN) == 0) continue;
        const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;
        lock.lock();
        if (stopping_ || openSockets_.size() / 2 >= options_.maxConnections) {
            lock.unlock();
            ::close(client);
            continue;
        }
        ++accepted_;
        std::int64_t resetAfter = 0;
        if (options_.resetAfterBytes)
            resetAfter = static_cast<std::int64_t>(
                static_cast<double>(*options_.resetAfterBytes) *
                std::uniform_real_distribution<double>(0.75, 1.25)(random_));
        openSockets_.insert(client);
        threads_.emplace_back([this, client, resetAfter] { relay(client, resetAfter); });
    }
}

bool LoopbackProxy::take(Pace& pace, std::size_t bytes) {
    std::unique_lock lock(lock_);
    if (!options_.bytesPerSecond) return !stopping_;
    const auto now = std::chrono::steady_clock::now();
    const auto start = std::max(now, pace.nextFree);
    pace.nextFree =
        start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                    std::chrono::duration<double>(static_cast<double>(bytes) /
                                                  static_cast<double>(*options_.bytesPerSecond)));
    const auto until = pace.nextFree;
    return !stopped_.wait_until(lock, until, [this] { return stopping_; });
}

void LoopbackProxy::countRequests(std::vector<char>& tail, const char* data, std::size_t size) {
    // A request line split between two reads is found across the seam.
    std::string seam(tail.begin(), tail.end());
    seam.append(data, std::min(size, kRequestLineEnd.size()));
    std::int64_t found = 0;
    for (auto at = seam.find(kRequestLineEnd); at != std::string::npos;
         at = seam.find(kRequestLineEnd, at + 1))
        if (at < tail.size()) ++found;
    found += occurrences(std::string_view(data, size));
    const std::size_t keep = std::min(size, kRequestLineEnd.size() - 1);
    tail.assign(data + size - keep, data + size);
    const std::lock_guard guard(lock_);
    requests_ += found;
    bytesToServer_ += static_cast<std::int64_t>(size);
}

void LoopbackProxy::relay(int client, std::int64_t resetAfter) {
    const int upstream = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(options_.upstreamPort);
    if (upstream < 0 ||
        ::connect(upstream, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (upstream >= 0) ::close(upstream);
        const std::lock_guard guard(lock_);
        openSockets_.erase(client);
        ::close(client);
        return;
    }
    {
        const std::lock_guard guard(lock_);
        openSockets_.insert(upstream);
        if (stopping_) ::shutdown(upstream, SHUT_RDWR);
    }

    // Slow links move small pieces, so that the pace is even.
    const std::size_t piece = options_.bytesPerSecond ? 4096 : 256 * 1024;
    std::vector<char> buffer(piece);
    std::vector<char> tail;
    std::int64_t carried = 0;
    bool reset = false;
    while (true) {
        pollfd fds[2] = {{client, POLLIN, 0}, {upstream, POLLIN, 0}};
        if (::poll(fds, 2, 1000) < 0 && errno != EINTR) break;
        bool open = true;
        if (fds[0].revents != 0) {
            std::size_t want = buffer.size();
            if (resetAfter > 0)
                want = static_cast<std::size_t>(
                    std::min<std::int64_t>(static_cast<std::int64_t>(want), resetAfter - carried));
            const ssize_t got = ::recv(client, buffer.data(), want, 0);
            if (got <= 0) break;
            const auto size = static_cast<std::size_t>(got);
            countRequests(tail, buffer.data(), size);
            carried += got;
            open = take(toServer_, size) && sendAll(upstream, buffer.data(), size);
            if (open && resetAfter > 0 && carried >= resetAfter) {
                reset = true;
                break;
            }
        }
        if (open && fds[1].revents != 0) {
            const ssize_t got = ::recv(upstream, buffer.data(), buffer.size(), 0);
            if (got <= 0) break;
            const auto size = static_cast<std::size_t>(got);
            open = take(toClient_, size) && sendAll(client, buffer.data(), size);
        }
        if (!open) break;
    }

    const std::lock_guard guard(lock_);
    openSockets_.erase(client);
    openSockets_.erase(upstream);
    if (reset) {
        ++resets_;
        resetAndClose(client);
        resetAndClose(upstream);
    } else {
        ::close(client);
        ::close(upstream);
    }
}

}  // namespace kavo::testing
