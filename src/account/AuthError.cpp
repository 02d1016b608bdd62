#include "account/AuthError.h"

namespace kavo {

AuthError AuthError::underlying(std::string message) {
    return AuthError(Kind::underlying, message);
}

AuthError AuthError::cancelled() {
    return AuthError(Kind::cancelled, "Sign-in cancelled.");
}

AuthError AuthError::interactionRequired() {
    return AuthError(Kind::interactionRequired, "Sign in again to continue.");
}

}  // namespace kavo
