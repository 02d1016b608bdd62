#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "base/Log.h"
#include "base/ManualClock.h"
#include "base/ManualScheduler.h"
#include "capture/files/SidecarTimestamp.h"
#include "platform/linux/CurlTransport.h"
#include "platform/linux/LinuxSystemIdentity.h"
#include "support/DevStack.h"
#include "support/ProblemReportForm.h"
#include "support/ProblemReportSubmitter.h"
#include "support/TempDir.h"
#include "support/UpdateChecker.h"

namespace kavo {
namespace {

using nlohmann::json;
using Phase = ProblemReportForm::Phase;

CaptureSidecar recordedSidecar(std::optional<std::string> recordingId) {
    CaptureSidecar sidecar;
    sidecar.captureId = "6B1C";
    sidecar.audioFileName = "capture-6B1C.wav";
    sidecar.startedAt = "2024-03-04T09:05:00.000Z";
    sidecar.endedAt = "2024-03-04T09:17:34.000Z";
    sidecar.durationSeconds = 754;
    sidecar.deviceEvents = {{"2024-03-04T09:06:00.000Z", "deviceChange", "input"}};
    sidecar.sources = std::vector<CaptureSidecar::SourceStats>{
        {"mic", 48000, 36192000, 480, 0, 36191000}, {"system", 44100, 33251400, 0, 12, 33251400}};
    sidecar.recordingId = std::move(recordingId);
    return sidecar;
}

class SupportAgainstDevStack : public ::testing::Test {
protected:
    ProblemReportSubmitter submitter() const {
        const std::string token = stack.accessToken();
        return ProblemReportSubmitter{
            .api = KavoAPIClient(stack.tenantBaseURL("contoso"), transport,
                                 [token](std::stop_token) { return token; }),
            .tenant = {stack.tenantClientName("contoso"), stack.tenantBaseURL("contoso")},
            .environment = SupportEnvironment::current(system),
            .now = [] { return std::chrono::system_clock::now(); },
            .timeZone = system.timeZoneIdentifier(),
        };
    }

    // Fills and submits a form bound to the dev stack; returns its final phase.
    Phase submitForm(std::optional<CaptureSidecar> sidecar, bool attach) {
        const ProblemReportSubmitter filer = submitter();
        std::optional<SupportCapture> capture;
        if (sidecar)
            capture = SupportCapture{*sidecar, *SidecarTimestamp::parse(sidecar->startedAt)};
        const auto form =
            ProblemReportForm::create(scheduler, scheduler, capture,
                                      [filer](const ProblemReport& report, std::stop_token stop) {
                                          return filer.submit(report, stop);
                                      });
        form->setSubject("  Far side went silent  ");
        form->setProblemDescription("After ten minutes the system audio stopped being recorded.\n");
        form->setAttachCapture(attach);
        form->submit();
        scheduler.runUntilIdle();
        return form->phase();
    }

    json tickets() const { return stack.adminGet("/feedback").at("tickets"); }

