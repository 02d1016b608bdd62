#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "net/HTTPTransport.h"

namespace kavo::testing {

// An in-process stand-in for the storage account: records every request and answers
// 201 unless a test scripts otherwise. Requests can be held open to observe how many
// are in flight at once.
class FakeBlobStorage final : public HTTPTransport {
public:
    using Responder = std::function<HTTPResponse(const HTTPRequest&)>;

    HTTPResponse data(const HTTPRequest& request, std::stop_token stop) override;

    void respondWith(Responder responder);
    // Requests wait (until released or cancelled) before they are answered.
    void hold();
    void release();
    // Blocks until `count` requests are waiting at the hold.
    void waitForHeld(int count);

    std::vector<HTTPRequest> requests() const;
    // Indexes of the Put Block requests, in the order they arrived.
    std::vector<int> putBlockIndexes() const;
    int maxInFlight() const;
    int cancelledRequests() const;

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

// The block index a Put Block URL names, or -1.
int blockIndexOf(const std::string& url);

}  // namespace kavo::testing
