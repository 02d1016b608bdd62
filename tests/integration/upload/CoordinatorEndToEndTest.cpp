#include <gtest/gtest.h>

#include <mutex>
#include <nlohmann/json.hpp>

#include "StorageTestSupport.h"
#include "capture/files/CaptureArtifacts.h"
#include "capture/files/CaptureSidecar.h"
#include "support/ManualClock.h"
#include "support/RecordingTransport.h"
#include "support/TempDir.h"
#include "upload/FileStagedBlockStore.h"
#include "upload/UploadCoordinator.h"

namespace kavo {
namespace {

using nlohmann::json;
using std::chrono::seconds;
using Sleeps = std::vector<Duration>;

constexpr std::int64_t kFileSize = 10 * 1024 * 1024 + 123;

// How the scripted Kavo API answers. Its init hands out a real Azurite SAS URL (or
// `uploadURL`) after refusing `initFailures` times with 503; finalize answers
// `finalizeStatus` with `finalState`; status reads answer `polls` in turn, then the last
// one ("500" is an error).
struct Script {
    int initFailures = 0;
    std::optional<std::string> uploadURL;
    int finalizeStatus = 200;
    std::string finalState = "PROCESSING";
    std::vector<std::string> polls = {"PROCESSING", "PROCESSING", "DELIVERED"};
};

class CoordinatorEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        azurite.createContainer(*transport, "recordings");
        testing::writeBytes(artifacts.audioURL, audio);
        CaptureSidecar sidecar;
        sidecar.captureId = "E2E";
        sidecar.audioFileName = artifacts.audioURL.filename().string();
        sidecar.startedAt = "2026-03-01T09:00:00.000Z";
        sidecar.endedAt = "2026-03-01T09:05:27.600Z";
        sidecar.durationSeconds = 327.6;
        sidecar.pausedSeconds = 12.4;
        sidecar.write(artifacts.sidecarURL);
    }

    std::string sasURL(Duration validFor) const {
        return azurite.sasURL("recordings", "rec-e2e.wav",
                              std::chrono::system_clock::now() +
                                  std::chrono::duration_cast<WallTime::duration>(validFor));
    }

    UploadStatus run(const Script& script) {
        const std::string uploadURL = script.uploadURL.value_or(sasURL(std::chrono::hours(1)));
        int inits = 0;
        std::size_t reads = 0;
        const auto api = std::make_shared<testing::RecordingTransport>();
        api->setResponder([&](const HTTPRequest& request) -> HTTPResponse {
            if (request.url.ends_with("/uploads/init")) {
                if (inits++ < script.initFailures) return {503, {}, R"({"detail":"warming up"})"};
                return {200,
                        {},
                        json{{"recording_id", "rec-e2e"},
                             {"upload_url", uploadURL},
                             {"blob_path", "recordings/rec-e2e.wav"}}
                            .dump()};
            }
            if (request.url.ends_with("/uploads/finalize"))
                return {script.finalizeStatus,
                        {},
                        json{{"recording_id", "rec-e2e"}, {"state", script.finalState}}.dump()};
            const auto& poll = script.polls[std::min(script.polls.size() - 1, reads++)];
            if (poll == "500") return {500, {}, "db down"};
            return {200, {}, json{{"id", "rec-e2e"}, {"state", poll}}.dump()};
        });
        // Simulated time from now, so that the link's expiry lies ahead; no watchdog, which
        // would race through simulated minutes (the unit tests cover it).
        clock = std::make_unique<ManualClock>(std::chrono::system_clock::now());
        statuses.clear();
        const UploadCoordinator coordinator(
            KavoAPIClient("https://kavo.test", api, [](std::stop_token) { return "token-e2e"; }),
            BlockBlobUploader(*transport, store, 4194304, 4, *clock), *clock,
            std::chrono::seconds(5), 60, std::nullopt, [&](const UploadStatus& status) {
                const std::lock_guard guard(statusLock);
                statuses.push_back(status);
            });
        const UploadStatus final = coordinator.run(artifacts);
        requests = api->requests();
        return final;
    }

    testing::AzuriteServer azurite;
    std::shared_ptr<linux_platform::CurlTransport> transport =
        std::make_shared<linux_platform::CurlTransport>(testing::curlGlobal());
    testing::TempDir dir;
    CaptureArtifacts artifacts = CaptureArtifacts::forCapture(dir.path(), "E2E");
    const std::string audio = testing::recordingBytes(kFileSize);
    FileStagedBlockStore store{dir / "staged-blocks.json"};
    std::unique_ptr<ManualClock> clock;
    std::mutex statusLock;
    std::vector<UploadStatus> statuses;
    std::vector<HTTPRequest> requests;
};

