#pragma once

#include <string>

#include "base/Error.h"
#include "upload/InteractiveSignInRequiredError.h"

namespace kavo {

// Why a sign-in or a token request failed. Every case tells uploads that the user has
// to sign in again before they can go on.
class AuthError : public Error, public InteractiveSignInRequiredError {
public:
    enum class Kind { underlying, cancelled, interactionRequired };

    static AuthError underlying(std::string message);
    static AuthError cancelled();
    static AuthError interactionRequired();

    Kind kind() const { return kind_; }

    friend bool operator==(const AuthError& a, const AuthError& b) {
        return a.kind_ == b.kind_ && a.description() == b.description();
    }

private:
    AuthError(Kind kind, const std::string& text) : Error(text), kind_(kind) {}

    Kind kind_;
};

}  // namespace kavo
