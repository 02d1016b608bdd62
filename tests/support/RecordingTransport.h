#pragma once

#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "net/HTTPTransport.h"

namespace kavo::testing {

// An in-process HTTPTransport (for test executables that link kavo_net): records every
// request and answers from a script, in order, then from an optional responder. A request
// with nothing left to answer it fails, so a test that sends more than it scripted notices.
class RecordingTransport final : public HTTPTransport {
public:
    using Responder = std::function<HTTPResponse(const HTTPRequest&)>;

    void enqueue(HTTPResponse response) {
        const std::lock_guard guard(lock_);
        script_.emplace_back(std::move(response));
    }
    void enqueue(int status, std::string body, HTTPHeaders headers = {}) {
        enqueue(HTTPResponse{status, std::move(headers), std::move(body)});
    }
    // The next request fails with `error` instead of being answered.
    template <typename Exception>
    void enqueueError(Exception error) {
        const std::lock_guard guard(lock_);
        script_.emplace_back(std::make_exception_ptr(std::move(error)));
    }
    // Answers whatever the script does not.
    void setResponder(Responder responder) {
        const std::lock_guard guard(lock_);
        responder_ = std::move(responder);
    }

    HTTPResponse data(const HTTPRequest& request, std::stop_token stop = {}) override {
        Responder responder;
        std::variant<HTTPResponse, std::exception_ptr> next;
        {
            const std::lock_guard guard(lock_);
            requests_.push_back(request);
            if (stop.stop_requested()) throw TransportError(TransportError::Kind::cancelled);
            if (script_.empty() && !responder_)
                throw TransportError(TransportError::Kind::other, 0,
                                     "no scripted answer for " + request.url);
            if (script_.empty()) {
                responder = responder_;
            } else {
                next = std::move(script_.front());
                script_.pop_front();
            }
        }
        if (responder) return responder(request);
        if (auto* error = std::get_if<std::exception_ptr>(&next)) std::rethrow_exception(*error);
        return std::get<HTTPResponse>(std::move(next));
    }

    std::vector<HTTPRequest> requests() const {
        const std::lock_guard guard(lock_);
        return requests_;
    }
    std::size_t requestCount() const {
        const std::lock_guard guard(lock_);
        return requests_.size();
    }

private:
    mutable std::mutex lock_;
    std::deque<std::variant<HTTPResponse, std::exception_ptr>> script_;
    Responder responder_;
    std::vector<HTTPRequest> requests_;
};

}  // namespace kavo::testing
