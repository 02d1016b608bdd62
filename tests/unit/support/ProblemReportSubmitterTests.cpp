#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "net/KavoAPIError.h"
#include "net/TransportError.h"
#include "support/ProblemReportSubmitter.h"
#include "support/RecordingTransport.h"

namespace kavo {
namespace {

using nlohmann::json;
using Category = KavoAPIClient::FeedbackCategory;

const WallTime kNow =
    WallTime{} + std::chrono::seconds(1709543107) + std::chrono::milliseconds(250);

CaptureSidecar sampleSidecar(std::optional<std::string> recordingId) {
    CaptureSidecar sidecar;
    sidecar.captureId = "6B1C";
    sidecar.audioFileName = "capture-6B1C.wav";
    sidecar.startedAt = "2024-03-04T09:05:00.000Z";
    sidecar.durationSeconds = 754.5;
    sidecar.deviceEvents = {{"2024-03-04T09:06:00.000Z", "deviceChange", "input"}};
    sidecar.sources = std::vector<CaptureSidecar::SourceStats>{{"mic", 48000, 100, 2, 3, 99}};
    sidecar.recordingId = std::move(recordingId);
    return sidecar;
}

class ProblemReportSubmitterTest : public ::testing::Test {
protected:
    ProblemReportSubmitter submitter(
        std::string tenantURL = "https://kavo.example:8443/t/contoso") {
        return ProblemReportSubmitter{
            .api = KavoAPIClient("https://kavo.example/t/contoso", transport,
                                 [](std::stop_token) { return std::string("token-1"); }),
            .tenant = {"Contoso Meetings Lab", std::move(tenantURL)},
            .environment = {"linux-desktop", "1.4.2", "1.4.2", "Debian GNU/Linux 12", "ThinkPad X1",
                            "x86_64"},
            .now = [] { return kNow; },
            .timeZone = "Europe/Berlin",
        };
    }

    ProblemReport report(std::optional<CaptureSidecar> sidecar) {
        std::optional<SupportCapture> capture;
        if (sidecar) capture = SupportCapture{*sidecar, WallTime{}};
        return ProblemReport{Category::bug, "  Audio cut out \n", "\tThe far side went silent.  ",
                             capture};
    }

    // Files `r` and returns the JSON body that went out.
    json file(const ProblemReport& r, const ProblemReportSubmitter& s) {
        transport->enqueue(201, R"({"id": "KAVO-000007", "status": "open"})");
        EXPECT_EQ(s.submit(r), "KAVO-000007");
        return json::parse(transport->requests().back().body);
    }

