#include <gtest/gtest.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "account/AuthError.h"
#include "account/Pkce.h"
#include "base/ManualClock.h"
#include "platform/linux/OAuthSignInService.h"
#include "support/RecordingTransport.h"
#include "support/TempDir.h"
#include "upload/UrlText.h"

namespace kavo::linux_platform {
namespace {

using kavo::testing::RecordingTransport;
using kavo::testing::TempDir;

std::string jwt(const nlohmann::json& payload) {
    return base64UrlEncode(R"({"alg":"none"})") + "." + base64UrlEncode(payload.dump()) + ".sig";
}

std::string tokenBody(const std::string& access, const std::string& refresh, const nlohmann::json& idClaims,
                      std::optional<int> expiresIn = 3600) {
    nlohmann::json body{{"token_type", "Bearer"}, {"access_token", access}, {"refresh_token", refresh}};
    if (!idClaims.is_null()) {
        body["id_token"] = jwt(idClaims);
    }
    if (expiresIn) {
        body["expires_in"] = *expiresIn;
    }
    return body.dump();
}

std::string errorBody(const std::string& error, const std::string& description = "AADSTS00000: nope") {
    return nlohmann::json{{"error", error}, {"error_description", description}}.dump();
}

// The service with a cache of accounts already signed in, and token answers from a script.
struct SilentSignIn : ::testing::Test {
    TempDir dir;
    ManualClock clock;
    std::shared_ptr<RecordingTransport> transport = std::make_shared<RecordingTransport>();
    TokenCacheFile cache{dir / "config" / "signin-cache.json"};

    SilentSignIn() {
        cache.save({{AccountInfo{"tid-1", "uid-1.tid-1", "first@contoso.test"}, "refresh-1"},
                    {AccountInfo{"tid-2", "uid-2.tid-2", "second@contoso.test"}, "refresh-2"}});
    }

