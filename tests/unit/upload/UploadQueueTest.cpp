#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <future>
#include <nlohmann/json.hpp>

#include "FakeKavoServer.h"
#include "base/Log.h"
#include "base/ManualClock.h"
#include "capture/files/CaptureArtifacts.h"
#include "capture/files/CaptureSidecar.h"
#include "support/TempDir.h"
#include "upload/FileStagedBlockStore.h"
#include "upload/UploadCoordinator.h"
#include "upload/UploadQueue.h"
#include "upload/UploadStatus.h"

namespace kavo {
namespace {

// The menu rows of the other statuses are pinned by the menu's own tests.
TEST(UploadStatus, PercentRoundsHalfUpAndIdleHasItsOwnText) {
    EXPECT_EQ(UploadStatus::uploading(0.0).menuText(), "Uploading 0%");
    EXPECT_EQ(UploadStatus::uploading(0.125).menuText(), "Uploading 13%");
    EXPECT_EQ(UploadStatus::uploading(0.999).menuText(), "Uploading 100%");
    EXPECT_EQ(UploadStatus::idle().menuText(), "No upload in progress");
    EXPECT_NE(UploadStatus::processing("a"), UploadStatus::delivered("a"));
    EXPECT_NE(UploadStatus::uploading(), UploadStatus::uploading(0.0));
    EXPECT_NE(UploadStatus::failed("x"), UploadStatus::retrying("x"));
}

TEST(UploadQueue, RunsJobsOneAtATimeInHandOverOrderWhateverEachTakes) {
    LogCapture logs;
    UploadQueue queue;
    std::mutex lock;
    std::vector<int> order;
    std::atomic<int> running{0};
    std::atomic<int> mostAtOnce{0};
    std::promise<void> releaseFirst;
    auto firstMayEnd = releaseFirst.get_future().share();
    for (int job = 0; job < 5; ++job) {
        queue.enqueue([&, job, firstMayEnd](std::stop_token) {
            mostAtOnce = std::max(mostAtOnce.load(), ++running);
            if (job == 0) firstMayEnd.wait();
            {
                std::lock_guard guard(lock);
                order.push_back(job);
            }
            --running;
            if (job == 2) throw std::runtime_error("a job that throws must not stop the next");
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    {
        std::lock_guard guard(lock);
        EXPECT_TRUE(order.empty()) << "a later job ran while the first was still running";
    }
    releaseFirst.set_value();
    queue.waitUntilIdle();
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_TRUE(logs.contains("UploadQueue", "a job that throws must not stop the next"));
    EXPECT_EQ(mostAtOnce.load(), 1);
}

TEST(UploadQueue, ClosingStopsTheRunningJobAndDropsTheRest) {
    std::atomic<bool> sawStop{false};
    std::atomic<bool> laterRan{false};
    std::promise<void> started;
    {
        UploadQueue queue;
        queue.enqueue([&](std::stop_token stop) {
            started.set_value();
            std::mutex m;
            std::condition_variable_any cv;
            std::unique_lock guard(m);
            cv.wait(guard, stop, [] { return false; });
            sawStop = stop.stop_requested();
        });
        queue.enqueue([&](std::stop_token) { laterRan = true; });
        started.get_future().wait();
    }
    EXPECT_TRUE(sawStop);
    EXPECT_FALSE(laterRan);
}

TEST(UploadQueue, TheSecondCapturesInitWaitsForTheFirstUploadsFinalStatus) {
    testing::TempDir dir;
    ManualClock clock;
    const auto server = std::make_shared<testing::FakeKavoServer>();
    const std::string uploadURL =
        std::string(testing::FakeKavoServer::kStorageBase) + "r.wav?sig=s";
    server->setHandler([&](const HTTPRequest& request, const std::string& path) {
        if (path == "/api/v1/meetings/uploads/init") {
            const auto name = nlohmann::json::parse(request.body)["filename"].get<std::string>();
            return testing::FakeKavoServer::json(
                200,
                nlohmann::json{
                    {"recording_id", "rec-" + name}, {"upload_url", uploadURL}, {"blob_path", "b"}}
                    .dump());
        }
        const auto id = nlohmann::json::parse(request.body)["recording_id"].get<std::string>();
        return testing::FakeKavoServer::json(
            200, nlohmann::json{{"recording_id", id}, {"state", "DELIVERED"}}.dump());
    });
    const KavoAPIClient api(testing::FakeKavoServer::kBaseURL, server,
                            [](std::stop_token) { return std::string("t"); });
    FileStagedBlockStore store(dir / "staged-blocks.json");

    std::mutex lock;
    std::vector<std::string> events;
    const auto capture = [&](const std::string& id) {
        const auto artifacts = CaptureArtifacts::forCapture(dir.path(), id);
        std::ofstream(artifacts.audioURL) << "RIFF....WAVE";
        CaptureSidecar sidecar;
        sidecar.captureId = id;
        sidecar.audioFileName = id;
        sidecar.startedAt = "2026-03-01T08:00:00.000Z";
        sidecar.write(artifacts.sidecarURL);
        return artifacts;
    };
    const auto job = [&](const std::string& id) {
        return [&, id, artifacts = capture(id)](std::stop_token stop) {
            const UploadCoordinator coordinator(
                api, BlockBlobUploader(*server, store, 4194304, 4, clock), clock, 5.0, 60,
                std::nullopt, [&, id](const UploadStatus& status) {
                    std::lock_guard guard(lock);
                    events.push_back(id + " " + status.menuText());
                });
            coordinator.run(artifacts, stop);
        };
    };

    UploadQueue queue;
    server->storage.hold();
    queue.enqueue(job("A"));
    queue.enqueue(job("B"));
    server->storage.waitForHeld(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(server->count("POST", "/api/v1/meetings/uploads/init"), 1);
    server->storage.release();
    queue.waitUntilIdle();

    EXPECT_EQ(events, (std::vector<std::string>{
                          "A Preparing upload", "A Uploading", "A Uploading 100%",
                          "A Finishing upload", "A Uploaded", "B Preparing upload", "B Uploading",
                          "B Uploading 100%", "B Finishing upload", "B Uploaded"}));
}

}  // namespace
}  // namespace kavo
