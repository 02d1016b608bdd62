#include <gtest/gtest.h>

#include <set>

#include "account/AuthError.h"
#include "account/Pkce.h"
#include "account/SessionBuilder.h"
#include "account/UnavailableAuthService.h"

namespace kavo {
namespace {

std::string jwt(const nlohmann::json& payload) {
    return base64UrlEncode(R"({"alg":"RS256"})") + "." + base64UrlEncode(payload.dump()) + ".c2ln";
}

TEST(PkceTest, TheChallengeIsTheBase64UrlSha256OfTheVerifier) {
    // Reference value from an independent SHA-256 and base64url implementation.
    EXPECT_EQ(Pkce::challengeFor("dBjftJeZ4CVP-mJ92K9WTV3fMbCj1hCMT6pN7FQCmQY"),
              "zk4Ks9SM6ntO-iTsAx4cK7evCralla63403oDyajDqs");

    std::set<std::string> verifiers;
    for (int i = 0; i < 20; ++i) {
        const auto pkce = Pkce::make();
        EXPECT_EQ(pkce.verifier.size(), 43u);
        EXPECT_EQ(pkce.verifier.find_first_not_of(
                      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
                  std::string::npos);
        EXPECT_EQ(pkce.challenge, Pkce::challengeFor(pkce.verifier));
        verifiers.insert(pkce.verifier);
    }
    EXPECT_EQ(verifiers.size(), 20u);
}

TEST(PkceTest, Base64UrlRoundTripsEveryLengthAndRefusesForeignCharacters) {
    std::string bytes;
    for (int i = 0; i < 40; ++i) {
        EXPECT_EQ(base64UrlDecode(base64UrlEncode(bytes)), bytes);
        bytes += static_cast<char>(0xF0 + i);
    }
    EXPECT_EQ(base64UrlEncode("\xfb\xff"), "-_8");
    EXPECT_EQ(base64UrlDecode("-_8="), "\xfb\xff");
    EXPECT_EQ(base64UrlDecode("ab+c"), std::nullopt);
    EXPECT_EQ(base64UrlDecode("abcde"), std::nullopt);
}

TEST(AuthErrorTest, CasesCarryTheirTextsAndAskForASignIn) {
    EXPECT_STREQ(AuthError::cancelled().what(), "Sign-in cancelled.");
    EXPECT_STREQ(AuthError::interactionRequired().what(), "Sign in again to continue.");
    EXPECT_STREQ(AuthError::underlying("Bad MSAL authority URL").what(), "Bad MSAL authority URL");
    try {
        throw AuthError::interactionRequired();
    } catch (const InteractiveSignInRequiredError& marker) {
        EXPECT_NE(dynamic_cast<const Error*>(&marker), nullptr);
    }
}

TEST(AuthErrorTest, IdentityPlatformErrorsMapOntoTheCases) {
    for (const auto* code : {"interaction_required", "consent_required", "invalid_grant", "login_required"}) {
        EXPECT_EQ(mapInteractiveError({code, "AADSTS: x", ""}), AuthError::interactionRequired()) << code;
        EXPECT_TRUE(needsInteraction({code, "", ""}));
    }
    EXPECT_EQ(mapInteractiveError({"access_denied", "AADSTS50126: cancelled", ""}), AuthError::cancelled());
    EXPECT_EQ(mapInteractiveError({"authorization_declined", "", ""}), AuthError::cancelled());
    EXPECT_EQ(mapInteractiveError({"server_error", "AADSTS90000: broken", ""}),
              AuthError::underlying("AADSTS90000: broken"));
    EXPECT_EQ(mapInteractiveError({"temporarily_unavailable", "", ""}),
              AuthError::underlying("temporarily_unavailable"));
    EXPECT_FALSE(needsInteraction({"access_denied", "", ""}));

    const auto parsed = parseOAuthError(
        R"({"error":"invalid_grant","error_description":"AADSTS65001: consent","suberror":"consent_required"})");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->error, "invalid_grant");
    EXPECT_EQ(parsed->description, "AADSTS65001: consent");
    EXPECT_EQ(parsed->suberror, "consent_required");
    EXPECT_FALSE(parseOAuthError(R"({"detail":"x"})"));
    EXPECT_FALSE(parseOAuthError("<html>"));
}

TEST(UnavailableAuthServiceTest, ExplainsWhySignInIsImpossible) {
    UnavailableAuthService service("no authority");
    EXPECT_EQ(service.silentSignIn(), std::nullopt);
    EXPECT_NO_THROW(service.signOut());
    try {
        service.signIn();
        FAIL();
    } catch (const AuthError& error) {
        EXPECT_EQ(error, AuthError::underlying("Sign-in is unavailable: no authority"));
    }
    try {
        service.kavoToken();
        FAIL();
    } catch (const AuthError& error) {
        EXPECT_EQ(error.kind(), AuthError::Kind::interactionRequired);
    }
}

struct Claims : ::testing::Test {
    const WallTime now = WallTime(std::chrono::seconds(1'800'000'000));
    GraphTokenResult graph;
    Claims() {
        graph.accessToken = "graph-token";
        graph.idToken = "id-token";
        graph.account = AccountInfo{"home-tid", "uid.home-tid", "user@account.test"};
    }
};

TEST_F(Claims, EveryIdentityFieldComesFromItsStringClaim) {
    graph.claims = {{"tid", "T"}, {"oid", "O"},  {"email", "e@x.test"}, {"preferred_username", "p@x.test"},
                    {"name", "Avery Quinn"}, {"given_name", "Ave"}};
    graph.expiresOn = now + std::chrono::seconds(600);
    const auto session = makeSession(graph, "kavo-token", now);
    EXPECT_EQ(session, (AppSession{"T", "O", "e@x.test", "Avery Quinn", "Ave", "id-token", "graph-token",
                                   "kavo-token", now + std::chrono::seconds(600)}));
}

TEST_F(Claims, MissingOrNonStringClaimsFallBackToTheAccountThenToEmpty) {
    graph.claims = {{"tid", 7}, {"oid", nullptr}, {"email", false}, {"name", nlohmann::json::array()}};
    auto session = makeSession(graph, "k", now);
    EXPECT_EQ(session.tenantId, "home-tid");
    EXPECT_EQ(session.userId, "uid.home-tid");
    EXPECT_EQ(session.email, "user@account.test");
    EXPECT_EQ(session.name, "user@account.test");
    EXPECT_EQ(session.givenName, "user@account.test");
    EXPECT_EQ(session.expiresAt, now + std::chrono::seconds(3600)) << "no expiry: an hour from now";

    graph.claims = {{"preferred_username", "p@x.test"}};
    EXPECT_EQ(makeSession(graph, "k", now).email, "p@x.test");

    graph.claims = nlohmann::json::object();
    graph.account = AccountInfo{};
    graph.idToken.clear();
    session = makeSession(graph, "k", now);
    EXPECT_EQ(session.tenantId, "");
    EXPECT_EQ(session.userId, "");
    EXPECT_EQ(session.email, "");
    EXPECT_EQ(session.name, "");
    EXPECT_EQ(session.givenName, "");
    EXPECT_EQ(session.idToken, "");
}

TEST_F(Claims, TheGivenNameDefaultsToTheFirstWordOfTheName) {
    const auto givenName = [&](const std::string& name) {
        graph.claims = {{"name", name}};
        return makeSession(graph, "k", now).givenName;
    };
    EXPECT_EQ(givenName("Avery  Quinn"), "Avery");
    EXPECT_EQ(givenName("  Robin Park"), "Robin");
    EXPECT_EQ(givenName("Sam"), "Sam");
    EXPECT_EQ(givenName("   "), "   ");
    EXPECT_EQ(givenName(""), "");
}

TEST(JwtTest, ThePayloadDecodesOnlyWhenItIsAJsonObject) {
    const nlohmann::json payload{{"tid", "T"}, {"name", "Zoë"}};
    EXPECT_EQ(decodeJwtPayload(jwt(payload)), payload);
    EXPECT_EQ(decodeJwtPayload("no-dots"), std::nullopt);
    EXPECT_EQ(decodeJwtPayload("a.b"), std::nullopt);
    EXPECT_EQ(decodeJwtPayload("a." + base64UrlEncode("[1]") + ".c"), std::nullopt);
    EXPECT_EQ(decodeJwtPayload("a.%%%.c"), std::nullopt);
}

}  // namespace
}  // namespace kavo