    OAuthSignInService service() {
        OAuthSignInService::Options options;
        options.endpoints = Endpoints::fromOverride(
            R"({"authority":"http://127.0.0.1:9/organizations","apiApplicationId":"api-id"})");
        options.cacheFile = cache.file();
        options.transport = transport;
        options.openURL = [](const std::string&) {
            ADD_FAILURE() << "opened a browser";
            return false;
        };
        return OAuthSignInService(std::move(options), clock);
    }

    std::map<std::string, std::string> form(std::size_t request) const {
        std::map<std::string, std::string> fields;
        const UrlText body{"", transport->requests().at(request).body, std::nullopt};
        for (const auto* name : {"grant_type", "refresh_token", "scope", "client_id"}) {
            fields[name] = body.queryValue(name).value_or("");
        }
        return fields;
    }
};

TEST_F(SilentSignIn, UsesTheFirstAccountForGraphThenTheKavoScopeAndKeepsTheRotatedToken) {
    transport->enqueue(200, tokenBody("graph-access", "refresh-1b",
                                      {{"tid", "T"}, {"oid", "O"}, {"email", "e@contoso.test"}, {"name", "Avery Quinn"}}));
    transport->enqueue(200, tokenBody("kavo-access", "refresh-1c", nullptr));
    const auto session = service().silentSignIn();
    ASSERT_TRUE(session);
    EXPECT_EQ(session->tenantId, "T");
    EXPECT_EQ(session->givenName, "Avery");
    EXPECT_EQ(session->graphAccessToken, "graph-access");
    EXPECT_EQ(session->kavoAccessToken, "kavo-access");
    EXPECT_EQ(session->expiresAt, clock.now() + std::chrono::seconds(3600));

    const auto graph = form(0);
    EXPECT_EQ(transport->requests().at(0).url, "http://127.0.0.1:9/organizations/oauth2/v2.0/token");
    EXPECT_EQ(graph.at("grant_type"), "refresh_token");
    EXPECT_EQ(graph.at("refresh_token"), "refresh-1");
    EXPECT_EQ(graph.at("scope"), "User.Read openid profile offline_access");
    const auto kavo = form(1);
    EXPECT_EQ(kavo.at("refresh_token"), "refresh-1b");
    EXPECT_EQ(kavo.at("scope"), "api://api-id/KavoMeetings.Use openid profile offline_access");

    const auto accounts = cache.accounts();
    ASSERT_EQ(accounts.size(), 2u);
    EXPECT_EQ(accounts.at(0).refreshToken, "refresh-1c");
    EXPECT_EQ(accounts.at(1).refreshToken, "refresh-2");
    struct stat info {};
    ASSERT_EQ(::stat(cache.file().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(SilentSignIn, WithoutIdTokenOrExpiryTheAccountAndAnHourStandIn) {
    transport->enqueue(200, tokenBody("graph-access", "", nullptr, std::nullopt));
    transport->enqueue(200, tokenBody("kavo-access", "", nullptr));
    const auto session = service().silentSignIn();
    ASSERT_TRUE(session);
    EXPECT_EQ(session->tenantId, "tid-1");
    EXPECT_EQ(session->userId, "uid-1.tid-1");
    EXPECT_EQ(session->email, "first@contoso.test");
    EXPECT_EQ(session->name, "first@contoso.test");
    EXPECT_EQ(session->idToken, "");
    EXPECT_EQ(session->expiresAt, clock.now() + std::chrono::seconds(3600));
    EXPECT_EQ(cache.accounts().at(0).refreshToken, "refresh-1") << "no new refresh token: the old one stays";
}

TEST_F(SilentSignIn, FailuresOnlyLogAndLeaveNoTokenInTheLog) {
    LogCapture logs;
    transport->enqueue(200, tokenBody("graph-secret", "refresh-secret", nullptr));
    transport->enqueue(400, nlohmann::json{{"error", "invalid_grant"},
                                           {"error_description", "AADSTS65001: no consent"},
                                           {"suberror", "consent_required"}}
                                .dump());
    EXPECT_EQ(service().silentSignIn(), std::nullopt);
    EXPECT_EQ(logs.messages("MSALAuthService"),
              std::vector<std::string>{"Silent sign-in failed: Tenant admin needs to consent to the Meridane API for "
                                       "this organisation. Open the admin consent URL or ask your IT admin."});

    logs.clear();
    transport->enqueue(200, tokenBody("graph-secret", "refresh-secret", nullptr));
    transport->enqueue(500, errorBody("server_error", "AADSTS90000: down"));
    EXPECT_EQ(service().silentSignIn(), std::nullopt);
    EXPECT_EQ(logs.messages("MSALAuthService"),
              std::vector<std::string>{
                  "Silent sign-in failed: Could not acquire an access token for the Meridane API: AADSTS90000: down"});

    logs.clear();
    transport->enqueue(400, errorBody("invalid_grant"));
    EXPECT_EQ(service().silentSignIn(), std::nullopt);
    EXPECT_EQ(logs.messages("MSALAuthService"), std::vector<std::string>{"Silent sign-in failed: Sign in again to continue."});
    for (const auto& entry : logs.entries()) {
        EXPECT_EQ(entry.message.find("secret"), std::string::npos);
    }
}

TEST_F(SilentSignIn, KavoTokensMapRefusalsAndPassTransportErrorsThrough) {
    const auto kind = [&](int status, const std::string& body) {
        transport->enqueue(status, body);
        try {
            service().kavoToken();
        } catch (const AuthError& error) {
            return error;
        }
        return AuthError::underlying("no error");
    };
    EXPECT_EQ(kind(400, errorBody("invalid_grant")), AuthError::interactionRequired());
    EXPECT_EQ(kind(400, errorBody("interaction_required")), AuthError::interactionRequired());
    EXPECT_EQ(kind(400, errorBody("consent_required")), AuthError::interactionRequired());
    EXPECT_EQ(kind(503, errorBody("temporarily_unavailable", "AADSTS1: busy")), AuthError::underlying("AADSTS1: busy"));
    EXPECT_EQ(form(0).at("refresh_token"), "refresh-1");

    transport->enqueueError(TransportError(TransportError::Kind::timedOut));
    EXPECT_THROW(service().kavoToken(), TransportError);

    transport->enqueue(200, tokenBody("kavo-1", "r", nullptr, 3600));
    auto auth = service();
    EXPECT_EQ(auth.kavoToken(), "kavo-1");
    EXPECT_EQ(auth.kavoToken(), "kavo-1") << "a token with time left is reused";
    clock.advance(seconds(3400));
    transport->enqueue(200, tokenBody("kavo-2", "r2", nullptr, 3600));
    EXPECT_EQ(auth.kavoToken(), "kavo-2") << "less than five minutes left: refreshed";
}

}  // namespace
}  // namespace kavo::linux_platform
