#include "account/UnavailableAuthService.h"

#include "account/AuthError.h"

namespace kavo {

AppSession UnavailableAuthService::signIn(std::stop_token) {
    throw AuthError::underlying("Sign-in is unavailable: " + reason_);
}

std::optional<AppSession> UnavailableAuthService::silentSignIn(std::stop_token) {
    return std::nullopt;
}

void UnavailableAuthService::signOut() {}

std::string UnavailableAuthService::kavoToken(std::stop_token) {
    throw AuthError::interactionRequired();
}

}  // namespace kavo
