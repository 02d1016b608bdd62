#include <gtest/gtest.h>

#include <fstream>

#include "support/TempDir.h"
#include "account/Endpoints.h"

namespace kavo {
namespace {

using testing::TempDir;

TEST(EndpointsTest, ProductionValuesAreHttpsAndValid) {
    const auto endpoints = Endpoints::production();
    EXPECT_NO_THROW(endpoints.validate());
    EXPECT_EQ(endpoints.graphScopes, std::vector<std::string>{"User.Read"});
    EXPECT_EQ(endpoints.kavoScopes,
              std::vector<std::string>{"api://" + endpoints.apiApplicationId + "/KavoMeetings.Use"});
    EXPECT_EQ(Endpoints::load(std::nullopt), endpoints);
    EXPECT_EQ(Endpoints::load(std::string()), endpoints);
}

TEST(EndpointsTest, TheDevStackFileOverridesEveryKeyAndItsOtherKeysAreIgnored) {
    TempDir dir;
    const auto file = dir / "endpoints.json";
    std::ofstream(file) << R"({
      "discoveryURL": "http://127.0.0.1:40111/api/kavo/discover",
      "authority": "http://127.0.0.1:40111/organizations",
      "clientId": "6f1d3c2a-8b4e-4d7a-9c15-2e0b7a9d4f61",
      "apiApplicationId": "b3e2a1c4-5d6f-4a8b-9c0d-1e2f3a4b5c6d",
      "graphScopes": ["User.Read"],
      "kavoScopes": ["api://b3e2a1c4-5d6f-4a8b-9c0d-1e2f3a4b5c6d/KavoMeetings.Use"],
      "updateManifestURL": "http://[::1]:40111/latest.json",
      "baseURL": "http://127.0.0.1:40111", "tenants": [], "pid": 12
    })";
    const auto endpoints = Endpoints::load(file.string());
    EXPECT_EQ(endpoints, (Endpoints{"http://127.0.0.1:40111/api/kavo/discover",
                                    "http://127.0.0.1:40111/organizations",
                                    "6f1d3c2a-8b4e-4d7a-9c15-2e0b7a9d4f61",
                                    "b3e2a1c4-5d6f-4a8b-9c0d-1e2f3a4b5c6d",
                                    {"User.Read"},
                                    {"api://b3e2a1c4-5d6f-4a8b-9c0d-1e2f3a4b5c6d/KavoMeetings.Use"},
                                    "http://[::1]:40111/latest.json"}));
}

TEST(EndpointsTest, APartialOverrideKeepsTheRestAndDerivesTheKavoScope) {
    const auto endpoints = Endpoints::fromOverride(R"({"apiApplicationId": "abc"})");
    auto expected = Endpoints::production();
    expected.apiApplicationId = "abc";
    expected.kavoScopes = {"api://abc/KavoMeetings.Use"};
    EXPECT_EQ(endpoints, expected);
}

TEST(EndpointsTest, PlainHttpIsRefusedExceptOnLoopbackAddresses) {
    for (const auto* url : {"http://127.0.0.1:8080/x", "http://127.5.6.7/x", "http://[::1]:9/x",
                            "https://kavo.example/x", "https://10.0.0.1/x"}) {
        EXPECT_TRUE(isAllowedEndpointURL(url)) << url;
    }
    for (const auto* url : {"http://kavo.example/x", "http://10.0.0.1/x", "http://localhost:80/x",
                            "http://127.0.0.1.evil.test/x", "http://user@kavo.example/x", "ftp://127.0.0.1/x",
                            "127.0.0.1:80", "", "http://[::2]/x"}) {
        EXPECT_FALSE(isAllowedEndpointURL(url)) << url;
    }
    try {
        Endpoints::fromOverride(R"({"authority": "http://login.example/organizations"})");
        FAIL() << "plain http accepted";
    } catch (const EndpointsError& error) {
        EXPECT_STREQ(error.what(),
                     "The endpoint \"authority\" (http://login.example/organizations) must be an https URL; plain "
                     "http is allowed only on a loopback address.");
    }
}

TEST(EndpointsTest, BadFilesAreRefusedWithTheirReason) {
    const auto refusal = [](std::string_view json) {
        try {
            Endpoints::fromOverride(json);
        } catch (const EndpointsError& error) {
            return std::string(error.what());
        }
        return std::string("accepted");
    };
    EXPECT_EQ(refusal("{"), "The endpoints file is not valid JSON.");
    EXPECT_EQ(refusal("[]"), "The endpoints file must hold one JSON object.");
    EXPECT_EQ(refusal(R"({"clientId": 5})"), "The endpoints file's \"clientId\" must be a text.");
    EXPECT_EQ(refusal(R"({"graphScopes": "User.Read"})"),
              "The endpoints file's \"graphScopes\" must be a list of scopes.");
    EXPECT_EQ(refusal(R"({"kavoScopes": []})"), "The endpoints file's \"kavoScopes\" must be a list of scopes.");

    TempDir dir;
    EXPECT_THROW(Endpoints::load((dir / "missing.json").string()), EndpointsError);
}

}  // namespace
}  // namespace kavo
