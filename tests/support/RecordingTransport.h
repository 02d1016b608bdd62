#pragma once

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "net/HTTPTransport.h"

namespace kavo::testing {

// Records every request and answers from a script, then from a responder; a request with no
// answer fails. Requests can be held open, to see how many are in flight at once.
class RecordingTransport : public HTTPTransport {
public:
    using Responder = std::function<HTTPResponse(const HTTPRequest&)>;

    void enqueue(int status, std::string body, HTTPHeaders headers = {}) {
        enqueueAnswer([answer = HTTPResponse{status, std::move(headers), std::move(body)}](
                          const HTTPRequest&) { return answer; });
    }
    // The next request fails with `error` instead of being answered.
    template <typename Exception>
    void enqueueError(Exception error) {
        enqueueAnswer([error](const HTTPRequest&) -> HTTPResponse { throw error; });
    }
    // Answers whatever the script does not.
    void setResponder(Responder responder) {
        const std::lock_guard guard(lock_);
        responder_ = std::move(responder);
    }

    HTTPResponse data(const HTTPRequest& request, std::stop_token stop = {}) override {
        Responder answer;
        {
            std::unique_lock guard(lock_);
            requests_.push_back(request);
            maxInFlight_ = std::max(maxInFlight_, ++inFlight_);
            ++held_;
            changed_.notify_all();
            const bool released = changed_.wait(guard, stop, [this] { return !holding_; });
            --held_;
            if (!released || stop.stop_requested()) {
                --inFlight_;
                ++cancelled_;
                throw TransportError(TransportError::Kind::cancelled);
            }
            answer = responder_;
            if (!script_.empty()) {
                answer = std::move(script_.front());
                script_.pop_front();
            }
        }
        const InFlight leaving{*this};
        if (!answer)
            throw TransportError(TransportError::Kind::other, 0,
                                 "no scripted answer for " + request.url);
        return answer(request);
    }

    std::vector<HTTPRequest> requests() const {
        const std::lock_guard guard(lock_);
        return requests_;
    }

    void hold() {
        const std::lock_guard guard(lock_);
        holding_ = true;
    }
    void release() {
        const std::lock_guard guard(lock_);
        holding_ = false;
        changed_.notify_all();
    }
    // Blocks until `count` requests are waiting at the hold.
    void waitForHeld(int count) {
        std::unique_lock guard(lock_);
        changed_.wait(guard, [&] { return held_ >= count; });
    }
    int maxInFlight() const {
        const std::lock_guard guard(lock_);
        return maxInFlight_;
    }
    int cancelledRequests() const {
        const std::lock_guard guard(lock_);
        return cancelled_;
    }

private:
    void enqueueAnswer(Responder answer) {
        const std::lock_guard guard(lock_);
        script_.push_back(std::move(answer));
    }

    struct InFlight {
        RecordingTransport& transport;
        ~InFlight() {
            const std::lock_guard guard(transport.lock_);
            --transport.inFlight_;
        }
    };

    mutable std::mutex lock_;
    std::condition_variable_any changed_;
    std::deque<Responder> script_;
    Responder responder_;
    std::vector<HTTPRequest> requests_;
    bool holding_ = false;
    int held_ = 0;
    int inFlight_ = 0;
    int maxInFlight_ = 0;
    int cancelled_ = 0;
};

}  // namespace kavo::testing