    std::shared_ptr<testing::RecordingTransport> transport =
        std::make_shared<testing::RecordingTransport>();
};

// The set of keys, the trimming and the attached sidecar are also checked against the dev
// stack; here the values that come from the environment and the clock.
TEST_F(ProblemReportSubmitterTest, DiagnosticsCarryTheEnvironmentAndAMillisecondTimestamp) {
    const json body = file(report(sampleSidecar("rec-9")), submitter());
    EXPECT_EQ(transport->requests().back().url, "https://kavo.example/t/contoso/api/feedback");
    EXPECT_EQ(body["category"], "bug");
    const json& diagnostics = body["diagnostics"];
    EXPECT_EQ(diagnostics.size(), 10U);
    EXPECT_EQ(diagnostics["os"], "Debian GNU/Linux 12");
    EXPECT_EQ(diagnostics["deviceModel"], "ThinkPad X1");
    EXPECT_EQ(diagnostics["arch"], "x86_64");
    EXPECT_EQ(diagnostics["timestamp"], "2024-03-04T09:05:07.250Z");
    EXPECT_EQ(diagnostics["timezone"], "Europe/Berlin");
    EXPECT_EQ(diagnostics["tenant"]["host"], "kavo.example");
    EXPECT_EQ(diagnostics["capture"]["sources"][0]["droppedSourceFrames"], 3);
}

TEST_F(ProblemReportSubmitterTest, RecordingIdAndIncludeRecordingFollowTheAttachedSidecar) {
    struct Case {
        const char* name;
        std::optional<CaptureSidecar> sidecar;
        std::optional<std::string> recordingId;
    };
    const std::vector<Case> cases{
        {"no capture attached", std::nullopt, std::nullopt},
        {"capture without id", sampleSidecar(std::nullopt), std::nullopt},
        {"empty id", sampleSidecar(""), std::nullopt},
        {"blank id", sampleSidecar(" \n\t "), std::nullopt},
        {"id with white space", sampleSidecar("  rec-42\n"), "rec-42"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const json body = file(report(c.sidecar), submitter());
        EXPECT_EQ(body["include_recording"], c.recordingId.has_value());
        if (c.recordingId) {
            EXPECT_EQ(body["recording_id"], *c.recordingId);
        } else {
            EXPECT_FALSE(body.contains("recording_id"));
        }
        // The sidecar travels whenever one is attached, id or not.
        EXPECT_EQ(body["diagnostics"]["capture"].is_null(), !c.sidecar.has_value());
    }
}

TEST_F(ProblemReportSubmitterTest, TenantHostIsNullWhenTheURLHasNone) {
    for (const char* url : {"", "not a url", "file:///srv/kavo", "kavo.example/t/contoso"}) {
        SCOPED_TRACE(url);
        const auto diagnostics = submitter(url).diagnostics(report(std::nullopt), kNow);
        EXPECT_EQ(diagnostics.at("tenant"),
                  JSONValue(JSONValue::Object{{"clientName", "Contoso Meetings Lab"},
                                              {"host", nullptr}}));
    }
    EXPECT_EQ(ProblemReportSubmitter::hostOf("http://user:pw@127.0.0.1:4000/t/contoso"),
              "127.0.0.1");
    EXPECT_EQ(ProblemReportSubmitter::hostOf("https://[::1]:8443/"), "::1");
    EXPECT_EQ(ProblemReportSubmitter::hostOf("https://xn--kvo-0na.example"), "xn--kvo-0na.example");
}

std::string messageFor(auto error) {
    return ProblemReportSubmitter::userMessage(std::make_exception_ptr(error));
}

// 503, 422, 500 and an expired sign-in are pinned against the dev stack.
TEST(ProblemReportUserMessages, EachErrorHasItsOwnText) {
    EXPECT_EQ(messageFor(KavoAPIError::invalidRequest("Subject must be longer.")),
              "Subject must be longer.");
    EXPECT_EQ(messageFor(KavoAPIError::http(404, "")),
              "Could not send the report (HTTP 404). Your text is still here; try again.");
    EXPECT_EQ(messageFor(KavoAPIError::forbidden("")),
              "This account is not allowed to file support reports.");
    EXPECT_EQ(messageFor(KavoAPIError::decoding("bad")),
              "The report may have been filed, but the reply could not be read. Check with support "
              "before sending "
              "it again.");
    EXPECT_EQ(messageFor(KavoAPIError::invalidResponse()),
              "The server sent a reply this app could not read. Try again shortly.");
    const TransportError offline(TransportError::Kind::other, 0, "connection refused");
    EXPECT_EQ(messageFor(offline), std::string("Could not send the report: ") + offline.what());
}

TEST(SupportEnvironmentTest, NamesThisBuildAndTheMachine) {
    struct FakeSystem : SystemIdentity {
        std::optional<std::string> product;
        std::string arch;
        std::string osVersion() const override {
            return "Debian GNU/Linux 12 (bookworm); Linux 6.1.0";
        }
        std::optional<std::string> productName() const override { return product; }
        std::string machine() const override { return arch; }
        std::string timeZoneIdentifier() const override { return "UTC"; }
    };
    FakeSystem system;
    system.product = "  20XW0055GE\n";
    system.arch = "aarch64";
    const auto environment = SupportEnvironment::current(system);
    EXPECT_EQ(environment, (SupportEnvironment{"linux-desktop", KAVO_VERSION, KAVO_VERSION,
                                               "Debian GNU/Linux 12 (bookworm); Linux 6.1.0",
                                               "20XW0055GE", "arm64"}));
    system.product = std::nullopt;
    system.arch = "x86_64";
    EXPECT_EQ(SupportEnvironment::current(system).deviceModel, "unknown");
    EXPECT_EQ(SupportEnvironment::current(system).arch, "x86_64");
    system.product = " ";
    EXPECT_EQ(SupportEnvironment::current(system).deviceModel, "unknown");
}

}  // namespace
}  // namespace kavo
