#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "net/KavoAPIError.h"
#include "net/TransportError.h"
#include "support/ProblemReportSubmitter.h"
#include "support/RecordingTransport.h"

// The ten diagnostics keys, the attached sidecar, the recording rules and the 503, 422, 500
// and expired sign-in messages are shown against the dev stack in
// tests/e2e/support/SupportDevStackTests.cpp; here what a real server cannot vary.

namespace kavo {
namespace {

using nlohmann::json;

const WallTime kNow =
    WallTime{} + std::chrono::seconds(1709543107) + std::chrono::milliseconds(250);

CaptureSidecar sampleSidecar(std::optional<std::string> recordingId) {
    CaptureSidecar sidecar;
    sidecar.captureId = "6B1C";
    sidecar.audioFileName = "capture-6B1C.wav";
    sidecar.startedAt = "2024-03-04T09:05:00.000Z";
    sidecar.recordingId = std::move(recordingId);
    return sidecar;
}

ProblemReport report(std::optional<CaptureSidecar> sidecar) {
    std::optional<SupportCapture> capture;
    if (sidecar) capture = SupportCapture{*sidecar, WallTime{}};
    return {KavoAPIClient::FeedbackCategory::bug, "Audio cut out", "The far side went silent.",
            capture};
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

TEST(ProblemReportSubmitterTest, RecordingIdIncludeRecordingAndTheTimestamp) {
    const struct {
        const char* name;
        std::optional<CaptureSidecar> sidecar;
        std::optional<std::string> recordingId;
    } cases[] = {
        {"capture without id", sampleSidecar(std::nullopt), std::nullopt},
        {"blank id", sampleSidecar(" \n\t "), std::nullopt},
        {"id with white space", sampleSidecar("  rec-42\n"), "rec-42"},
    };
    auto transport = std::make_shared<testing::RecordingTransport>();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        transport->enqueue(201, R"({"id": "KAVO-000007", "status": "open"})");
        EXPECT_EQ(submitter(transport).submit(report(c.sidecar)), "KAVO-000007");
        const json body = json::parse(transport->requests().back().body);
        EXPECT_EQ(body["include_recording"], c.recordingId.has_value());
        EXPECT_EQ(body.value("recording_id", json()),
                  c.recordingId ? json(*c.recordingId) : json());
        EXPECT_EQ(body["diagnostics"]["capture"].is_null(), !c.sidecar.has_value());
        EXPECT_EQ(body["diagnostics"]["timestamp"], "2024-03-04T09:05:07.250Z");
    }
}

TEST(ProblemReportSubmitterTest, TenantHostIsTheURLsHostOrNull) {
    auto transport = std::make_shared<testing::RecordingTransport>();
    for (const char* url : {"", "not a url", "file:///srv/kavo", "kavo.example/t/contoso"}) {
        EXPECT_EQ(
            submitter(transport, url).diagnostics(report(std::nullopt), kNow).at("tenant"),
            JSONValue(JSONValue::Object{{"clientName", "Contoso Meetings Lab"}, {"host", nullptr}}))
            << url;
    }
    EXPECT_EQ(ProblemReportSubmitter::hostOf("http://user:pw@127.0.0.1:4000/t/contoso"),
              "127.0.0.1");
    EXPECT_EQ(ProblemReportSubmitter::hostOf("https://[::1]:8443/"), "::1");
}

TEST(ProblemReportSubmitterTest, EachOtherErrorHasItsOwnText) {
    const auto messageFor = [](auto error) {
        return ProblemReportSubmitter::userMessage(std::make_exception_ptr(error));
    };
    EXPECT_EQ(messageFor(KavoAPIError::invalidRequest("Subject must be longer.")),
              "Subject must be longer.");
    EXPECT_EQ(messageFor(KavoAPIError::forbidden("")),
              "This account is not allowed to file support reports.");
    EXPECT_EQ(messageFor(KavoAPIError::decoding("bad")),
              "The report may have been filed, but the reply could not be read. Check with "
              "support before sending it again.");
    EXPECT_EQ(messageFor(KavoAPIError::invalidResponse()),
              "The server sent a reply this app could not read. Try again shortly.");
    const TransportError offline(TransportError::Kind::other, 0, "connection refused");
    EXPECT_EQ(messageFor(offline), std::string("Could not send the report: ") + offline.what());
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
