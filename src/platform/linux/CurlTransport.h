#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

#include "net/HTTPTransport.h"
#include "platform/linux/CurlGlobal.h"

namespace kavo::linux_platform {

// HTTPTransport over libcurl. TLS peers are verified; http is sent as well (which URLs
// may use it is decided by whoever builds them). Redirects are followed as a browser
// would. Each call runs its exchange on the calling thread on a connection channel of
// its own, taken from a pool so that later calls reuse open connections; name lookups
// and TLS sessions are shared by all channels. A stop request wakes the exchange at once
// and aborts it.
class CurlTransport final : public HTTPTransport {
public:
    explicit CurlTransport(const CurlGlobal& global, std::size_t maxIdleChannels = 8);
    CurlTransport(const CurlTransport&) = delete;
    CurlTransport& operator=(const CurlTransport&) = delete;
    ~CurlTransport() override;

    HTTPResponse data(const HTTPRequest& request, std::stop_token stop = {}) override;

    // Channels waiting for reuse (for tests).
    std::size_t idleChannelCount() const;

private:
    struct Share;
    struct Channel;

    std::unique_ptr<Channel> takeChannel();
    void putBack(std::unique_ptr<Channel> channel);

    std::unique_ptr<Share> share_;
    const std::size_t maxIdleChannels_;
    mutable std::mutex poolLock_;
    std::vector<std::unique_ptr<Channel>> idle_;
};

}  // namespace kavo::linux_platform
