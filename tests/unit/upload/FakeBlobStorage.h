#pragma once

#include <openssl/evp.h>

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "net/HTTPTransport.h"
#include "net/TransportError.h"
#include "net/UrlText.h"

namespace kavo::testing {

// The decoded block id a Put Block URL names (eight characters), or "" when it names none.
inline std::string blockNameOf(const std::string& url) {
    const auto parsed = UrlText::parse(url);
    if (!parsed || parsed->queryValue("comp") != "block") return {};
    const auto id = parsed->queryValue("blockid");
    unsigned char decoded[16] = {};
    if (!id || id->size() != 12 ||
        EVP_DecodeBlock(decoded, reinterpret_cast<const unsigned char*>(id->data()), 12) < 8)
        return "?";
    return std::string(reinterpret_cast<const char*>(decoded), 8);
}

// An in-process stand-in for the storage account: records every request and answers 201
// unless a test scripts otherwise. Requests can be held open (until released or
// cancelled) to observe how many are in flight at once.
class FakeBlobStorage final : public HTTPTransport {
public:
    using Responder = std::function<HTTPResponse(const HTTPRequest&)>;

    HTTPResponse data(const HTTPRequest& request, std::stop_token stop) override {
        Responder responder;
        {
            std::unique_lock lock(mutex_);
            requests_.push_back(request);
            maxInFlight_ = std::max(maxInFlight_, ++inFlight_);
            ++held_;
            changed_.notify_all();
            const bool released = changed_.wait(lock, stop, [this] { return !holding_; });
            --held_;
            if (!released) {
                --inFlight_;
                ++cancelled_;
                throw TransportError(TransportError::Kind::cancelled);
            }
            responder = responder_;
        }
        HTTPResponse response = responder ? responder(request) : created();
        std::lock_guard lock(mutex_);
        --inFlight_;
        return response;
    }

    void respondWith(Responder responder) {
        std::lock_guard lock(mutex_);
        responder_ = std::move(responder);
    }
    void hold() {
        std::lock_guard lock(mutex_);
        holding_ = true;
    }
    void release() {
        std::lock_guard lock(mutex_);
        holding_ = false;
        changed_.notify_all();
    }
    // Blocks until `count` requests are waiting at the hold.
    void waitForHeld(int count) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return held_ >= count; });
    }

    std::vector<HTTPRequest> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    // Decoded ids of the Put Block requests, in the order they arrived.
    std::vector<std::string> putBlocks() const {
        std::vector<std::string> names;
        for (const auto& request : requests())
            if (auto name = blockNameOf(request.url); !name.empty()) names.push_back(name);
        return names;
    }
    int maxInFlight() const {
        std::lock_guard lock(mutex_);
        return maxInFlight_;
    }
    int cancelledRequests() const {
        std::lock_guard lock(mutex_);
        return cancelled_;
    }

    static HTTPResponse created() { return {201, {}, {}}; }

private:
    mutable std::mutex mutex_;
    std::condition_variable_any changed_;
    std::vector<HTTPRequest> requests_;
    Responder responder_;
    bool holding_ = false;
    int held_ = 0;
    int inFlight_ = 0;
    int maxInFlight_ = 0;
    int cancelled_ = 0;
};

}  // namespace kavo::testing
