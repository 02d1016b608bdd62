#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>

#include "base/AtomicFile.h"
#include "net/HTTPTransport.h"
#include "platform/linux/CurlTransport.h"
#include "support/AzuriteServer.h"
#include "support/RecordingTransport.h"

namespace kavo::testing {

// libcurl's process set-up, made once on the main thread before any test starts threads.
inline linux_platform::CurlGlobal& curlGlobal() {
    static linux_platform::CurlGlobal global;
    return global;
}

// For a RecordingTransport: sends each request on to `inner`, changed first by `change`.
inline RecordingTransport::Responder forwardingTo(HTTPTransport& inner,
                                                  std::function<void(HTTPRequest&)> change = {}) {
    return [&inner, change = std::move(change)](const HTTPRequest& request) {
        HTTPRequest sent = request;
        if (change) change(sent);
        return inner.data(sent);
    };
}

// Bytes that differ from block to block, so a misplaced block cannot pass.
inline std::string recordingBytes(std::int64_t size, std::uint64_t seed = 0x9E3779B97F4A7C15ULL) {
    std::string bytes(static_cast<std::size_t>(size), '\0');
    std::uint64_t x = seed;
    for (std::size_t i = 0; i + 8 <= bytes.size(); i += 8) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        std::memcpy(bytes.data() + i, &x, 8);
    }
    return bytes;
}

}  // namespace kavo::testing
