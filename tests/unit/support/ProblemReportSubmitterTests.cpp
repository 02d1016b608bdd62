#include <gtest/gtest.h>

#include "support/ProblemReportSubmitter.h"
#include "support/RecordingTransport.h"

// The ten diagnostics keys, the attached sidecar, the recording rules and the server's
// refusals are shown against the dev stack in tests/e2e/support/SupportDevStackTests.cpp;
// here what a real server cannot vary.

namespace kavo {
namespace {

const WallTime kNow =
    WallTime{} + std::chrono::seconds(1709543107) + std::chrono::milliseconds(250);

ProblemReport report() {
    return {KavoAPIClient::FeedbackCategory::bug, "Audio cut out", "The far side went silent.",
            std::nullopt};
}

ProblemReportSubmitter submitter(std::shared_ptr<testing::RecordingTransport> transport,
                                 std::string tenantURL = "https://kavo.example:8443/t/contoso") {
    return ProblemReportSubmitter{
        .api = KavoAPIClient("https://kavo.example/t/contoso", std::move(transport),
                             [](std::stop_token) { return std::string("token-1"); }),
        .tenant = {"Contoso Meetings Lab", std::move(tenantURL)},
        .environment = {"linux-desktop", "1.4.2", "1.4.2", "Debian GNU/Linux 12", "ThinkPad X1",
                        "x86_64"},
        .now = [] { return kNow; },
        .timeZone = "Europe/Berlin",
    };
}

TEST(ProblemReportSubmitterTest, TenantHostIsTheURLsHostOrNull) {
    auto transport = std::make_shared<testing::RecordingTransport>();
    for (const char* url : {"", "not a url", "file:///srv/kavo", "kavo.example/t/contoso"}) {
        EXPECT_EQ(
            submitter(transport, url).diagnostics(report(), kNow).at("tenant"),
            JSONValue(JSONValue::Object{{"clientName", "Contoso Meetings Lab"}, {"host", nullptr}}))
            << url;
    }
    EXPECT_EQ(ProblemReportSubmitter::hostOf("http://user:pw@127.0.0.1:4000/t/contoso"),
              "127.0.0.1");
    EXPECT_EQ(ProblemReportSubmitter::hostOf("https://[::1]:8443/"), "::1");
}

TEST(SupportEnvironmentTest, NamesThisBuildAndTheMachine) {
    struct FakeSystem : SystemIdentity {
        std::optional<std::string> product = "  20XW0055GE\n";
        std::string arch = "aarch64";
        std::string osVersion() const override { return "Debian GNU/Linux 12; Linux 6.1.0"; }
        std::optional<std::string> productName() const override { return product; }
        std::string machine() const override { return arch; }
        std::string timeZoneIdentifier() const override { return "UTC"; }
    } system;
    EXPECT_EQ(SupportEnvironment::current(system),
              (SupportEnvironment{"linux-desktop", KAVO_VERSION, KAVO_VERSION,
                                  "Debian GNU/Linux 12; Linux 6.1.0", "20XW0055GE", "arm64"}));
    system.arch = "x86_64";
    for (const auto& product : {std::optional<std::string>(), std::optional<std::string>(" ")}) {
        system.product = product;
        EXPECT_EQ(SupportEnvironment::current(system).deviceModel, "unknown");
        EXPECT_EQ(SupportEnvironment::current(system).arch, "x86_64");
    }
}

}  // namespace
}  // namespace kavo
