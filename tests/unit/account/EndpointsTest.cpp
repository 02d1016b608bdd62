#include <gtest/gtest.h>

#include "account/Endpoints.h"
#include "support/TempDir.h"

// The dev stack's endpoints file is read by every sign-in test against it.

namespace kavo {
namespace {

TEST(EndpointsTest, AnOverrideKeepsTheCompiledInValuesItDoesNotNameAndRefusesBadOnes) {
    const auto production = Endpoints::production();
    production.validate();
    EXPECT_EQ(Endpoints::load(std::nullopt), production);
    EXPECT_EQ(Endpoints::load(std::string()), production);

    // A partial override keeps the rest and derives the Kavo scope from the API id.
    auto expected = production;
    expected.apiApplicationId = "abc";
    expected.kavoScopes = {"api://abc/KavoMeetings.Use"};
    EXPECT_EQ(Endpoints::fromOverride(R"({"apiApplicationId": "abc"})"), expected);

    try {
        Endpoints::fromOverride(R"({"authority": "http://login.example/organizations"})");
        ADD_FAILURE() << "plain http accepted";
    } catch (const EndpointsError& error) {
        EXPECT_STREQ(error.what(),
                     "The endpoint \"authority\" (http://login.example/organizations) must be an "
                     "https URL; plain http is allowed only on a loopback address.");
    }
    for (const auto* bad : {"{", "[]", R"({"clientId": 5})", R"({"graphScopes": "User.Read"})",
                            R"({"kavoScopes": []})"})
        EXPECT_THROW(Endpoints::fromOverride(bad), EndpointsError) << bad;
    testing::TempDir dir;
    EXPECT_THROW(Endpoints::load((dir / "missing.json").string()), EndpointsError);

    // Plain http only on a loopback address.
    for (const auto* url : {"http://127.5.6.7/x", "http://[::1]:9/x", "https://10.0.0.1/x"})
        EXPECT_TRUE(isAllowedEndpointURL(url)) << url;
    for (const auto* url : {"http://localhost:80/x", "http://127.0.0.1.evil.test/x",
                            "http://user@kavo.example/x", "ftp://127.0.0.1/x", "http://[::2]/x"})
        EXPECT_FALSE(isAllowedEndpointURL(url)) << url;
}

}  // namespace
}  // namespace kavo