    linux_platform::CurlGlobal curl;
    std::shared_ptr<linux_platform::CurlTransport> transport =
        std::make_shared<linux_platform::CurlTransport>(curl);
    testing::DevStack stack{transport};
    linux_platform::LinuxSystemIdentity system;
    ManualClock clock;
    ManualScheduler scheduler{clock};
    LogCapture logs;
};

TEST_F(SupportAgainstDevStack, ReportCarriesDiagnosticsSidecarAndRecordingRules) {
    const Phase attached = submitForm(recordedSidecar(" rec-123 \n"), true);
    ASSERT_EQ(attached.kind, Phase::Kind::sent) << attached.text;
    EXPECT_EQ(attached.text, "KAVO-000001");

    const json ticket = tickets().at(0);
    EXPECT_EQ(ticket["id"], "KAVO-000001");
    const json& body = ticket["request"];
    EXPECT_EQ(body["subject"], "Far side went silent");
    EXPECT_EQ(body["description"], "After ten minutes the system audio stopped being recorded.");
    EXPECT_EQ(body["recording_id"], "rec-123");
    EXPECT_EQ(body["include_recording"], true);
    const json& diagnostics = body["diagnostics"];
    EXPECT_EQ(diagnostics.size(), 10u);
    for (const char* key : {"client", "appVersion", "appBuild", "os", "deviceModel", "arch",
                            "timestamp", "timezone", "tenant", "capture"}) {
        EXPECT_TRUE(diagnostics.contains(key)) << key;
    }
    EXPECT_EQ(diagnostics["client"], "linux-desktop");
    EXPECT_EQ(diagnostics["appVersion"], KAVO_VERSION);
    EXPECT_TRUE(SidecarTimestamp::parse(diagnostics["timestamp"].get<std::string>()).has_value());
    EXPECT_EQ(diagnostics["tenant"],
              (json{{"clientName", "Contoso Meetings Lab"}, {"host", "127.0.0.1"}}));
    EXPECT_EQ(diagnostics["capture"], json::parse(recordedSidecar(" rec-123 \n").encode()));

    // Switched off: no sidecar, no recording, although one exists.
    ASSERT_EQ(submitForm(recordedSidecar("rec-123"), false), Phase::sent("KAVO-000002"));
    // Attached but never uploaded: the sidecar goes, the recording does not.
    ASSERT_EQ(submitForm(recordedSidecar(""), true), Phase::sent("KAVO-000003"));
    const json all = tickets();
    ASSERT_EQ(all.size(), 3u);
    for (const int i : {1, 2}) {
        const json& request = all.at(i)["request"];
        EXPECT_FALSE(request.contains("recording_id")) << i;
        EXPECT_EQ(request["include_recording"], false) << i;
    }
    EXPECT_TRUE(all.at(1)["request"]["diagnostics"]["capture"].is_null());
    EXPECT_EQ(all.at(2)["request"]["diagnostics"]["capture"]["captureId"], "6B1C");
    EXPECT_TRUE(logs.contains("ProblemReportForm", "Support ticket filed: KAVO-000003"));
}

TEST_F(SupportAgainstDevStack, ServerRefusalsShowTheirMessagesAndFileNothing) {
    stack.adminPost("/faults", {{"endpoint", "feedback"}, {"status", 503}});
    EXPECT_EQ(
        submitForm(std::nullopt, false),
        Phase::failed(
            "Support ticketing is unavailable on this deployment right now. Try again later."));
    stack.adminPost("/faults", {{"endpoint", "feedback"}, {"status", 422}});
    EXPECT_EQ(
        submitForm(std::nullopt, false),
        Phase::failed(
            "The server rejected this report. Shorten the subject or the description and send it "
            "again."));
    stack.adminPost("/faults", {{"endpoint", "feedback"}, {"status", 500}});
    EXPECT_EQ(
        submitForm(std::nullopt, false),
        Phase::failed("Could not send the report (HTTP 500). Your text is still here; try again."));
    EXPECT_TRUE(logs.contains("ProblemReportForm", "Support report failed: "));
    EXPECT_TRUE(tickets().empty());
    // With the faults used up the same report goes through.
    EXPECT_EQ(submitForm(std::nullopt, false), Phase::sent("KAVO-000001"));
}

TEST_F(SupportAgainstDevStack, ExpiredSignInIsReportedAsSuch) {
    const json answer = stack.adminPost(
        "/tokens",
        {{"user", "avery.quinn@contoso.test"}, {"resource", "kavo"}, {"expiresInSeconds", -60}});
    const std::string expired = answer.at("access_token").get<std::string>();
    ProblemReportSubmitter filer = submitter();
    filer.api = KavoAPIClient(stack.tenantBaseURL("contoso"), transport,
                              [expired](std::stop_token) { return expired; });
    const auto form = ProblemReportForm::create(
        scheduler, scheduler, std::nullopt,
        [filer](const ProblemReport& r, std::stop_token s) { return filer.submit(r, s); });
    form->setSubject("Expired token");
    form->setProblemDescription("Sent with a token past its lifetime.");
    form->submit();
    scheduler.runUntilIdle();
    EXPECT_EQ(
        form->phase(),
        Phase::failed("Your sign-in has expired. Sign out and back in, then send this again."));
}

TEST_F(SupportAgainstDevStack, UpdateCheckerFollowsThePublishedManifest) {
    const auto checker = UpdateChecker::create(
        UpdateManifestService{stack.updateManifestURL(), transport}, "1.4.2", 21600,
        [this] { return clock.now(); }, scheduler, scheduler);
    checker->startChecking();
    scheduler.runUntilIdle();
    // The stack publishes 0.1.0 to begin with: nothing newer.
    EXPECT_EQ(checker->available(), std::nullopt);

    const auto checkAgain = [&] {
        scheduler.advance(seconds(21600));
        return checker->available();
    };
    stack.adminPatch("/manifest",
                     {{"latestVersion", "1.4.10"},
                      {"downloadPageUrl", "https://downloads.kavo.example/meetings/linux"}});
    EXPECT_EQ(checkAgain(),
              (AvailableUpdate{"1.4.10", "https://downloads.kavo.example/meetings/linux"}));

    stack.adminPost("/faults", {{"endpoint", "manifest"}, {"status", 404}});
    EXPECT_EQ(checkAgain()->version, "1.4.10");
    EXPECT_TRUE(logs.contains("UpdateManifest", "Update manifest HTTP 404"));

    stack.adminPatch("/manifest", {{"latestVersion", "1.5.0"},
                                   {"downloadPageUrl", "http://downloads.kavo.example/"}});
    EXPECT_EQ(checkAgain(), std::nullopt);
    EXPECT_TRUE(logs.contains("UpdateChecker",
                              "Update manifest advertises 1.5.0 with no usable download page"));

    stack.adminPatch("/manifest",
                     {{"latestVersion", "1.4.2"},
                      {"downloadPageUrl", "https://downloads.kavo.example/meetings/linux"}});
    EXPECT_EQ(checkAgain(), std::nullopt);

    stack.adminPatch("/manifest", {{"latestVersion", nullptr}});
    stack.adminPatch("/manifest", {{"latestVersion", "2.0"}});
    EXPECT_EQ(checkAgain()->version, "2.0");
    stack.adminPatch("/manifest", {{"latestVersion", nullptr}});
    EXPECT_EQ(checkAgain()->version, "2.0");
    EXPECT_TRUE(logs.contains("UpdateManifest", "Update manifest did not decode: "));
}

TEST(LinuxSystemIdentityTest, ReadsModelOsAndZoneFromTheFiles) {
    testing::TempDir root;
    std::filesystem::create_directories(root / "sys/class/dmi/id");
    std::filesystem::create_directories(root / "etc");
    std::ofstream(root / "sys/class/dmi/id/product_name") << "20XW0055GE\n";
    std::ofstream(root / "etc/os-release")
        << "NAME=\"Debian GNU/Linux\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n";
    std::ofstream(root / "etc/timezone") << "Europe/Berlin\n";
    ::unsetenv("TZ");
    const linux_platform::LinuxSystemIdentity identity(root.path());
    EXPECT_EQ(identity.productName(), "20XW0055GE");
    EXPECT_TRUE(identity.osVersion().starts_with("Debian GNU/Linux 12 (bookworm); Linux "))
        << identity.osVersion();
    EXPECT_EQ(identity.timeZoneIdentifier(), "Europe/Berlin");
    EXPECT_FALSE(identity.machine().empty());

    testing::TempDir empty;
    const linux_platform::LinuxSystemIdentity bare(empty.path());
    EXPECT_EQ(bare.productName(), std::nullopt);
    EXPECT_EQ(SupportEnvironment::current(bare).deviceModel, "unknown");
    EXPECT_TRUE(bare.osVersion().starts_with("Linux ")) << bare.osVersion();
    EXPECT_EQ(bare.timeZoneIdentifier(), "UTC");
    ::setenv("TZ", ":America/New_York", 1);
    EXPECT_EQ(bare.timeZoneIdentifier(), "America/New_York");
    ::unsetenv("TZ");
}

}  // namespace
}  // namespace kavo
