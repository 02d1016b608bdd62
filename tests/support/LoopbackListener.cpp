#include "support/LoopbackListener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace kavo::testing {

LoopbackListener::LoopbackListener(Serve serve, int receiveBuffer) : serve_(std::move(serve)) {
    listener_ = FileDescriptor(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int fd = listener_.get();
    const int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (receiveBuffer > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 64) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::system_error(errno, std::generic_category(), "listen on 127.0.0.1");
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { acceptLoop(); });
}

LoopbackListener::~LoopbackListener() {
    stop();
}

void LoopbackListener::stop() {
    {
        const std::lock_guard guard(lock_);
        if (stopping_) return;
        stopping_ = true;
        ::shutdown(listener_.get(), SHUT_RDWR);
        for (const int fd : open_) ::shutdown(fd, SHUT_RDWR);
    }
    stopped_.notify_all();
    acceptor_.join();
    // No thread is added once the acceptor is gone.
    for (auto& thread : threads_) thread.join();
}

bool LoopbackListener::pause(std::chrono::steady_clock::duration duration) {
    std::unique_lock guard(lock_);
    return !stopped_.wait_for(guard, duration, [this] { return stopping_; });
}

bool LoopbackListener::stopping() const {
    const std::lock_guard guard(lock_);
    return stopping_;
}

bool LoopbackListener::sendAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t sent = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        data.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

void LoopbackListener::acceptLoop() {
    while (true) {
        const int fd = ::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC);
        const std::lock_guard guard(lock_);
        if (stopping_) {
            if (fd >= 0) ::close(fd);
            return;
        }
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            return;
        }
        open_.insert(fd);
        threads_.emplace_back([this, fd] {
            serve_(fd);
            const std::lock_guard closing(lock_);
            open_.erase(fd);
            ::close(fd);
        });
    }
}

}  // namespace kavo::testing
