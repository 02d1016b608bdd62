#pragma once

#include <string>

#include "base/Error.h"

namespace kavo {

// The identity platform could not be reached or answered with a fault of its own (a
// server error, a time-out, a page that is not its answer, "temporarily_unavailable").
// Nothing is wrong with the account: what needed a token waits and tries again.
class IdentityUnavailableError : public Error {
public:
    explicit IdentityUnavailableError(const std::string& detail)
        : Error("The sign-in service cannot be reached right now: " + detail) {}
};

}  // namespace kavo
