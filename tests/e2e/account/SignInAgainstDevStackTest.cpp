#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <mutex>
#include <vector>

#include "account/AuthError.h"
#include "account/Endpoints.h"
#include "account/OAuthSignInService.h"
#include "base/AtomicFile.h"
#include "net/KavoAPIClient.h"
#include "net/UrlText.h"
#include "platform/linux/XdgSignInBrowser.h"
#include "support/StackTest.h"
#include "support/TempDir.h"

namespace kavo {
namespace {

class SignInAgainstDevStack : public testing::StackTest {
protected:
    std::filesystem::path cacheFile() const {
        return config_ / "kavo-meetings" / "signin-cache.json";
    }

    // Plays the browser: follows the authorize URL to the loopback redirect, keeps its page.
    linux_platform::OpenURL browser() {
        return [this](const std::string& url) {
            std::lock_guard guard(lock_);
            browserVisits_.push_back(std::async(std::launch::async, [url] {
                HTTPRequest request;
                request.url = url;
                return transport_->data(request);
            }));
            return true;
        };
    }

    static bool noBrowser(const std::string&) { return false; }

    OAuthSignInService service(linux_platform::OpenURL openURL) {
        OAuthSignInService::Options options;
        // As the app reads them: the file the stack wrote, as KAVO_ENDPOINTS names it.
        options.endpoints = Endpoints::load(stack_->endpoints().at("dataDir").get<std::string>() +
                                            "/endpoints.json");
        options.cacheFile = cacheFile();
        options.transport = transport_;
        options.browser = std::make_shared<linux_platform::XdgSignInBrowser>(std::move(openURL));
        options.redirectTimeout = std::chrono::seconds(30);
        return OAuthSignInService(std::move(options), systemClock_);
    }

    AuthError signInFailure(std::optional<linux_platform::OpenURL> openURL = std::nullopt) {
        try {
            service(openURL.value_or(browser())).signIn();
        } catch (const AuthError& error) {
            return error;
        }
        ADD_FAILURE() << "sign-in succeeded";
        return AuthError::underlying("");
    }

    // The user the Kavo API sees behind `token`.
    std::string currentUserEmail(const std::string& token) const {
        return KavoAPIClient(stack_->tenantBaseURL("contoso"), transport_,
                             [token](std::stop_token) { return token; })
            .currentUser()
            .email;
    }

    static inline SystemClock systemClock_;
    testing::TempDir config_;
    std::mutex lock_;
    // Declared last: each visit is waited for before the rest goes.
    std::vector<std::future<HTTPResponse>> browserVisits_;
};

TEST_F(SignInAgainstDevStack, ABrowserSignInHoldsUntilSignOutARevocationOrACorruptCache) {
    LogCapture logs;
    const auto first = service(browser()).signIn();
    EXPECT_EQ(first.userId, defaultUser("oid"));
    EXPECT_EQ(currentUserEmail(first.kavoAccessToken), "avery.quinn@contoso.test");
    ASSERT_EQ(browserVisits_.size(), 1u);
    EXPECT_EQ(browserVisits_.front().get().status, 200) << "the loopback redirect's page";
    EXPECT_EQ(std::filesystem::status(cacheFile()).permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    const auto refreshToken = nlohmann::json::parse(readFileIfExists(cacheFile()).value())
                                  .at("accounts")
                                  .at(0)
                                  .at("refreshToken")
                                  .get<std::string>();
    for (const auto& entry : logs.entries()) {
        for (const auto& secret :
             {first.kavoAccessToken, first.graphAccessToken, first.idToken, refreshToken}) {
            EXPECT_EQ(entry.message.find(secret), std::string::npos) << entry.message;
        }
    }

    auto relaunched = service([](const std::string&) {
        ADD_FAILURE() << "a silent sign-in opened the browser";
        return false;
    });
    const auto session = relaunched.silentSignIn();
    ASSERT_TRUE(session);
    EXPECT_EQ(session->tenantId, defaultUser("tenantId"));
    EXPECT_EQ(currentUserEmail(session->kavoAccessToken), "avery.quinn@contoso.test");
    EXPECT_EQ(currentUserEmail(relaunched.kavoToken()), "avery.quinn@contoso.test");
    relaunched.signOut();
    EXPECT_EQ(service(noBrowser).silentSignIn(), std::nullopt);

    service(browser()).signIn();
    stack_->adminPost("/users/avery.quinn@contoso.test/revoke", nlohmann::json::object());
    EXPECT_EQ(service(noBrowser).silentSignIn(), std::nullopt);
    try {
        service(noBrowser).kavoToken();
        FAIL() << "a token from a revoked refresh token";
    } catch (const AuthError& error) {
        EXPECT_EQ(error.kind(), AuthError::Kind::interactionRequired);
    }
    writeFileAtomically(cacheFile(), "{not json", 0600);
    EXPECT_EQ(service(noBrowser).silentSignIn(), std::nullopt);
}

TEST_F(SignInAgainstDevStack, RefusalsAtTheIdentityProviderMapOntoTheErrorCases) {
    stack_->adminPost("/identity/authorize", {{"outcome", "cancel"}});
    EXPECT_EQ(signInFailure(), AuthError::cancelled());
    stack_->adminPost("/identity/authorize", {{"outcome", "interaction_required"}});
    EXPECT_EQ(signInFailure(), AuthError::interactionRequired());
    stack_->adminPatch("/tenants/contoso", {{"kavoApiConsent", false}});
    EXPECT_EQ(signInFailure(), AuthError::interactionRequired());
    // An answer that belongs to another sign-in is refused before its code is redeemed.
    const auto forged = [this](const std::string& url) {
        const auto redirect = UrlText::parse(url).value().queryValue("redirect_uri").value();
        return browser()(redirect + "?code=c&state=forged");
    };
    EXPECT_EQ(signInFailure(forged),
              AuthError::underlying("The sign-in answer did not belong to this sign-in."));
    EXPECT_FALSE(std::filesystem::exists(cacheFile()));
}

}  // namespace
}  // namespace kavo
