#include "net/KavoAPIError.h"

#include <fmt/format.h>

#include <utility>

#include "net/TextExcerpt.h"

namespace kavo {

KavoAPIError::KavoAPIError(Kind kind, int status, std::string payload)
    : Error(describe(kind, status, payload)),
      kind_(kind),
      status_(status),
      payload_(std::move(payload)) {}

KavoAPIError KavoAPIError::invalidRequest(std::string reason) {
    return KavoAPIError(Kind::invalidRequest, 0, std::move(reason));
}

KavoAPIError KavoAPIError::http(int status, std::string body) {
    return KavoAPIError(Kind::http, status, std::move(body));
}

KavoAPIError KavoAPIError::forbidden(std::string body) {
    return KavoAPIError(Kind::forbidden, 403, std::move(body));
}

KavoAPIError KavoAPIError::decoding(std::string text) {
    return KavoAPIError(Kind::decoding, 0, std::move(text));
}

KavoAPIError KavoAPIError::invalidResponse() {
    return KavoAPIError(Kind::invalidResponse, 0, {});
}

std::string KavoAPIError::describe(Kind kind, int status, const std::string& payload) {
    switch (kind) {
        case Kind::invalidRequest:
            return "This recording cannot be uploaded: " + payload;
        case Kind::http:
            return fmt::format("Request failed with HTTP {}: {}", status,
                               textExcerpt(payload, 200));
        case Kind::forbidden:
            return "You don't have permission to perform this action.";
        case Kind::decoding:
            return "Could not decode the server response: " + payload;
        case Kind::invalidResponse:
            break;
    }
    return "Invalid response from the server.";
}

}  // namespace kavo
