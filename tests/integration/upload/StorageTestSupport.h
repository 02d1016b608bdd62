#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/HTTPTransport.h"
#include "platform/linux/CurlTransport.h"
#include "support/AzuriteServer.h"

namespace kavo::testing {

// libcurl's process set-up, made once on the main thread before any test starts threads.
inline linux_platform::CurlGlobal& curlGlobal() {
    static linux_platform::CurlGlobal global;
    return global;
}

// Passes every request through, counting Put Block requests and remembering their
// block ids, and letting a test change a request after the uploader has built it or hold
// each Put Block back for `blockDelay`.
class WatchingTransport final : public HTTPTransport {
public:
    explicit WatchingTransport(HTTPTransport& inner,
                               std::chrono::milliseconds blockDelay = std::chrono::milliseconds(0))
        : inner_(inner), blockDelay_(blockDelay) {}

    HTTPResponse data(const HTTPRequest& request, std::stop_token stop) override {
        if (request.url.find("comp=block&") != std::string::npos) {
            std::this_thread::sleep_for(blockDelay_);
            ++putBlocks_;
            std::lock_guard lock(mutex_);
            const auto id = request.url.substr(request.url.find("blockid=") + 8);
            blockIds_.push_back(id.substr(0, id.find('&')));
        }
        if (!alter_) return inner_.data(request, stop);
        HTTPRequest altered = request;
        alter_(altered);
        return inner_.data(altered, stop);
    }

    // Called with a copy of each request before it is sent.
    void alterRequests(std::function<void(HTTPRequest&)> alter) { alter_ = std::move(alter); }
    int putBlockCount() const { return putBlocks_; }
    std::vector<std::string> blockIds() const {
        std::lock_guard lock(mutex_);
        return blockIds_;
    }

private:
    HTTPTransport& inner_;
    const std::chrono::milliseconds blockDelay_;
    std::function<void(HTTPRequest&)> alter_;
    std::atomic<int> putBlocks_{0};
    mutable std::mutex mutex_;
    std::vector<std::string> blockIds_;
};

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

inline void writeBytes(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace kavo::testing
