#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <future>
#include <nlohmann/json.hpp>
#include <system_error>

#include "FakeBlobStorage.h"
#include "capture/files/CaptureArtifacts.h"
#include "capture/files/CaptureSidecar.h"
#include "capture/files/SidecarTimestamp.h"
#include "net/KavoAPIError.h"
#include "net/UrlText.h"
#include "support/ManualClock.h"
#include "support/RecordingTransport.h"
#include "support/TempDir.h"
#include "upload/FileStagedBlockStore.h"
#include "upload/InteractiveSignInRequiredError.h"
#include "upload/UploadCoordinator.h"

// Whole runs (retries, finalize, polling, the link's deadline) run against a scripted server
// and Azurite; these need a storage that can be held.

namespace kavo {
namespace {

using nlohmann::json;
using std::chrono::seconds;

const std::string kAPI = "https://kavo.test";
const std::string kStorage = "https://storage.test/recordings/";

struct SignInAgain : Error, InteractiveSignInRequiredError {
    SignInAgain() : Error("Sign in again to continue.") {}
};

class CoordinatorTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::ofstream(artifacts.audioURL, std::ios::binary) << std::string(5 << 20, 'a');
        CaptureSidecar sidecar;
        sidecar.captureId = "T1";
        sidecar.audioFileName = "capture-T1.wav";
        sidecar.startedAt = "2026-03-01T08:00:00.000Z";
        sidecar.write(artifacts.sidecarURL);
        serve();
    }

    // Init hands out a link valid for three hours; finalize answers DELIVERED.
    void serve() {
        const std::string link = kStorage + "rec-1.wav?se=" +
                                 UrlText::percentEncodeAlphanumerics(SidecarTimestamp::format(
                                     ManualClock::defaultStart() + std::chrono::hours(3))) +
                                 "&sig=s";
        server->setResponder([=](const HTTPRequest& request) -> HTTPResponse {
            if (request.url.ends_with("/init"))
                return {200,
                        {},
                        json{{"recording_id", "rec-1"}, {"upload_url", link}, {"blob_path", "b"}}
                            .dump()};
            return {200, {}, R"({"recording_id":"rec-1","state":"DELIVERED"})"};
        });
    }

    UploadCoordinator coordinator(const Clock& time, std::optional<Duration> watchdog = {}) {
        return UploadCoordinator(api, BlockBlobUploader(storage, store, 4 << 20, 4, time), time,
                                 std::chrono::seconds(5), 60, watchdog,
                                 [this](const UploadStatus& status) {
                                     std::lock_guard lock(statusLock);
                                     statuses.push_back(status);
                                 });
    }

    testing::TempDir dir;
    CaptureArtifacts artifacts = CaptureArtifacts::forCapture(dir.path(), "T1");
    std::shared_ptr<testing::RecordingTransport> server =
        std::make_shared<testing::RecordingTransport>();
    testing::FakeBlobStorage storage;
    KavoAPIClient api{kAPI, server, [](std::stop_token) { return std::string("tok"); }};
    FileStagedBlockStore store{dir / "staged-blocks.json"};
    std::mutex statusLock;
    std::vector<UploadStatus> statuses;
};

TEST_F(CoordinatorTest, LocalProblemsEndTheRunAtOnceWithTheirOwnTexts) {
    ManualClock clock;
    std::filesystem::remove(artifacts.audioURL);
    EXPECT_EQ(
        coordinator(clock).run(artifacts),
        UploadStatus::failed("Recording file is no longer on this computer (capture-T1.wav)."));
    std::ofstream(artifacts.sidecarURL) << "{ not a sidecar";
    EXPECT_EQ(coordinator(clock).run(artifacts),
              UploadStatus::failed("This recording's metadata file is missing or unreadable, so "
                                   "it cannot be uploaded."));
    EXPECT_EQ(server->requestCount(), 0U);
    EXPECT_TRUE(clock.sleeps().empty());
}

