#include <gtest/gtest.h>

#include <future>

#include "account/AuthError.h"
#include "account/OAuthSignInService.h"
#include "net/UrlText.h"
#include "platform/linux/CurlTransport.h"
#include "platform/linux/XdgSignInBrowser.h"
#include "support/ManualClock.h"
#include "support/RecordingTransport.h"
#include "support/TempDir.h"

// A whole browser sign-in through the loopback redirect runs against the dev stack; here the
// answers it never gives.

namespace kavo::linux_platform {
namespace {

HTTPResponse visit(HTTPTransport& transport, const std::string& url) {
    HTTPRequest request;
    request.url = url;
    request.timeout = std::chrono::seconds(10);
    return transport.data(request);
}

// The test's browser answers the authorize URL by visiting the redirect URI with a query of
// its choosing; token answers come from a script.
TEST(BrowserSignIn, RefusalsAndForeignAnswersFailWithoutRedeemingAnything) {
    kavo::testing::TempDir dir;
    ManualClock clock;
    CurlGlobal curl;
    CurlTransport browser{curl};
    auto tokens = std::make_shared<kavo::testing::RecordingTransport>();
    std::vector<std::future<HTTPResponse>> visits;
    std::function<std::string(const std::string& state)> answer;
    const auto failure = [&] {
        OAuthSignInService::Options options;
        options.endpoints =
            Endpoints::fromOverride(R"({"authority":"http://127.0.0.1:9/organizations"})");
        options.cacheFile = dir / "signin-cache.json";
        options.transport = tokens;
        options.redirectTimeout = std::chrono::seconds(10);
        options.browser =
            std::make_shared<linux_platform::XdgSignInBrowser>([&](const std::string& url) {
                const auto authorize = UrlText::parse(url).value();
                const auto target = authorize.queryValue("redirect_uri").value() + "?" +
                                    answer(authorize.queryValue("state").value());
                visits.push_back(
                    std::async(std::launch::async, [&, target] { return visit(browser, target); }));
                return true;
            });
        try {
            OAuthSignInService(std::move(options), clock).signIn();
        } catch (const AuthError& error) {
            return error;
        }
        ADD_FAILURE() << "sign-in succeeded";
        return AuthError::underlying("");
    };

    answer = [](const std::string& state) {
        return "error=server_error&error_description=AADSTS90000%3A%20broken&state=" + state;
    };
    EXPECT_EQ(failure(), AuthError::underlying("AADSTS90000: broken"));
    answer = [](const std::string&) { return "code=c&state=forged"; };
    EXPECT_EQ(failure(),
              AuthError::underlying("The sign-in answer did not belong to this sign-in."));
    EXPECT_EQ(tokens->requestCount(), 0u);

    answer = [](const std::string& state) { return "code=c&state=" + state; };
    tokens->enqueue(400,
                    R"({"error":"invalid_grant","error_description":"AADSTS54005: redeemed"})");
    EXPECT_EQ(failure(), AuthError::interactionRequired());
    for (auto& each : visits) each.wait();
}

}  // namespace
}  // namespace kavo::linux_platform
