#include "net/TransportError.h"

#include <utility>

namespace kavo {

TransportError::TransportError(Kind kind, int code, std::string detail)
    : Error(describe(kind)), kind_(kind), code_(code), detail_(std::move(detail)) {}

std::string TransportError::describe(Kind kind) {
    switch (kind) {
        case Kind::cannotConnect:
            return "Could not connect to the server.";
        case Kind::timedOut:
            return "The request timed out.";
        case Kind::cancelled:
            return "The request was cancelled.";
        case Kind::secureConnectionFailed:
            return "A secure connection to the server could not be made.";
        case Kind::connectionLost:
            return "The network connection was lost.";
        case Kind::badURL:
            return "The URL is not valid.";
        case Kind::responseTooLarge:
            return "The server's answer was too large.";
        case Kind::other:
            break;
    }
    return "The request could not be completed.";
}

}  // namespace kavo
