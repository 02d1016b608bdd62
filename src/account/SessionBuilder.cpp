#include "account/SessionBuilder.h"

#include "account/Pkce.h"
#include "base/Base64.h"

namespace kavo {

namespace {

std::optional<std::string> stringClaim(const nlohmann::json& claims, const char* key) {
    if (!claims.is_object()) {
        return std::nullopt;
    }
    const auto found = claims.find(key);
    if (found == claims.end() || !found->is_string()) {
        return std::nullopt;
    }
    return found->get<std::string>();
}

std::optional<std::string> firstWord(const std::string& text) {
    std::size_t start = 0;
    while (start < text.size()) {
        const auto end = text.find(' ', start);
        if (end != start) {
            return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        }
        start = end + 1;
    }
    return std::nullopt;
}

}  // namespace

std::optional<nlohmann::json> decodeJwtPayload(std::string_view token) {
    const auto first = token.find('.');
    if (first == std::string_view::npos) {
        return std::nullopt;
    }
    const auto second = token.find('.', first + 1);
    if (second == std::string_view::npos) {
        return std::nullopt;
    }
    const auto payload = base64UrlDecode(token.substr(first + 1, second - first - 1));
    if (!payload) {
        return std::nullopt;
    }
    auto json = nlohmann::json::parse(*payload, nullptr, false);
    if (json.is_discarded() || !json.is_object()) {
        return std::nullopt;
    }
    return json;
}

AppSession makeSession(const GraphTokenResult& graph, const std::string& kavoToken, WallTime now) {
    const auto& claims = graph.claims;
    const auto& account = graph.account;
    AppSession session;
    session.tenantId = stringClaim(claims, "tid").value_or(account.homeTenantId.value_or(""));
    session.userId = stringClaim(claims, "oid").value_or(account.identifier.value_or(""));
    session.email =
        stringClaim(claims, "email")
            .value_or(
                stringClaim(claims, "preferred_username").value_or(account.username.value_or("")));
    session.name = stringClaim(claims, "name").value_or(account.username.value_or(""));
    session.givenName =
        stringClaim(claims, "given_name").value_or(firstWord(session.name).value_or(session.name));
    session.idToken = graph.idToken;
    session.graphAccessToken = graph.accessToken;
    session.kavoAccessToken = kavoToken;
    session.expiresAt = graph.expiresOn.value_or(now + std::chrono::seconds(3600));
    return session;
}

std::optional<OAuthErrorAnswer> parseOAuthError(std::string_view body) {
    const auto json = nlohmann::json::parse(body, nullptr, false);
    if (json.is_discarded() || !json.is_object()) {
        return std::nullopt;
    }
    const auto text = [&](const char* key) { return stringClaim(json, key).value_or(""); };
    auto answer = OAuthErrorAnswer{text("error"), text("error_description"), text("suberror")};
    if (answer.error.empty()) {
        return std::nullopt;
    }
    return answer;
}

bool needsInteraction(const OAuthErrorAnswer& answer) {
    return answer.error == "interaction_required" || answer.error == "consent_required" ||
           answer.error == "invalid_grant" || answer.error == "login_required";
}

bool isPlatformOutage(const OAuthErrorAnswer& answer) {
    return answer.error == "temporarily_unavailable" || answer.error == "server_error";
}

AuthError mapInteractiveError(const OAuthErrorAnswer& answer) {
    if (needsInteraction(answer)) {
        return AuthError::interactionRequired();
    }
    if (answer.error == "access_denied" || answer.error == "authorization_declined") {
        return AuthError::cancelled();
    }
    return AuthError::underlying(answer.description.empty() ? answer.error : answer.description);
}

}  // namespace kavo
