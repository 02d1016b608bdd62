#pragma once

#include <optional>
#include <stop_token>
#include <string>

#include "account/AppSession.h"

namespace kavo {

// The seam between the session and whatever signs the user in. Every operation blocks
// its caller until it is done; `stop` abandons a running interactive sign-in.
class AuthService {
public:
    virtual ~AuthService() = default;

    // Interactive sign-in. Throws AuthError.
    virtual AppSession signIn(std::stop_token stop = {}) = 0;
    // Sign-in from the cached account; nothing when nothing usable is cached or anything
    // fails. Never throws.
    virtual std::optional<AppSession> silentSignIn(std::stop_token stop = {}) = 0;
    // Forgets every cached account. Never throws.
    virtual void signOut() = 0;
    // A fresh access token for the Kavo API. Throws AuthError (interactionRequired when
    // no account is cached or the account needs the user again) or the transport's error.
    virtual std::string kavoToken(std::stop_token stop = {}) = 0;
};

}  // namespace kavo
