#include "account/OAuthSignInService.h"

#include <nlohmann/json.hpp>

#include "account/AuthError.h"
#include "account/IdentityUnavailableError.h"
#include "account/Pkce.h"
#include "account/TenantDiscoveryService.h"
#include "base/Base64.h"
#include "net/KavoAPIError.h"
#include "net/UrlText.h"

namespace kavo {

namespace {

constexpr std::string_view kDeviceCodeGrant = "urn:ietf:params:oauth:grant-type:device_code";
// An access token is not handed out when it has less than this left.
constexpr auto kAccessTokenMargin = std::chrono::minutes(5);

std::string text(const nlohmann::json& json, const char* key) {
    const auto found = json.find(key);
    return found != json.end() && found->is_string() ? found->get<std::string>() : std::string();
}

AuthError silentKavoFailure(const std::string& description) {
    return AuthError::underlying("Could not acquire an access token for the Meridane API: " +
                                 description);
}

}  // namespace

OAuthSignInService::OAuthSignInService(Options options, const Clock& clock)
    : options_(std::move(options)), clock_(clock), cache_(options_.cacheFile) {
    options_.endpoints.validate();
    if (!options_.showDeviceCode) {
        options_.showDeviceCode = [log = log_](const DeviceCodePrompt& prompt) {
            log.notice("{}", prompt.message);
        };
    }
}

std::string OAuthSignInService::scopeText(const std::vector<std::string>& scopes) const {
    std::string joined;
    for (const auto& scope : scopes) {
        joined += scope + " ";
    }
    return joined + "openid profile offline_access";
}

nlohmann::json OAuthSignInService::post(
    std::string_view endpoint, const std::vector<std::pair<std::string, std::string>>& form,
    std::stop_token stop) {
    HTTPRequest request;
    request.method = "POST";
    request.url = options_.endpoints.authority + "/oauth2/v2.0/" + std::string(endpoint);
    request.headers.set("Content-Type", "application/x-www-form-urlencoded");
    request.headers.set("Accept", "application/json");
    request.body = UrlText::formEncode(form);
    request.timeout = std::chrono::seconds(30);
    HTTPResponse response;
    try {
        response = options_.transport->data(request, stop);
    } catch (const TransportError& error) {
        if (error.isCancellation()) throw;
        throw IdentityUnavailableError(error.what());
    }
    const auto json = nlohmann::json::parse(response.body, nullptr, false);
    const int status = response.status;
    if (status >= 200 && status <= 299 && json.is_object()) {
        return json;
    }
    const auto answer = parseOAuthError(response.body);
    // A server fault, a platform answer that says it is one, or a page that is not the
    // platform's (a captive portal's sign-in page, a proxy's error): the platform is out
    // of reach, not refusing the account.
    if (status == 408 || status == 429 || status >= 500 || (answer && isPlatformOutage(*answer)) ||
        (!answer && status < 400)) {
        throw IdentityUnavailableError(
            answer ? (answer->description.empty() ? answer->error : answer->description)
                   : "it answered HTTP " + std::to_string(status) + " without a sign-in answer.");
    }
    if (answer) {
        throw OAuthFailure{std::move(*answer)};
    }
    throw AuthError::underlying("The sign-in service answered HTTP " + std::to_string(status) +
                                ".");
}

OAuthSignInService::TokenAnswer OAuthSignInService::tokenAnswer(const nlohmann::json& json) const {
    TokenAnswer answer;
    answer.accessToken = text(json, "access_token");
    answer.refreshToken = text(json, "refresh_token");
    answer.idToken = text(json, "id_token");
    if (answer.accessToken.empty()) {
        throw AuthError::underlying("The sign-in service returned no access token.");
    }
    const auto expiresIn = json.find("expires_in");
    if (expiresIn != json.end()) {
        std::optional<double> seconds;
        if (expiresIn->is_number()) {
            seconds = expiresIn->get<double>();
        } else if (expiresIn->is_string()) {
            try {
                seconds = std::stod(expiresIn->get<std::string>());
            } catch (const std::exception&) {
            }
        }
        if (seconds) {
            answer.expiresOn = clock_.now() + std::chrono::duration_cast<Duration>(
                                                  std::chrono::duration<double>(*seconds));
        }
    }
    if (const auto clientInfo = base64UrlDecode(text(json, "client_info"))) {
        const auto info = nlohmann::json::parse(*clientInfo, nullptr, false);
        if (info.is_object()) {
            if (auto uid = text(info, "uid"); !uid.empty()) {
                answer.clientInfoUid = uid;
            }
            if (auto utid = text(info, "utid"); !utid.empty()) {
                answer.clientInfoUtid = utid;
            }
        }
    }
    return answer;
}

AccountInfo OAuthSignInService::accountOf(const TokenAnswer& answer, const nlohmann::json& claims) {
    const auto claim = [&](const char* key) -> std::optional<std::string> {
        const auto found = claims.find(key);
        if (found == claims.end() || !found->is_string()) {
            return std::nullopt;
        }
        return found->get<std::string>();
    };
    AccountInfo account;
    account.homeTenantId = answer.clientInfoUtid ? answer.clientInfoUtid : claim("tid");
    const auto uid = answer.clientInfoUid ? answer.clientInfoUid : claim("oid");
    if (uid && account.homeTenantId) {
        account.identifier = *uid + "." + *account.homeTenantId;
    } else {
        account.identifier = uid;
    }
    account.username = claim("preferred_username");
    return account;
}

GraphTokenResult OAuthSignInService::graphResult(const TokenAnswer& answer,
                                                 const AccountInfo& fallback) const {
    GraphTokenResult result;
    result.accessToken = answer.accessToken;
    result.idToken = answer.idToken;
    result.expiresOn = answer.expiresOn;
    if (auto claims = decodeJwtPayload(answer.idToken)) {
        result.claims = std::move(*claims);
    }
    result.account = accountOf(answer, result.claims);
    if (!result.account.homeTenantId) {
        result.account.homeTenantId = fallback.homeTenantId;
    }
    if (!result.account.identifier) {
        result.account.identifier = fallback.identifier;
    }
    if (!result.account.username) {
        result.account.username = fallback.username;
    }
    return result;
}

OAuthSignInService::TokenAnswer OAuthSignInService::browserFlow(
    const std::string& scope, const std::optional<std::string>& loginHint,
    const std::string& prompt, std::stop_token stop) {
    if (!options_.browser) return deviceCodeFlow(scope, stop);
    const auto redirectTarget = options_.browser->listen();
    const std::string redirectURI = redirectTarget->uri();
    const auto pkce = Pkce::make();
    const auto state = randomUrlSafeToken(16);
    std::vector<std::pair<std::string, std::string>> query{
        {"client_id", options_.endpoints.clientId},
        {"response_type", "code"},
        {"redirect_uri", redirectURI},
        {"scope", scope},
        {"code_challenge", pkce.challenge},
        {"code_challenge_method", "S256"},
        {"state", state},
        {"nonce", randomUrlSafeToken(16)},
        {"client_info", "1"}};
    if (!prompt.empty()) {
        query.emplace_back("prompt", prompt);
    }
    if (loginHint) {
        query.emplace_back("login_hint", *loginHint);
    }
    const auto url =
        options_.endpoints.authority + "/oauth2/v2.0/authorize?" + UrlText::formEncode(query);
    if (!options_.browser->open(url)) {
        log_.notice("No browser could be opened; signing in with a device code");
        return deviceCodeFlow(scope, stop);
    }
    const auto answer = redirectTarget->wait(stop, options_.redirectTimeout);
    if (!answer) {
        throw AuthError::cancelled();
    }
    UrlText redirect{"", *answer, std::nullopt};
    if (const auto error = redirect.queryValue("error")) {
        throw mapInteractiveError(
            OAuthErrorAnswer{*error, redirect.queryValue("error_description").value_or(""), ""});
    }
    if (redirect.queryValue("state") != state) {
        throw AuthError::underlying("The sign-in answer did not belong to this sign-in.");
    }
    try {
        return tokenAnswer(post("token",
                                {{"client_id", options_.endpoints.clientId},
                                 {"grant_type", "authorization_code"},
                                 {"code", redirect.queryValue("code").value_or("")},
                                 {"redirect_uri", redirectURI},
                                 {"code_verifier", pkce.verifier},
                                 {"scope", scope},
                                 {"client_info", "1"}},
                                stop));
    } catch (const OAuthFailure& failure) {
        throw mapInteractiveError(failure.answer);
    }
}

OAuthSignInService::TokenAnswer OAuthSignInService::deviceCodeFlow(const std::string& scope,
                                                                   std::stop_token stop) {
    nlohmann::json code;
    try {
        code = post("devicecode", {{"client_id", options_.endpoints.clientId}, {"scope", scope}},
                    stop);
    } catch (const OAuthFailure& failure) {
        throw mapInteractiveError(failure.answer);
    }
    const auto deviceCode = text(code, "device_code");
    if (deviceCode.empty()) {
        throw AuthError::underlying("The sign-in service returned no device code.");
    }
    auto interval = std::chrono::seconds(code.value("interval", 5));
    const auto deadline = clock_.now() + std::chrono::seconds(code.value("expires_in", 900));
    options_.showDeviceCode(DeviceCodePrompt{text(code, "message"), text(code, "user_code"),
                                             text(code, "verification_uri")});
    while (true) {
        if (!clock_.sleepFor(interval, stop)) {
            throw AuthError::cancelled();
        }
        try {
            return tokenAnswer(post("token",
                                    {{"client_id", options_.endpoints.clientId},
                                     {"grant_type", std::string(kDeviceCodeGrant)},
                                     {"device_code", deviceCode},
                                     {"client_info", "1"}},
                                    stop));
        } catch (const OAuthFailure& failure) {
            if (failure.answer.error == "slow_down") {
                interval += std::chrono::seconds(5);
            } else if (failure.answer.error != "authorization_pending") {
                throw mapInteractiveError(failure.answer);
            }
        }
        if (clock_.now() >= deadline) {
            throw AuthError::underlying("The sign-in code expired before it was used.");
        }
    }
}

OAuthSignInService::TokenAnswer OAuthSignInService::interactive(
    const std::vector<std::string>& scopes, const std::optional<std::string>& loginHint,
    const std::string& prompt, std::stop_token stop) {
    try {
        return browserFlow(scopeText(scopes), loginHint, prompt, stop);
    } catch (const TransportError& error) {
        if (error.isCancellation()) {
            throw AuthError::cancelled();
        }
        throw AuthError::underlying(error.what());
    } catch (const KavoAPIError& error) {
        throw AuthError::underlying(error.what());
    } catch (const AuthError&) {
        throw;
    } catch (const Error& error) {
        throw AuthError::underlying(error.what());
    }
}

OAuthSignInService::TokenAnswer OAuthSignInService::refresh(const std::string& refreshToken,
                                                            const std::vector<std::string>& scopes,
                                                            std::stop_token stop) {
    return tokenAnswer(post("token",
                            {{"client_id", options_.endpoints.clientId},
                             {"grant_type", "refresh_token"},
                             {"refresh_token", refreshToken},
                             {"scope", scopeText(scopes)},
                             {"client_info", "1"}},
                            stop));
}

std::string OAuthSignInService::acquireKavoToken(TokenCacheFile::Account& account,
                                                 std::stop_token stop) {
    TokenAnswer answer;
    try {
        answer = refresh(account.refreshToken, options_.endpoints.kavoScopes, stop);
    } catch (const OAuthFailure& failure) {
        if (needsInteraction(failure.answer)) {
            throw AuthError::underlying(
                "Tenant admin needs to consent to the Meridane API for this organisation. Open the "
                "admin consent "
                "URL or ask your IT admin.");
        }
        throw silentKavoFailure(failure.answer.description.empty() ? failure.answer.error
                                                                   : failure.answer.description);
    } catch (const AuthError& error) {
        throw silentKavoFailure(error.what());
    } catch (const KavoAPIError& error) {
        throw silentKavoFailure(error.what());
    }
    if (!answer.refreshToken.empty()) {
        account.refreshToken = answer.refreshToken;
    }
    keep(account, scopeText(options_.endpoints.kavoScopes), answer);
    return answer.accessToken;
}

std::string OAuthSignInService::acquireKavoTokenWithInteractiveFallback(
    TokenCacheFile::Account& account, std::stop_token stop) {
    try {
        return acquireKavoToken(account, stop);
    } catch (const AuthError& error) {
        log_.info("Kavo silent token failed, falling back to interactive consent: {}",
                  error.what());
    }
    const auto answer = interactive(options_.endpoints.kavoScopes, account.info.username, "", stop);
    if (!answer.refreshToken.empty()) {
        account.refreshToken = answer.refreshToken;
    }
    keep(account, scopeText(options_.endpoints.kavoScopes), answer);
    return answer.accessToken;
}

void OAuthSignInService::remember(const TokenCacheFile::Account& account) {
    std::lock_guard guard(cacheLock_);
    std::vector<TokenCacheFile::Account> accounts;
    try {
        accounts = cache_.accounts();
    } catch (const std::exception&) {
        // A damaged cache is replaced by the account that just signed in.
    }
    std::erase_if(accounts, [&](const auto& cached) {
        return cached.info.identifier == account.info.identifier;
    });
    accounts.insert(accounts.begin(), account);
    cache_.save(accounts);
}

AppSession OAuthSignInService::signIn(std::stop_token stop) {
    {
        // Tokens of an earlier account must not outlive a new sign-in.
        std::lock_guard guard(tokensLock_);
        accessTokens_.clear();
    }
    const auto graph =
        interactive(options_.endpoints.graphScopes, std::nullopt, "select_account", stop);
    const auto result = graphResult(graph, {});
    TokenCacheFile::Account account{result.account, graph.refreshToken, graph.idToken, {}};
    keep(account, scopeText(options_.endpoints.graphScopes), graph);
    if (account.refreshToken.empty()) {
        throw AuthError::underlying("The sign-in service returned no refresh token.");
    }
    const auto kavo = acquireKavoTokenWithInteractiveFallback(account, stop);
    try {
        remember(account);
    } catch (const std::exception& error) {
        throw AuthError::underlying(std::string("Could not save the sign-in: ") + error.what());
    }
    const auto session = makeSession(result, kavo, clock_.now());
    log_.info("Interactive sign-in: tid={} email={}", session.tenantId, session.email);
    return session;
}

std::optional<AppSession> OAuthSignInService::silentSignIn(std::stop_token stop) {
    std::vector<TokenCacheFile::Account> accounts;
    try {
        std::lock_guard guard(cacheLock_);
        accounts = cache_.accounts();
    } catch (const std::exception& error) {
        log_.notice("Silent sign-in failed: {}", error.what());
        return std::nullopt;
    }
    if (accounts.empty()) {
        return std::nullopt;
    }
    auto account = accounts.front();
    try {
        TokenAnswer graph;
        try {
            graph = refresh(account.refreshToken, options_.endpoints.graphScopes, stop);
        } catch (const OAuthFailure& failure) {
            throw mapInteractiveError(failure.answer);
        }
        if (!graph.refreshToken.empty()) {
            account.refreshToken = graph.refreshToken;
        }
        if (!graph.idToken.empty()) {
            account.idToken = graph.idToken;
        }
        keep(account, scopeText(options_.endpoints.graphScopes), graph);
        const auto result = graphResult(graph, account.info);
        const auto kavo = acquireKavoToken(account, stop);
        remember(account);
        return makeSession(result, kavo, clock_.now());
    } catch (const IdentityUnavailableError& error) {
        // The account is remembered and nothing refused it: recording goes on, and what
        // needs a token waits until the platform can be reached.
        log_.notice("Signed in offline: {}", error.what());
        try {
            remember(account);
        } catch (const std::exception& saveError) {
            log_.error("Could not save the sign-in cache: {}", saveError.what());
        }
        return offlineSession(account);
    } catch (const std::exception& error) {
        log_.notice("Silent sign-in failed: {}", error.what());
        // The account needs the user again: nothing kept for it may stand in meanwhile.
        forgetAccessTokens(account);
        return std::nullopt;
    }
}

void OAuthSignInService::forgetAccessTokens(TokenCacheFile::Account account) {
    {
        std::lock_guard guard(tokensLock_);
        accessTokens_.clear();
    }
    if (account.accessTokens.empty()) return;
    account.accessTokens.clear();
    try {
        remember(account);
    } catch (const std::exception& error) {
        log_.error("Could not save the sign-in cache: {}", error.what());
    }
}

AppSession OAuthSignInService::offlineSession(const TokenCacheFile::Account& account) const {
    TokenAnswer graph;
    graph.idToken = account.idToken;
    const auto cached =
        [&](const std::vector<std::string>& scopes) -> const TokenCacheFile::AccessToken* {
        const auto found = account.accessTokens.find(scopeText(scopes));
        return found == account.accessTokens.end() ? nullptr : &found->second;
    };
    if (const auto* token = cached(options_.endpoints.graphScopes)) {
        graph.accessToken = token->token;
        graph.expiresOn = token->expiresOn;
    }
    const auto* kavo = cached(options_.endpoints.kavoScopes);
    return makeSession(graphResult(graph, account.info), kavo ? kavo->token : std::string(),
                       clock_.now());
}

void OAuthSignInService::keep(TokenCacheFile::Account& account, const std::string& scope,
                              const TokenAnswer& answer) {
    if (!answer.expiresOn) return;
    account.accessTokens[scope] = {answer.accessToken, *answer.expiresOn};
    std::lock_guard guard(tokensLock_);
    accessTokens_[scope] = {answer.accessToken, *answer.expiresOn};
}

std::string OAuthSignInService::currentToken(const std::vector<std::string>& scopes,
                                             std::stop_token stop) {
    const auto key = scopeText(scopes);
    {
        std::lock_guard guard(tokensLock_);
        const auto found = accessTokens_.find(key);
        if (found != accessTokens_.end() &&
            found->second.second - kAccessTokenMargin > clock_.now()) {
            return found->second.first;
        }
    }
    std::vector<TokenCacheFile::Account> accounts;
    try {
        std::lock_guard guard(cacheLock_);
        accounts = cache_.accounts();
    } catch (const std::exception&) {
        throw AuthError::interactionRequired();
    }
    if (accounts.empty()) {
        throw AuthError::interactionRequired();
    }
    auto account = accounts.front();
    // A token kept from an earlier launch is as good as one from this launch.
    if (const auto kept = account.accessTokens.find(key);
        kept != account.accessTokens.end() &&
        kept->second.expiresOn - kAccessTokenMargin > clock_.now()) {
        std::lock_guard guard(tokensLock_);
        accessTokens_[key] = {kept->second.token, kept->second.expiresOn};
        return kept->second.token;
    }
    TokenAnswer answer;
    try {
        answer = refresh(account.refreshToken, scopes, stop);
    } catch (const OAuthFailure& failure) {
        if (needsInteraction(failure.answer)) {
            throw AuthError::interactionRequired();
        }
        throw AuthError::underlying(
            failure.answer.description.empty() ? failure.answer.error : failure.answer.description);
    }
    if (!answer.refreshToken.empty()) {
        account.refreshToken = answer.refreshToken;
    }
    keep(account, key, answer);
    try {
        remember(account);
    } catch (const std::exception& error) {
        log_.error("Could not save the sign-in cache: {}", error.what());
    }
    return answer.accessToken;
}

std::string OAuthSignInService::kavoToken(std::stop_token stop) {
    return currentToken(options_.endpoints.kavoScopes, stop);
}

void OAuthSignInService::signOut() {
    {
        std::lock_guard guard(tokensLock_);
        accessTokens_.clear();
    }
    std::lock_guard guard(cacheLock_);
    std::vector<TokenCacheFile::Account> accounts;
    try {
        accounts = cache_.accounts();
    } catch (const std::exception& error) {
        // A damaged cache holds nothing usable; removing it is the sign-out.
        std::error_code removeError;
        std::filesystem::remove(cache_.file(), removeError);
        if (removeError) {
            log_.error("Sign-out failed: {}", removeError.message());
            return;
        }
        log_.info("Signed out: removed {} account(s)", 0);
        return;
    }
    const auto listed = accounts.size();
    while (!accounts.empty()) {
        accounts.erase(accounts.begin());
        try {
            cache_.save(accounts);
        } catch (const std::exception& error) {
            log_.error("Sign-out failed: {}", error.what());
            return;
        }
    }
    log_.info("Signed out: removed {} account(s)", listed);
}

}  // namespace kavo
