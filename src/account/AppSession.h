#pragma once

#include <string>

#include "base/Clock.h"

namespace kavo {

// The signed-in identity as the rest of the system sees it.
struct AppSession {
    std::string tenantId;
    std::string userId;
    std::string email;
    std::string name;
    std::string givenName;
    std::string idToken;
    std::string graphAccessToken;
    std::string kavoAccessToken;
    WallTime expiresAt;

    bool operator==(const AppSession&) const = default;
};

}  // namespace kavo
