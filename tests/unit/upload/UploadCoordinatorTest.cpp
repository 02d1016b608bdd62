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

// Whole runs against a scripted Kavo API; what only a real storage shows runs against Azurite.

namespace kavo {
namespace {

using nlohmann::json;
using std::chrono::seconds;
using Sleeps = std::vector<Duration>;

constexpr std::int64_t kFileSize = 5 * 1024 * 1024 + 123;

struct SignInAgain : Error, InteractiveSignInRequiredError {
    SignInAgain() : Error("Sign in again to continue.") {}
};

// A link to the storage that expires `validFor` after the simulated start.
std::string link(Duration validFor) {
    const auto expiry =
        ManualClock::defaultStart() + std::chrono::duration_cast<WallTime::duration>(validFor);
    return "https://storage.test/recordings/rec-1.wav?se=" +
           UrlText::percentEncodeAlphanumerics(SidecarTimestamp::format(expiry)) + "&sig=s";
}

// How the scripted Kavo API answers: init after `initFailures` 503s; status reads `polls` in
// turn, then the last one ("500" is an error).
struct Script {
    int initFailures = 0;
    std::string uploadURL = link(std::chrono::hours(3));
    int finalizeStatus = 200;
    std::string finalState = "PROCESSING";
    std::vector<std::string> polls = {"PROCESSING", "PROCESSING", "DELIVERED"};
};

class CoordinatorTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::ofstream(artifacts.audioURL, std::ios::binary)
            << std::string(static_cast<std::size_t>(kFileSize), 'a');
        CaptureSidecar sidecar;
        sidecar.captureId = "T1";
        sidecar.audioFileName = "capture-T1.wav";
        sidecar.startedAt = "2026-03-01T09:00:00.000Z";
        sidecar.endedAt = "2026-03-01T09:05:27.600Z";
        sidecar.durationSeconds = 327.6;
        sidecar.pausedSeconds = 12.4;
        sidecar.write(artifacts.sidecarURL);
        server->setResponder([this](const HTTPRequest& request) -> HTTPResponse {
            if (request.url.ends_with("/uploads/init")) {
                if (inits++ < script.initFailures) return {503, {}, R"({"detail":"warming up"})"};
                return {200,
                        {},
                        json{{"recording_id", "rec-1"},
                             {"upload_url", script.uploadURL},
                             {"blob_path", "recordings/rec-1.wav"}}
                            .dump()};
            }
            if (request.url.ends_with("/uploads/finalize"))
                return {script.finalizeStatus,
                        {},
                        json{{"recording_id", "rec-1"}, {"state", script.finalState}}.dump()};
            const auto& poll = script.polls[std::min(script.polls.size() - 1, reads++)];
            if (poll == "500") return {500, {}, "db down"};
            return {200, {}, json{{"id", "rec-1"}, {"state", poll}}.dump()};
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

    // One run of the script in fresh simulated time.
    UploadStatus run() {
        inits = 0;
        reads = 0;
        statuses.clear();
        clock.emplace();
        return coordinator(*clock).run(artifacts);
    }

    testing::TempDir dir;
    CaptureArtifacts artifacts = CaptureArtifacts::forCapture(dir.path(), "T1");
    std::shared_ptr<testing::RecordingTransport> server =
        std::make_shared<testing::RecordingTransport>();
    testing::FakeBlobStorage storage;
    KavoAPIClient api{"https://kavo.test", server, [](std::stop_token) { return "tok"; }};
    FileStagedBlockStore store{dir / "staged-blocks.json"};
    Script script;
    int inits = 0;
    std::size_t reads = 0;
    std::optional<ManualClock> clock;
    std::mutex statusLock;
    std::vector<UploadStatus> statuses;
};

TEST_F(CoordinatorTest, RetriesInitOn10_60_300sThenUploadsFinalizesAndPollsToDelivered) {
    script.initFailures = 3;
    EXPECT_EQ(run(), UploadStatus::delivered("rec-1"));
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

    const auto requests = server->requests();
    const auto finalize = std::find_if(requests.begin(), requests.end(), [](const auto& r) {
        return r.url == "https://kavo.test/api/v1/meetings/uploads/finalize";
    });
    ASSERT_NE(finalize, requests.end());
    EXPECT_EQ(json::parse(finalize->body), json::parse(R"({"recording_id":"rec-1",
        "captureMode":"impromptu","durationSeconds":328,"pausedDurationSeconds":12,
        "capturedAt":"2026-03-01T09:00:00Z","capturedUntil":"2026-03-01T09:05:27Z",
        "audioProfile":"standard","sampleRateHz":16000,"channels":1,"bitRateKbps":256,
        "fileSizeBytes":5243003,"expectedSpeakers":[],"shareWithAttendees":false})"));
    const auto written = CaptureSidecar::read(artifacts.sidecarURL);
    EXPECT_EQ(written.recordingId, "rec-1");
    EXPECT_EQ(written.uploadState, "DELIVERED");
}

TEST_F(CoordinatorTest, OtherAnswersAndLocalProblemsEndTheRunAsTheyShould) {
    const auto failed = [](const std::string& text) { return UploadStatus::failed(text); };
    const std::string exhausted = " \u2014 automatic retries exhausted.";
    const std::string unprocessed = "The server could not process this recording.";
    const auto retries = Sleeps{seconds(10), seconds(60), seconds(300)};
    struct Case {
        const char* what;
        std::function<void(Script&)> script;
        UploadStatus final;
        Sleeps sleeps;
    };
    const Case cases[] = {
        {"init refused every time", [](Script& s) { s.initFailures = 4; },
         failed("Init failed: Request failed with HTTP 503: {\"detail\":\"warming up\"}" +
                exhausted),
         retries},
        {"finalize 403",
         [](Script& s) { s.finalizeStatus = 403; },
         failed("Finalize failed: You don't have permission to access this recording."),
         {}},
        {"finalize 409, confirmed by a status read", [](Script& s) { s.finalizeStatus = 409; },
         UploadStatus::delivered("rec-1"), Sleeps(2, seconds(5))},
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
         UploadStatus::processing("rec-1"), Sleeps(60, seconds(5))},
        {"link too short for the upload", [](Script& s) { s.uploadURL = link(seconds(100)); },
         failed("Upload could not finish before the upload link expired." + exhausted), retries},
        {"link unparseable",
         [](Script& s) { s.uploadURL = "https://storage.test/a b.wav?se=x"; },
         failed("Init returned an upload URL this app could not parse."),
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        script = Script();
        c.script(script);
        EXPECT_EQ(run(), c.final);
        EXPECT_EQ(clock->sleeps(), c.sleeps);
    }

    const auto asked = server->requests().size();
    std::filesystem::remove(artifacts.audioURL);
    EXPECT_EQ(run(), failed("Recording file is no longer on this computer (capture-T1.wav)."));
    std::ofstream(artifacts.sidecarURL) << "{ not a sidecar";
    EXPECT_EQ(run(), failed("This recording's metadata file is missing or unreadable, so it "
                            "cannot be uploaded."));
    EXPECT_EQ(server->requests().size(), asked);
    EXPECT_TRUE(clock->sleeps().empty());
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

// Simulated time: a sleep of the watchdog's length ends at a tick(); others pass at once.
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
