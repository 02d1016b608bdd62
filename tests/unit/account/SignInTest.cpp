#include <gtest/gtest.h>

#include "account/AuthError.h"
#include "account/Pkce.h"
#include "account/SessionBuilder.h"

// PKCE, refusals and real id-token claims run against the dev stack's identity endpoint.

namespace kavo {
namespace {

TEST(AuthErrorTest, IdentityPlatformErrorsMapOntoTheCases) {
    for (const auto* code :
         {"interaction_required", "consent_required", "invalid_grant", "login_required"}) {
        EXPECT_EQ(mapInteractiveError({code, "AADSTS: x", ""}), AuthError::interactionRequired())
            << code;
        EXPECT_TRUE(needsInteraction({code, "", ""})) << code;
    }
    EXPECT_FALSE(needsInteraction({"access_denied", "", ""}));
    EXPECT_EQ(mapInteractiveError({"authorization_declined", "", ""}), AuthError::cancelled());
    EXPECT_EQ(mapInteractiveError({"temporarily_unavailable", "", ""}),
              AuthError::underlying("temporarily_unavailable"));
}

struct Claims : ::testing::Test {
    const WallTime now = WallTime(std::chrono::seconds(1'800'000'000));
    GraphTokenResult graph;
    Claims() {
        graph.accessToken = "graph-token";
        graph.idToken = "id-token";
        graph.account = AccountInfo{"home-tid", "uid.home-tid", "user@account.test"};
    }
    AppSession session() const { return makeSession(graph, "kavo-token", now); }
};

TEST_F(Claims, MissingOrNonStringClaimsFallBackToTheAccountThenToEmpty) {
    graph.claims = {
        {"tid", 7}, {"oid", nullptr}, {"email", false}, {"name", nlohmann::json::array()}};
    EXPECT_EQ(session(),
              (AppSession{"home-tid", "uid.home-tid", "user@account.test", "user@account.test",
                          "user@account.test", "id-token", "graph-token", "kavo-token",
                          now + std::chrono::seconds(3600)}))
        << "no expiry: an hour from now";
    graph.claims = {{"preferred_username", "p@x.test"}};
    EXPECT_EQ(session().email, "p@x.test");
}

}  // namespace
}  // namespace kavo
