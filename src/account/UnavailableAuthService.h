#pragma once

#include <string>

#include "account/AuthService.h"

namespace kavo {

// Stands in when the sign-in service cannot be configured: the application still starts,
// and signing in explains why it cannot.
class UnavailableAuthService final : public AuthService {
public:
    explicit UnavailableAuthService(std::string reason) : reason_(std::move(reason)) {}

    AppSession signIn(std::stop_token stop = {}) override;
    std::optional<AppSession> silentSignIn(std::stop_token stop = {}) override;
    void signOut() override;
    std::string kavoToken(std::stop_token stop = {}) override;

    const std::string& reason() const { return reason_; }

private:
    std::string reason_;
};

}  // namespace kavo
