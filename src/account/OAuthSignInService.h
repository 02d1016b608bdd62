#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "account/AuthService.h"
#include "account/Endpoints.h"
#include "account/SessionBuilder.h"
#include "account/SignInBrowser.h"
#include "account/TokenCacheFile.h"
#include "base/Clock.h"
#include "base/Log.h"
#include "net/HTTPTransport.h"

namespace kavo {

// Microsoft sign-in as a native app: the authorization code flow with PKCE in the
// user's browser, answered on a redirect to this computer, or the device-code flow when no
// browser opens. The Graph scope comes first (the sign-in proper), then the Kavo API
// scope from the same refresh token. Accounts, refresh tokens, id tokens and access tokens
// with their expiry live in the cache file, so that a remembered account is signed in
// when the platform cannot be reached; only a refresh token it refuses signs it out.
class OAuthSignInService final : public AuthService {
public:
    struct DeviceCodePrompt {
        std::string message;
        std::string userCode;
        std::string verificationURI;
    };

    struct Options {
        Endpoints endpoints;
        std::filesystem::path cacheFile;
        std::shared_ptr<HTTPTransport> transport;
        // None: every interactive sign-in uses a device code.
        std::shared_ptr<SignInBrowser> browser;
        // Shows the device code to the user; by default it is logged.
        std::function<void(const DeviceCodePrompt&)> showDeviceCode;
        std::chrono::milliseconds redirectTimeout{std::chrono::minutes(5)};
    };

    // The cache file's name in the configuration folder.
    static constexpr std::string_view kCacheFileName = "signin-cache.json";

    OAuthSignInService(Options options, const Clock& clock);

    AppSession signIn(std::stop_token stop = {}) override;
    std::optional<AppSession> silentSignIn(std::stop_token stop = {}) override;
    void signOut() override;
    std::string kavoToken(std::stop_token stop = {}) override;

    // A silent token for `scopes` from the first cached account. Throws AuthError.
    std::string currentToken(const std::vector<std::string>& scopes, std::stop_token stop = {});

private:
    struct TokenAnswer {
        std::string accessToken;
        std::string refreshToken;
        std::string idToken;
        std::optional<WallTime> expiresOn;
        std::optional<std::string> clientInfoUid;
        std::optional<std::string> clientInfoUtid;
    };

    // An error answer of the token or device-code endpoint.
    struct OAuthFailure {
        OAuthErrorAnswer answer;
    };

    TokenAnswer interactive(const std::vector<std::string>& scopes,
                            const std::optional<std::string>& loginHint, const std::string& prompt,
                            std::stop_token stop);
    TokenAnswer browserFlow(const std::string& scope, const std::optional<std::string>& loginHint,
                            const std::string& prompt, std::stop_token stop);
    TokenAnswer deviceCodeFlow(const std::string& scope, std::stop_token stop);
    TokenAnswer refresh(const std::string& refreshToken, const std::vector<std::string>& scopes,
                        std::stop_token stop);
    std::string acquireKavoToken(TokenCacheFile::Account& account, std::stop_token stop);
    // The session of a remembered account built from what the cache kept, for when the
    // platform cannot be reached.
    AppSession offlineSession(const TokenCacheFile::Account& account) const;
    // Drops the access tokens kept for `account`.
    void forgetAccessTokens(TokenCacheFile::Account account);
    // Keeps the answer's access token for `scope`, in memory and in `account`.
    void keep(TokenCacheFile::Account& account, const std::string& scope,
              const TokenAnswer& answer);
    std::string acquireKavoTokenWithInteractiveFallback(TokenCacheFile::Account& account,
                                                        std::stop_token stop);
    // POSTs the form to `{authority}/oauth2/v2.0/{endpoint}`. Throws OAuthFailure,
    // TransportError or AuthError (an answer that is not the platform's).
    nlohmann::json post(std::string_view endpoint,
                        const std::vector<std::pair<std::string, std::string>>& form,
                        std::stop_token stop);
    TokenAnswer tokenAnswer(const nlohmann::json& json) const;
    static AccountInfo accountOf(const TokenAnswer& answer, const nlohmann::json& claims);
    GraphTokenResult graphResult(const TokenAnswer& answer, const AccountInfo& fallback) const;
    // Puts `account` first in the cache, replacing its earlier copy.
    void remember(const TokenCacheFile::Account& account);
    std::string scopeText(const std::vector<std::string>& scopes) const;

    Options options_;
    const Clock& clock_;
    TokenCacheFile cache_;
    std::mutex cacheLock_;
    std::mutex tokensLock_;
    // Access tokens by scope text, with their expiry.
    std::map<std::string, std::pair<std::string, WallTime>> accessTokens_;
    Logger log_{"MSALAuthService"};
};

}  // namespace kavo