TEST_F(CoordinatorEndToEnd, RetriesInitOn10_60_300sThenUploadsFinalizesAndPollsToDelivered) {
    Script script;
    script.initFailures = 3;
    EXPECT_EQ(run(script), UploadStatus::delivered("rec-e2e"));
    EXPECT_EQ(clock->sleeps(),
              (Sleeps{seconds(10), seconds(60), seconds(300), seconds(5), seconds(5), seconds(5)}));

    const auto retry = UploadStatus::retrying(
        "Init failed: Request failed with HTTP 503: {\"detail\":\"warming up\"}");
    const auto preparing = UploadStatus::preparing();
    ASSERT_GT(statuses.size(), 10U);
    EXPECT_EQ(std::vector<UploadStatus>(statuses.begin(), statuses.begin() + 8),
              (std::vector<UploadStatus>{preparing, retry, preparing, retry, preparing, retry,
                                         preparing, UploadStatus::uploading()}));
    EXPECT_EQ(statuses[statuses.size() - 3], UploadStatus::uploading(1.0));
    EXPECT_EQ(statuses[statuses.size() - 2], UploadStatus::finalizing());

    const auto finalize = std::find_if(requests.begin(), requests.end(), [](const auto& r) {
        return r.url == "https://kavo.test/api/v1/meetings/uploads/finalize";
    });
    ASSERT_NE(finalize, requests.end());
    EXPECT_EQ(json::parse(finalize->body), json::parse(R"({"recording_id":"rec-e2e",
        "captureMode":"impromptu","durationSeconds":328,"pausedDurationSeconds":12,
        "capturedAt":"2026-03-01T09:00:00Z","capturedUntil":"2026-03-01T09:05:27Z",
        "audioProfile":"standard","sampleRateHz":16000,"channels":1,"bitRateKbps":256,
        "fileSizeBytes":10485883,"expectedSpeakers":[],"shareWithAttendees":false})"));
    const auto written = CaptureSidecar::read(artifacts.sidecarURL);
    EXPECT_EQ(written.recordingId, "rec-e2e");
    EXPECT_EQ(written.uploadState, "DELIVERED");
    EXPECT_TRUE(azurite.readBlob(*transport, "recordings", "rec-e2e.wav") == audio);
}

TEST_F(CoordinatorEndToEnd, OtherAnswersEndTheRunAsTheyShould) {
    const auto failed = [](const std::string& text) { return UploadStatus::failed(text); };
    const std::string exhausted = " \u2014 automatic retries exhausted.";
    const std::string unprocessed = "The server could not process this recording.";
    struct Case {
        const char* what;
        std::function<void(Script&)> script;
        UploadStatus final;
        Sleeps sleeps;
    };
    const Case cases[] = {
        {"init refused every time",
         [](Script& s) { s.initFailures = 4; },
         failed("Init failed: Request failed with HTTP 503: {\"detail\":\"warming up\"}" +
                exhausted),
         {seconds(10), seconds(60), seconds(300)}},
        {"finalize 403",
         [](Script& s) { s.finalizeStatus = 403; },
         failed("Finalize failed: You don't have permission to access this recording."),
         {}},
        {"finalize 409, confirmed by a status read", [](Script& s) { s.finalizeStatus = 409; },
         UploadStatus::delivered("rec-e2e"), Sleeps(2, seconds(5))},
        {"finalize says FAILED",
         [](Script& s) { s.finalState = "FAILED"; },
         failed(unprocessed),
         {}},
        {"poll errors, then failed",
         [](Script& s) {
             s.polls = {"500", "500", "failed"};
         },
         failed(unprocessed), Sleeps(3, seconds(5))},
        {"poll window exhausted", [](Script& s) { s.polls = {"PROCESSING"}; },
         UploadStatus::processing("rec-e2e"), Sleeps(60, seconds(5))},
        {"link too short for the upload",
         [this](Script& s) { s.uploadURL = sasURL(seconds(100)); },
         failed("Upload could not finish before the upload link expired." + exhausted),
         {seconds(10), seconds(60), seconds(300)}},
        {"link unparseable",
         [](Script& s) { s.uploadURL = "https://storage.test/a b.wav?se=x"; },
         failed("Init returned an upload URL this app could not parse."),
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Script script;
        c.script(script);
        EXPECT_EQ(run(script), c.final);
        EXPECT_EQ(clock->sleeps(), c.sleeps);
    }
}

}  // namespace
}  // namespace kavo
