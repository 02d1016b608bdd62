#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "capture/files/SidecarTimestamp.h"
#include "platform/linux/LinuxSystemIdentity.h"
#include "support/ManualClock.h"
#include "support/ManualScheduler.h"
#include "support/ProblemReportForm.h"
#include "support/ProblemReportSubmitter.h"
#include "support/StackTest.h"
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
    sidecar.recordingId = std::move(recordingId);
    return sidecar;
}

class SupportAgainstDevStack : public testing::StackTest {
protected:
    // Fills and submits a form bound to the dev stack; returns its final phase.
    Phase submitForm(std::optional<CaptureSidecar> sidecar, bool attach,
                     std::optional<std::string> token = std::nullopt) {
        const ProblemReportSubmitter filer{
            .api = KavoAPIClient(stack_->tenantBaseURL("contoso"), transport_,
                                 [bearer = token.value_or(stack_->accessToken())](std::stop_token) {
                                     return bearer;
                                 }),
            .tenant = {stack_->tenantClientName("contoso"), stack_->tenantBaseURL("contoso")},
            .environment = SupportEnvironment::current(system),
            .now = [] { return std::chrono::system_clock::now(); },
            .timeZone = system.timeZoneIdentifier(),
        };
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

    json tickets() const { return stack_->adminGet("/feedback").at("tickets"); }
    // Submits the form and expects it to show the reference of the ticket it filed.
    void expectFiled(std::optional<CaptureSidecar> sidecar, bool attach) {
        const Phase phase = submitForm(std::move(sidecar), attach);
        const json filed = tickets();
        ASSERT_FALSE(filed.empty());
        EXPECT_EQ(phase, Phase::sent(filed.back().at("id")));
    }

    linux_platform::LinuxSystemIdentity system;
    ManualClock clock;
    ManualScheduler scheduler{clock};
};

TEST_F(SupportAgainstDevStack, ReportCarriesDiagnosticsSidecarAndRecordingRules) {
    expectFiled(recordedSidecar(" rec-123 \n"), true);
    const json body = tickets().at(0).at("request");
    EXPECT_EQ(body["subject"], "Far side went silent");
    EXPECT_EQ(body["description"], "After ten minutes the system audio stopped being recorded.");
    EXPECT_EQ(body["recording_id"], "rec-123");
    EXPECT_EQ(body["include_recording"], true);
    EXPECT_EQ(body["diagnostics"]["tenant"]["host"], "127.0.0.1");
    EXPECT_EQ(body["diagnostics"]["capture"], json::parse(recordedSidecar(" rec-123 \n").encode()));

    // Switched off: no sidecar, no recording, although one exists.
    expectFiled(recordedSidecar("rec-123"), false);
    // Attached but never uploaded: the sidecar goes, the recording does not.
    expectFiled(recordedSidecar(""), true);
    const json all = tickets();
    for (const int i : {1, 2}) {
        EXPECT_FALSE(all.at(i)["request"].contains("recording_id")) << i;
        EXPECT_EQ(all.at(i)["request"]["include_recording"], false) << i;
    }
    EXPECT_TRUE(all.at(1)["request"]["diagnostics"]["capture"].is_null());
    EXPECT_EQ(all.at(2)["request"]["diagnostics"]["capture"]["captureId"], "6B1C");
}

TEST_F(SupportAgainstDevStack, ServerRefusalsShowTheirMessagesAndFileNothing) {
    const std::pair<int, const char*> refusals[] = {
        {503, "Support ticketing is unavailable on this deployment right now. Try again later."},
        {422,
         "The server rejected this report. Shorten the subject or the description and send "
         "it again."},
    };
    for (const auto& [status, message] : refusals) {
        stack_->adminPost("/faults", {{"endpoint", "feedback"}, {"status", status}});
        EXPECT_EQ(submitForm(std::nullopt, false), Phase::failed(message)) << status;
    }
    const json expired = stack_->adminPost(
        "/tokens",
        {{"user", "avery.quinn@contoso.test"}, {"resource", "kavo"}, {"expiresInSeconds", -60}});
    EXPECT_EQ(
        submitForm(std::nullopt, false, expired.at("access_token").get<std::string>()),
        Phase::failed("Your sign-in has expired. Sign out and back in, then send this again."));
    EXPECT_TRUE(tickets().empty());
    // With the faults used up the same report goes through.
    expectFiled(std::nullopt, false);
}

TEST_F(SupportAgainstDevStack, UpdateCheckerFollowsThePublishedManifest) {
    const auto checker = UpdateChecker::create(
        UpdateManifestService{stack_->updateManifestURL(), transport_}, "1.4.2",
        std::chrono::hours(6), [this] { return clock.now(); }, scheduler, scheduler);
    checker->startChecking();
    scheduler.runUntilIdle();
    EXPECT_EQ(checker->available(), std::nullopt) << "the stack publishes 0.1.0 to begin with";

    const auto publish = [&](json manifest) {
        stack_->adminPatch("/manifest", manifest);
        scheduler.advance(seconds(21600));
        return checker->available();
    };
    const std::string page = "https://downloads.kavo.example/meetings/linux";
    EXPECT_EQ(publish({{"latestVersion", "1.4.10"}, {"downloadPageUrl", page}}),
              (AvailableUpdate{"1.4.10", page}));
    stack_->adminPost("/faults", {{"endpoint", "manifest"}, {"status", 404}});
    EXPECT_EQ(publish(json::object())->version, "1.4.10") << "a 404 keeps the last offer";
    EXPECT_EQ(publish({{"latestVersion", "1.5.0"}, {"downloadPageUrl", "http://d.example/"}}),
              std::nullopt);
    EXPECT_EQ(publish({{"latestVersion", "1.4.2"}, {"downloadPageUrl", page}}), std::nullopt);
    EXPECT_EQ(publish({{"latestVersion", "2.0"}})->version, "2.0");
    EXPECT_EQ(publish({{"latestVersion", nullptr}})->version, "2.0") << "undecodable";
}

}  // namespace
}  // namespace kavo
