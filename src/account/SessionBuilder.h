#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "account/AppSession.h"
#include "account/AuthError.h"

namespace kavo {

// The cached account a token answer belongs to.
struct AccountInfo {
    std::optional<std::string> homeTenantId;
    std::optional<std::string> identifier;
    std::optional<std::string> username;
    bool operator==(const AccountInfo&) const = default;
};

// What the identity platform answered to the Graph token request.
struct GraphTokenResult {
    std::string accessToken;
    std::string idToken;
    std::optional<WallTime> expiresOn;
    // The id token's claims; an empty object when there is no id token.
    nlohmann::json claims = nlohmann::json::object();
    AccountInfo account;
};

// The payload of a JWT as a JSON object; nothing when it is not one.
std::optional<nlohmann::json> decodeJwtPayload(std::string_view token);

// The session the rest of the system sees: each identity field from its claim (only a
// string counts), else the account's property, else "". Without an expiry the session
// lasts an hour from `now`.
AppSession makeSession(const GraphTokenResult& graph, const std::string& kavoToken, WallTime now);

// An error answer of the identity platform ("error", "error_description", "suberror").
struct OAuthErrorAnswer {
    std::string error;
    std::string description;
    std::string suberror;
};

// The identity platform's error answer in `body`, if it is one.
std::optional<OAuthErrorAnswer> parseOAuthError(std::string_view body);

// For interactive requests: "interaction_required", "consent_required", "invalid_grant"
// and "login_required" mean the user must sign in again, "access_denied" (and a declined
// device code) that the user cancelled; anything else carries the platform's description.
AuthError mapInteractiveError(const OAuthErrorAnswer& answer);

// Whether the answer means the account needs the user again (rather than a fault).
bool needsInteraction(const OAuthErrorAnswer& answer);

// Whether the answer is the platform's own passing fault ("temporarily_unavailable",
// "server_error"): the request is worth making again later.
bool isPlatformOutage(const OAuthErrorAnswer& answer);

}  // namespace kavo