TEST(UploadCoordinatorClassify, SortsEachFailureIntoTransientOrPermanentWithItsText) {
    const auto classify = [](auto error) {
        return UploadCoordinator::classify(std::make_exception_ptr(error), "Init failed");
    };
    const auto storage = [&](int status, std::optional<std::string> code) {
        return classify(BlockBlobUploaderError::http(status, "Put Block [block 1]", code, "d"));
    };
    using R = UploadCoordinator::AttemptResult;
    const std::pair<R, R> cases[] = {
        {classify(SignInAgain()), R::permanent("Sign in again to upload this meeting.")},
        {classify(KavoAPIError::invalidRequest("too big")),
         R::permanent("Init failed: This recording cannot be uploaded: too big")},
        {classify(BlockBlobUploaderError::fileMissing("/a.wav")),
         R::permanent("Init failed: Recording file is no longer on this computer (/a.wav).")},
        {classify(KavoAPIError::http(499, "x")),
         R::permanent("Init failed: the server rejected this upload (HTTP 499).")},
        {classify(KavoAPIError::http(408, "x")),
         R::transient("Init failed: Request failed with HTTP 408: x")},
        {storage(500, std::nullopt),
         R::transient("Init failed: Azure Put Block [block 1] failed with HTTP 500. d")},
        {storage(400, "InvalidHeaderValue"),
         R::permanent("Init failed: storage rejected this upload (HTTP 400).")},
        {classify(std::runtime_error("odd")), R::transient("Init failed: odd")},
        // Waiting does not heal a folder or a missing permission; it may heal a full disk.
        {classify(std::filesystem::filesystem_error(
             "read", "/c.wav", std::make_error_code(std::errc::is_a_directory))),
         R::permanent("Init failed: filesystem error: read: Is a directory [/c.wav]")},
        {classify(std::system_error(EACCES, std::generic_category(), "open")),
         R::permanent("Init failed: open: Permission denied")},
        {classify(std::system_error(ENOSPC, std::generic_category(), "write")),
         R::transient("Init failed: write: No space left on device")},
    };
    for (const auto& [result, expected] : cases) EXPECT_EQ(result, expected);
    for (const R& result : {storage(429, "ServerBusy"), storage(400, "CRC64MISMATCH"),
                            classify(KavoAPIError::decoding("Missing key")),
                            classify(BlockBlobUploaderError::shortRead(2, 10))})
        EXPECT_EQ(result.kind, UploadCoordinator::AttemptResult::Kind::transient) << result.message;
}

// Simulated time in which sleeps of the watchdog's length wait for tick(), which moves
// time and ends exactly one of them. Other sleeps (retries, polls) pass at once.
class WatchdogClock final : public Clock {
public:
    WallTime now() const override {
        std::lock_guard lock(mutex_);
        return wall_;
    }
    std::uint64_t hostTime() const override { return 0; }
    bool sleepFor(Duration duration, std::stop_token stop) const override {
        std::unique_lock lock(mutex_);
        if (duration != seconds(15)) {
            wall_ += std::chrono::duration_cast<WallTime::duration>(duration);
            return !stop.stop_requested();
        }
        asleep_ = true;
        const auto ticket = ticks_;
        changed_.notify_all();
        const bool woke = changed_.wait(lock, stop, [&] { return ticks_ > ticket; });
        asleep_ = false;
        return woke;
    }
    // Waits until the watchdog sleeps, then moves time and wakes it.
    void tick(Duration by) {
        waitUntilAsleep();
        std::lock_guard lock(mutex_);
        wall_ += std::chrono::duration_cast<WallTime::duration>(by);
        asleep_ = false;
        ++ticks_;
        changed_.notify_all();
    }
    void waitUntilAsleep() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return asleep_; });
    }

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable_any changed_;
    mutable WallTime wall_ = ManualClock::defaultStart();
    mutable bool asleep_ = false;
    mutable int ticks_ = 0;
};

TEST_F(CoordinatorTest, AnUploadSilentForThreeMinutesIsCancelledAndTheNextAttemptFinishes) {
    WatchdogClock time;
    storage.hold();
    auto running = std::async(std::launch::async, [&] {
        return coordinator(time, std::chrono::seconds(15)).run(artifacts);
    });
    for (int check = 1; check <= 11; ++check) time.tick(seconds(15));
    time.waitUntilAsleep();
    EXPECT_EQ(storage.cancelledRequests(), 0) << "cancelled after only 165 s of silence";
    time.tick(seconds(15));
    while (storage.cancelledRequests() < 2) std::this_thread::yield();
    storage.release();
    EXPECT_EQ(running.get(), UploadStatus::delivered("rec-1"));
    EXPECT_NE(std::find(statuses.begin(), statuses.end(),
                        UploadStatus::retrying("Blob upload failed: The request was cancelled.")),
              statuses.end());
}

}  // namespace
}  // namespace kavo
