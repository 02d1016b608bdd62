#include "support/LoopbackProxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <string_view>
#include <vector>

namespace kavo::testing {

namespace {

constexpr std::string_view kRequestLineEnd = " HTTP/1.1\r\n";

}  // namespace

LoopbackProxy::LoopbackProxy(Options options)
    : options_(options),
      random_(options.seed),
      // A slow link gets a small receive window, so that the client's bytes wait on its side
      // of the link rather than in this end's buffer.
      listener_([this](int fd) { relay(fd); }, options.bytesPerSecond ? 64 * 1024 : 0),
      timer_([this] {
          if (listener_.pause(options_.lifetime)) listener_.stop();
      }) {}

LoopbackProxy::~LoopbackProxy() {
    listener_.stop();
    timer_.join();
}

bool LoopbackProxy::take(Steady::time_point& nextFree, std::size_t bytes) {
    if (!options_.bytesPerSecond) return !listener_.stopping();
    Steady::time_point until;
    {
        const std::lock_guard guard(lock_);
        nextFree = std::max(Steady::now(), nextFree) +
                   std::chrono::duration_cast<Steady::duration>(std::chrono::duration<double>(
                       static_cast<double>(bytes) / static_cast<double>(*options_.bytesPerSecond)));
        until = nextFree;
    }
    return listener_.pause(until - Steady::now());
}

void LoopbackProxy::relay(int client) {
    std::int64_t resetAfter = 0;
    if (options_.resetAfterBytes) {
        const std::lock_guard guard(lock_);
        resetAfter =
            static_cast<std::int64_t>(static_cast<double>(*options_.resetAfterBytes) *
                                      std::uniform_real_distribution<double>(0.75, 1.25)(random_));
    }
    // Stopping shuts the client's socket down, which ends this loop's poll.
    const FileDescriptor socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int upstream = socket.get();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(options_.upstreamPort);
    if (::connect(upstream, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return;

    // Slow links move small pieces, so that the pace is even.
    std::vector<char> buffer(options_.bytesPerSecond ? 4096 : 256 * 1024);
    // The end of the last piece, so that a request line split between two is counted.
    std::string seam;
    std::int64_t carried = 0;
    bool reset = false;
    while (!reset) {
        pollfd fds[2] = {{client, POLLIN, 0}, {upstream, POLLIN, 0}};
        if (::poll(fds, 2, 1000) < 0 && errno != EINTR) break;
        if (fds[0].revents != 0) {
            std::size_t want = buffer.size();
            if (resetAfter > 0)
                want = static_cast<std::size_t>(
                    std::min<std::int64_t>(static_cast<std::int64_t>(want), resetAfter - carried));
            const ssize_t got = ::recv(client, buffer.data(), want, 0);
            if (got <= 0) break;
            const std::string_view piece(buffer.data(), static_cast<std::size_t>(got));
            const std::string seen = seam + std::string(piece);
            for (auto at = seen.find(kRequestLineEnd); at != std::string::npos;
                 at = seen.find(kRequestLineEnd, at + 1))
                ++requests_;
            seam = seen.substr(seen.size() - std::min(seen.size(), kRequestLineEnd.size() - 1));
            carried += got;
            if (!take(toServer_, piece.size()) || !LoopbackListener::sendAll(upstream, piece))
                break;
            reset = resetAfter > 0 && carried >= resetAfter;
        }
        if (!reset && fds[1].revents != 0) {
            const ssize_t got = ::recv(upstream, buffer.data(), buffer.size(), 0);
            if (got <= 0 || !take(toClient_, static_cast<std::size_t>(got)) ||
                !LoopbackListener::sendAll(
                    client, std::string_view(buffer.data(), static_cast<std::size_t>(got))))
                break;
        }
    }
    if (reset) {
        // A zero linger makes closing send a reset instead of an orderly end.
        const linger abort{1, 0};
        ::setsockopt(client, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        ::setsockopt(upstream, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        ++resets_;
    }
}

}  // namespace kavo::testing
