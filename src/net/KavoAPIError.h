#pragma once

#include <string>

#include "base/Error.h"

namespace kavo {

// How a call to the Kavo server failed. The description is what the menu and the report
// window show; the payload (reason, body or diagnostic) stays in the value.
class KavoAPIError : public Error {
public:
    enum class Kind {
        invalidRequest,   // refused here before sending; payload: the reason
        http,             // any non-2xx status but 403; payload: the body as UTF-8
        forbidden,        // status 403; payload: the body as UTF-8, never shown
        decoding,         // a 2xx answer that did not decode; payload: the diagnostic
        invalidResponse,  // what came back was not an HTTP response
    };

    static KavoAPIError invalidRequest(std::string reason);
    static KavoAPIError http(int status, std::string body);
    static KavoAPIError forbidden(std::string body);
    static KavoAPIError decoding(std::string text);
    static KavoAPIError invalidResponse();

    Kind kind() const { return kind_; }
    // The status code of `http`, 403 for `forbidden`, otherwise 0.
    int status() const { return status_; }
    const std::string& payload() const { return payload_; }

    // Same case and payloads.
    friend bool operator==(const KavoAPIError& a, const KavoAPIError& b) {
        return a.kind_ == b.kind_ && a.status_ == b.status_ && a.payload_ == b.payload_;
    }

private:
    KavoAPIError(Kind kind, int status, std::string payload);
    static std::string describe(Kind kind, int status, const std::string& payload);

    Kind kind_;
    int status_;
    std::string payload_;
};

}  // namespace kavo
