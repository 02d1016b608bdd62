#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "account/AuthError.h"
#include "account/IdentityUnavailableError.h"
#include "account/OAuthSignInService.h"
#include "platform/linux/XdgSignInBrowser.h"
#include "support/ManualClock.h"
#include "support/RecordingTransport.h"
#include "support/TempDir.h"

// Silent sign-in runs against the dev stack; here token reuse and outages told from refusals.

namespace kavo::linux_platform {
namespace {

std::string tokenBody(const std::string& access, const std::string& refresh) {
    return nlohmann::json{{"token_type", "Bearer"},
                          {"access_token", access},
                          {"refresh_token", refresh},
                          {"expires_in", 3600}}
        .dump();
}

std::string errorBody(const std::string& error, const std::string& description = "AADSTS0: no") {
    return nlohmann::json{{"error", error}, {"error_description", description}}.dump();
}

// The service with a cache of accounts already signed in, and token answers from a script.
struct SilentSignIn : ::testing::Test {
    kavo::testing::TempDir dir;
    ManualClock clock;
    std::shared_ptr<kavo::testing::RecordingTransport> transport =
        std::make_shared<kavo::testing::RecordingTransport>();
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
        options.browser =
            std::make_shared<linux_platform::XdgSignInBrowser>([](const std::string&) {
                ADD_FAILURE() << "opened a browser";
                return false;
            });
        return OAuthSignInService(std::move(options), clock);
    }
};

TEST_F(SilentSignIn,
       KavoTokenFailuresAreRefusalsOrPassingOutagesAndTokensAreKeptUntilNearTheirEnd) {
    // Only the platform refusing the account asks for the user again; a page that is not
    // its answer is an outage that waiting heals (its own 503 is met against the dev stack).
    enum class Means { signInAgain, failure, outage };
    const struct {
        int status;
        std::string body;
        Means means;
    } cases[] = {
        {400, errorBody("invalid_grant"), Means::signInAgain},
        {400, errorBody("invalid_client"), Means::failure},
        {502, "<html>Bad gateway</html>", Means::outage},
        {200, "<html>Sign in to the hotel Wi-Fi</html>", Means::outage},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        transport->enqueue(c.status, c.body);
        try {
            service().kavoToken();
            ADD_FAILURE() << "no error";
        } catch (const AuthError& error) {
            EXPECT_EQ(error.kind() == AuthError::Kind::interactionRequired,
                      c.means == Means::signInAgain);
            EXPECT_NE(c.means, Means::outage) << error.what();
        } catch (const IdentityUnavailableError& error) {
            EXPECT_EQ(c.means, Means::outage) << error.what();
        }
    }
    transport->enqueueError(TransportError(TransportError::Kind::timedOut));
    EXPECT_THROW(service().kavoToken(), IdentityUnavailableError);

    transport->enqueue(200, tokenBody("kavo-1", "r"));
    EXPECT_EQ(service().kavoToken(), "kavo-1");
    EXPECT_EQ(service().kavoToken(), "kavo-1") << "kept in the cache file, for the next launch too";
    clock.advance(seconds(3400));
    transport->enqueue(200, tokenBody("kavo-2", "r2"));
    EXPECT_EQ(service().kavoToken(), "kavo-2");
}

}  // namespace
}  // namespace kavo::linux_platform
