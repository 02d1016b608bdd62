#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <nlohmann/json.hpp>

#include "StorageTestSupport.h"
#include "base/Log.h"
#include "base/ManualClock.h"
#include "capture/files/CaptureArtifacts.h"
#include "capture/files/CaptureSidecar.h"
#include "support/LoopbackHttpServer.h"
#include "support/TempDir.h"
#include "upload/FileStagedBlockStore.h"
#include "upload/UploadCoordinator.h"

namespace kavo {
namespace {

using Server = testing::LoopbackHttpServer;
using nlohmann::json;

constexpr std::int64_t kFileSize = 10 * 1024 * 1024 + 123;

// A scripted Kavo server whose init hands out a real Azurite SAS URL: init is refused
// with 503 `initFailures` times, finalize answers PROCESSING and the status read turns
// DELIVERED on its third call.
TEST(CoordinatorEndToEnd, RetriesInitOn10_60_300sThenUploadsFinalizesAndPollsToDelivered) {
    testing::AzuriteServer azurite;
    const auto transport = std::make_shared<linux_platform::CurlTransport>(testing::curlGlobal());
    azurite.createContainer(*transport, "recordings");
    const std::string sasURL = azurite.sasURL(
        "recordings", "rec-e2e.wav", std::chrono::system_clock::now() + std::chrono::hours(1));

    std::atomic<int> inits{0};
    std::atomic<int> statusReads{0};
    Server server([&](const Server::Request& request) {
        if (request.method == "POST" && request.path() == "/api/v1/meetings/uploads/init") {
            if (inits++ < 3) return Server::Response::json(503, R"({"detail":"warming up"})");
            return Server::Response::json(200, json{{"recording_id", "rec-e2e"},
                                                    {"upload_url", sasURL},
                                                    {"blob_path", "recordings/rec-e2e.wav"}}
                                                   .dump());
        }
        if (request.method == "POST" && request.path() == "/api/v1/meetings/uploads/finalize")
            return Server::Response::json(200,
                                          R"({"recording_id":"rec-e2e","state":"PROCESSING"})");
        if (request.method == "GET" && request.path() == "/api/v1/meetings/recordings/rec-e2e")
            return Server::Response::json(
                200,
                json{{"id", "rec-e2e"}, {"state", ++statusReads < 3 ? "PROCESSING" : "DELIVERED"}}
                    .dump());
        return Server::Response::json(404, "{}");
    });

    testing::TempDir dir;
    const auto artifacts = CaptureArtifacts::forCapture(dir.path(), "E2E");
    const std::string audio = testing::recordingBytes(kFileSize);
    testing::writeBytes(artifacts.audioURL, audio);
    CaptureSidecar sidecar;
    sidecar.captureId = "E2E";
    sidecar.audioFileName = artifacts.audioURL.filename().string();
    sidecar.startedAt = "2026-03-01T09:00:00.000Z";
    sidecar.endedAt = "2026-03-01T09:05:27.600Z";
    sidecar.durationSeconds = 327.6;
    sidecar.pausedSeconds = 12.4;
    sidecar.write(artifacts.sidecarURL);

    // Simulated time, from now so the SAS expiry lies ahead. A free-running watchdog
    // would race through simulated minutes, so this run has none; unit tests cover it.
    ManualClock clock(std::chrono::system_clock::now());
    FileStagedBlockStore store(dir / "staged-blocks.json");
    const KavoAPIClient api(server.baseURL(), transport,
                            [](std::stop_token) { return std::string("token-e2e"); });
    std::mutex statusLock;
    std::vector<UploadStatus> statuses;
    const UploadCoordinator coordinator(
        api, BlockBlobUploader(*transport, store, 4194304, 4, clock), clock, 5.0, 60, std::nullopt,
        [&](const UploadStatus& status) {
            std::lock_guard lock(statusLock);
            statuses.push_back(status);
        });
    LogCapture logs;
    const UploadStatus final = coordinator.run(artifacts);

    EXPECT_EQ(final, UploadStatus::delivered("rec-e2e"));
    EXPECT_EQ(clock.sleeps(),
              (std::vector<Duration>{std::chrono::seconds(10), std::chrono::seconds(60),
                                     std::chrono::seconds(300), std::chrono::seconds(5),
                                     std::chrono::seconds(5), std::chrono::seconds(5)}));

    const std::string retry =
        "Init failed: Request failed with HTTP 503: {\"detail\":\"warming up\"}";
    std::vector<UploadStatus> expectedStart;
    for (int i = 0; i < 3; ++i) {
        expectedStart.push_back(UploadStatus::preparing());
        expectedStart.push_back(UploadStatus::retrying(retry));
    }
    expectedStart.push_back(UploadStatus::preparing());
    expectedStart.push_back(UploadStatus::uploading());
    ASSERT_GT(statuses.size(), expectedStart.size() + 2);
    EXPECT_EQ(std::vector<UploadStatus>(statuses.begin(), statuses.begin() + 8), expectedStart);
    EXPECT_EQ(statuses.back(), UploadStatus::delivered("rec-e2e"));
    EXPECT_EQ(statuses[statuses.size() - 2], UploadStatus::finalizing());
    double shown = 0;
    for (std::size_t i = 8; i + 2 < statuses.size(); ++i) {
        ASSERT_EQ(statuses[i].kind(), UploadStatus::Kind::uploading);
        ASSERT_TRUE(statuses[i].fraction().has_value());
        EXPECT_GE(*statuses[i].fraction(), shown);
        shown = *statuses[i].fraction();
    }
    EXPECT_EQ(shown, 1.0);
    for (int attempt = 1; attempt <= 3; ++attempt)
        EXPECT_TRUE(logs.contains("UploadCoordinator",
                                  "Transient failure on attempt " + std::to_string(attempt)));
    EXPECT_TRUE(logs.contains("UploadCoordinator", "Retry 3 in 300s: " + retry));
    EXPECT_TRUE(logs.contains("UploadCoordinator", "Poll terminal after 3 attempt(s): DELIVERED"));

    const auto requests = server.requests();
    const auto init = std::find_if(requests.rbegin(), requests.rend(), [](const auto& r) {
        return r.path() == "/api/v1/meetings/uploads/init";
    });
    ASSERT_NE(init, requests.rend());
    EXPECT_EQ(init->header("Authorization"), "Bearer token-e2e");
    EXPECT_EQ(json::parse(init->body), (json{{"filename", "capture-E2E.wav"},
                                             {"content_type", "audio/wav"},
                                             {"size_bytes", kFileSize}}));
    const auto finalize = std::find_if(requests.begin(), requests.end(), [](const auto& r) {
        return r.path() == "/api/v1/meetings/uploads/finalize";
    });
    ASSERT_NE(finalize, requests.end());
    const auto sent = json::parse(finalize->body);
    EXPECT_EQ(sent["recording_id"], "rec-e2e");
    EXPECT_EQ(sent["captureMode"], "impromptu");
    EXPECT_EQ(sent["durationSeconds"], 328);
    EXPECT_EQ(sent["pausedDurationSeconds"], 12);
    EXPECT_EQ(sent["capturedAt"], "2026-03-01T09:00:00Z");
    EXPECT_EQ(sent["capturedUntil"], "2026-03-01T09:05:27Z");
    EXPECT_EQ(sent["audioProfile"], "standard");
    EXPECT_EQ(sent["sampleRateHz"], 16000);
    EXPECT_EQ(sent["channels"], 1);
    EXPECT_EQ(sent["bitRateKbps"], 256);
    EXPECT_EQ(sent["fileSizeBytes"], kFileSize);
    EXPECT_EQ(sent["expectedSpeakers"], json::array());
    EXPECT_EQ(sent["shareWithAttendees"], false);
    EXPECT_FALSE(sent.contains("meetingTitle"));
    EXPECT_EQ(statusReads.load(), 3);

    const auto written = CaptureSidecar::read(artifacts.sidecarURL);
    EXPECT_EQ(written.recordingId, "rec-e2e");
    EXPECT_EQ(written.blobPath, "recordings/rec-e2e.wav");
    EXPECT_EQ(written.uploadState, "DELIVERED");
    EXPECT_TRUE(azurite.readBlob(*transport, "recordings", "rec-e2e.wav") == audio);
}

}  // namespace
}  // namespace kavo
