#pragma once

#include <string>

#include "base/Error.h"

namespace kavo {

// A request that produced no HTTP answer: the connection could not be made or broke,
// the time-out ran out, or the caller cancelled it. Callers treat it as passing trouble
// (the upload coordinator retries it). The description is the user-facing text; the
// HTTP stack's own code and message are kept for logs and reports.
class TransportError : public Error {
public:
    enum class Kind {
        cannotConnect,           // name lookup failed, refused, unreachable
        timedOut,                // the connect or total time-out ran out
        cancelled,               // the caller's stop token was triggered
        secureConnectionFailed,  // TLS handshake or certificate verification failed
        connectionLost,          // the exchange broke off after it began
        badURL,                  // not an absolute http or https URL
        responseTooLarge,        // the answer outgrew the request's limit
        other,
    };

    TransportError(Kind kind, int code = 0, std::string detail = {});

    Kind kind() const { return kind_; }
    // The HTTP stack's error number (0 when none), printed in decimal.
    int code() const { return code_; }
    // The HTTP stack's own explanation, for logs.
    const std::string& detail() const { return detail_; }
    bool isCancellation() const { return kind_ == Kind::cancelled; }

    static std::string describe(Kind kind);

private:
    Kind kind_;
    int code_;
    std::string detail_;
};

}  // namespace kavo
