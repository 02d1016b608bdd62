#pragma once

#include <memory>
#include <stop_token>

#include "account/AuthService.h"

namespace kavo::shell {

// An auth service whose every call also ends when the command is told to stop: the
// controller signs in on its worker without a stop token of its own, and a person who
// presses Ctrl-C while the browser or the device code waits must not wait for it.
class StoppableAuthService final : public AuthService {
public:
    StoppableAuthService(std::shared_ptr<AuthService> inner, std::stop_token commandStop);

    AppSession signIn(std::stop_token stop) override;
    std::optional<AppSession> silentSignIn(std::stop_token stop) override;
    void signOut() override { inner_->signOut(); }
    std::string kavoToken(std::stop_token stop) override;

private:
    // Runs `call` with a token that stops when either `stop` or the command's does.
    template <typename Call>
    auto eitherStops(std::stop_token stop, Call call);

    const std::shared_ptr<AuthService> inner_;
    const std::stop_token commandStop_;
};

}  // namespace kavo::shell
