#include <gtest/gtest.h>

#include <condition_variable>
#include <fstream>
#include <future>
#include <nlohmann/json.hpp>

#include "FakeKavoServer.h"
#include "base/Log.h"
#include "base/ManualClock.h"
#include "capture/files/CaptureArtifacts.h"
#include "capture/files/CaptureSidecar.h"
#include "capture/files/SidecarTimestamp.h"
#include "net/KavoAPIError.h"
#include "net/TransportError.h"
#include "support/TempDir.h"
#include "upload/FileStagedBlockStore.h"
#include "upload/InteractiveSignInRequiredError.h"
#include "upload/UploadCoordinator.h"
#include "upload/UrlText.h"

namespace kavo {
namespace {

using nlohmann::json;
using testing::FakeKavoServer;
using Kind = UploadCoordinator::AttemptResult::Kind;

constexpr std::int64_t kMiB = 1024 * 1024;
const std::string kExhausted = " \u2014 automatic retries exhausted.";

std::vector<Duration> secondsList(std::initializer_list<int> values) {
    std::vector<Duration> list;
    for (const int v : values) list.push_back(std::chrono::seconds(v));
    return list;
}

class CoordinatorTest : public ::testing::Test {
protected:
    void SetUp() override {
        writeAudio(3 * kMiB);
        CaptureSidecar sidecar;
        sidecar.captureId = "T1";
        sidecar.audioFileName = "capture-T1.wav";
        sidecar.startedAt = "2026-03-01T08:00:00.000Z";
        sidecar.endedAt = "2026-03-01T08:30:00.500Z";
        sidecar.durationSeconds = 1800.5;
        sidecar.pausedSeconds = 0.4;
        sidecar.write(artifacts.sidecarURL);
        answerInit(sasWithExpiry(clock.now() + std::chrono::hours(1)));
    }

    std::string sasWithExpiry(WallTime expiry) const {
        return std::string(FakeKavoServer::kStorageBase) + "rec-1.wav?sv=2021-08-06&se=" +
               UrlText::percentEncodeAlphanumerics(SidecarTimestamp::format(expiry)) + "&sig=s";
    }

    void writeAudio(std::int64_t size) {
        std::ofstream(artifacts.audioURL, std::ios::binary)
            << std::string(static_cast<std::size_t>(size), 'a');
    }

    // init hands out `uploadURL`; finalize answers `finalState`; status reads answer the
    // states of `polls` in turn, then its last one.
    void answerInit(std::string uploadURL, std::string finalState = "DELIVERED",
                    std::vector<std::string> polls = {"DELIVERED"}) {
        server->setHandler([=, reads = std::make_shared<std::size_t>(0)](const HTTPRequest&,
                                                                         const std::string& path) {
            if (path == "/api/v1/meetings/uploads/init")
                return FakeKavoServer::json(200, json{{"recording_id", "rec-1"},
                                                      {"upload_url", uploadURL},
                                                      {"blob_path", "recordings/rec-1.wav"}}
                                                     .dump());
            if (path == "/api/v1/meetings/uploads/finalize")
                return FakeKavoServer::json(
                    200, json{{"recording_id", "rec-1"}, {"state", finalState}}.dump());
            const auto state = polls[std::min(polls.size() - 1, (*reads)++)];
            return FakeKavoServer::json(200, json{{"id", "rec-1"}, {"state", state}}.dump());
        });
    }

    // Answers `path` with `status` for its first `times` calls, then as before.
    void failFirst(const std::string& failingPath, int status, int times, std::string body = "{}") {
        auto fallback = std::make_shared<FakeKavoServer::Handler>();
        answerInitInto(*fallback);
        server->setHandler([=, calls = std::make_shared<int>(0)](const HTTPRequest& request,
                                                                 const std::string& path) {
            if (path == failingPath && (*calls)++ < times)
                return FakeKavoServer::json(status, body);
            return (*fallback)(request, path);
        });
    }

    void answerInitInto(FakeKavoServer::Handler& handler) {
        const auto uploadURL = sasWithExpiry(clock.now() + std::chrono::hours(1));
        handler = [uploadURL](const HTTPRequest&, const std::string& path) {
            if (path == "/api/v1/meetings/uploads/init")
                return FakeKavoServer::json(200, json{{"recording_id", "rec-1"},
                                                      {"upload_url", uploadURL},
                                                      {"blob_path", "recordings/rec-1.wav"}}
                                                     .dump());
            if (path == "/api/v1/meetings/uploads/finalize")
                return FakeKavoServer::json(200, R"({"recording_id":"rec-1","state":"DELIVERED"})");
            return FakeKavoServer::json(200, R"({"id":"rec-1","state":"DELIVERED"})");
        };
    }

    UploadCoordinator coordinator(std::int64_t blockSize = 4 * kMiB, int concurrency = 4,
                                  std::optional<double> watchdog = std::nullopt,
                                  const Clock* time = nullptr) {
        const Clock& used = time ? *time : clock;
        return UploadCoordinator(api,
                                 BlockBlobUploader(*server, store, blockSize, concurrency, used),
                                 used, 5.0, 60, watchdog, [this](const UploadStatus& status) {
                                     std::lock_guard lock(statusLock);
                                     statuses.push_back(status);
                                 });
    }

    std::vector<UploadStatus> reported() {
        std::lock_guard lock(statusLock);
        return statuses;
    }

    ManualClock clock;
    testing::TempDir dir;
    CaptureArtifacts artifacts = CaptureArtifacts::forCapture(dir.path(), "T1");
    std::shared_ptr<FakeKavoServer> server = std::make_shared<FakeKavoServer>();
    std::function<std::string(std::stop_token)> token = [](std::stop_token) {
        return std::string("tok");
    };
    KavoAPIClient api{FakeKavoServer::kBaseURL, server,
                      [this](std::stop_token stop) { return token(stop); }};
    FileStagedBlockStore store{dir / "staged-blocks.json"};
    std::mutex statusLock;
    std::vector<UploadStatus> statuses;
    LogCapture logs;
};

TEST_F(CoordinatorTest, ASmallFileGoesUpInOnePutBlobAndTheSidecarLearnsTheServersIdAndState) {
    answerInit(std::string(FakeKavoServer::kStorageBase) + "rec-1.wav?sig=no-expiry-needed");
    store.markStaged(0, "rec-1");
    std::optional<std::string> stateDuringUpload;
    server->storage.respondWith([&](const HTTPRequest&) {
        stateDuringUpload = CaptureSidecar::read(artifacts.sidecarURL).uploadState;
        return testing::FakeBlobStorage::created();
    });

    EXPECT_EQ(coordinator().run(artifacts), UploadStatus::delivered("rec-1"));
    EXPECT_EQ(reported(),
              (std::vector<UploadStatus>{UploadStatus::preparing(), UploadStatus::uploading(),
                                         UploadStatus::uploading(1.0), UploadStatus::finalizing(),
                                         UploadStatus::delivered("rec-1")}));
    const auto requests = server->storage.requests();
    ASSERT_EQ(requests.size(), 1U);
    EXPECT_EQ(requests[0].headers.get("x-ms-blob-type"), "BlockBlob");
    EXPECT_EQ(requests[0].body.size(), static_cast<std::size_t>(3 * kMiB));
    EXPECT_EQ(stateDuringUpload, "UPLOADING");
    EXPECT_TRUE(store.stagedBlocks("rec-1").empty());
    EXPECT_TRUE(logs.contains("BlockBlobUploader",
                              "Single-PUT upload committed: 3145728 bytes, key=rec-1"));

    const auto sidecar = CaptureSidecar::read(artifacts.sidecarURL);
    EXPECT_EQ(sidecar.recordingId, "rec-1");
    EXPECT_EQ(sidecar.blobPath, "recordings/rec-1.wav");
    EXPECT_EQ(sidecar.uploadState, "DELIVERED");
    // The request bodies are checked against a real storage emulator end to end.
    EXPECT_EQ(server->count("GET", "/api/v1/meetings/recordings/rec-1"), 0);
}

TEST_F(CoordinatorTest, FinalizeTimesComeFromTheSidecarOrFallBackToNow) {
    auto sidecar = CaptureSidecar::read(artifacts.sidecarURL);
    sidecar.startedAt = "yesterday";
    sidecar.endedAt = "later";
    sidecar.write(artifacts.sidecarURL);
    EXPECT_EQ(coordinator().run(artifacts), UploadStatus::delivered("rec-1"));
    const auto finalize = json::parse(server->apiRequests().at(1).body);
    EXPECT_EQ(finalize["capturedAt"], "2026-03-01T09:00:00Z");
    EXPECT_FALSE(finalize.contains("capturedUntil"));
    EXPECT_TRUE(logs.contains("UploadCoordinator",
                              "Sidecar startedAt 'yesterday' did not parse; falling back to now"));
}

TEST_F(CoordinatorTest, ATransientFailureOnEveryAttemptRetriesAfter10_60_300sThenGivesUp) {
    writeAudio(5 * kMiB);
    answerInit(std::string(FakeKavoServer::kStorageBase) + "rec-1.wav?sv=2021-08-06&sig=s");
    const std::string message =
        "Blob upload failed: Upload URL carries no 'se' expiry parameter, so the upload deadline "
        "cannot be enforced.";

    EXPECT_EQ(coordinator().run(artifacts), UploadStatus::failed(message + kExhausted));
    EXPECT_EQ(clock.sleeps(), secondsList({10, 60, 300}));
    std::vector<UploadStatus> expected;
    for (int attempt = 0; attempt < 4; ++attempt) {
        expected.push_back(UploadStatus::preparing());
        expected.push_back(UploadStatus::uploading());
        expected.push_back(attempt < 3 ? UploadStatus::retrying(message)
                                       : UploadStatus::failed(message + kExhausted));
    }
    EXPECT_EQ(reported(), expected);
    for (int attempt = 1; attempt <= 4; ++attempt)
        EXPECT_TRUE(logs.contains(
            "UploadCoordinator",
            "Transient failure on attempt " + std::to_string(attempt) + ": " + message));
    EXPECT_TRUE(logs.contains("UploadCoordinator", "Retry 1 in 10s: " + message));
    EXPECT_TRUE(logs.contains("UploadCoordinator", "Retry 3 in 300s: " + message));
    EXPECT_TRUE(server->storage.requests().empty());
    EXPECT_EQ(reported().back().menuText(), message + kExhausted);
}

TEST_F(CoordinatorTest, ServerAnswersDecideBetweenRetryAndGivingUp) {
    struct Case {
        std::string path;
        int status;
        int failures;
        UploadStatus final;
        std::vector<Duration> sleeps;
    };
    const std::vector<Case> cases = {
        {"/api/v1/meetings/uploads/init", 429, 1, UploadStatus::delivered("rec-1"),
         secondsList({10})},
        {"/api/v1/meetings/uploads/init", 503, 2, UploadStatus::delivered("rec-1"),
         secondsList({10, 60})},
        {"/api/v1/meetings/uploads/init",
         404,
         1,
         UploadStatus::failed("Init failed: the server rejected this upload (HTTP 404)."),
         {}},
        {"/api/v1/meetings/uploads/finalize",
         403,
         1,
         UploadStatus::failed(
             "Finalize failed: You don't have permission to access this recording."),
         {}},
        {"/api/v1/meetings/uploads/finalize",
         422,
         1,
         UploadStatus::failed("Finalize failed: the server rejected this upload (HTTP 422)."),
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path + " " + std::to_string(c.status));
        ManualClock fresh;
        failFirst(c.path, c.status, c.failures);
        EXPECT_EQ(coordinator(4 * kMiB, 4, std::nullopt, &fresh).run(artifacts), c.final);
        EXPECT_EQ(fresh.sleeps(), c.sleeps);
    }
    EXPECT_TRUE(logs.contains(
        "UploadCoordinator",
        "Permanent failure: Finalize failed: You don't have permission to access this recording."));
}

TEST_F(CoordinatorTest, StorageAnswersDecideBetweenRetryAndGivingUp) {
    int puts = 0;
    server->storage.respondWith([&](const HTTPRequest&) {
        return puts++ == 0 ? HTTPResponse{400, {{"x-ms-error-code", "crc64mismatch"}}, "bad crc"}
                           : testing::FakeBlobStorage::created();
    });
    EXPECT_EQ(coordinator().run(artifacts), UploadStatus::delivered("rec-1"));
    EXPECT_EQ(reported().at(2).kind(), UploadStatus::Kind::retrying);
    EXPECT_EQ(clock.sleeps(), secondsList({10}));

    statuses.clear();
    server->storage.respondWith([](const HTTPRequest&) {
        return HTTPResponse{400, {{"x-ms-error-code", "InvalidHeaderValue"}}, ""};
    });
    EXPECT_EQ(coordinator().run(artifacts),
              UploadStatus::failed("Blob upload failed: storage rejected this upload (HTTP 400)."));
    EXPECT_EQ(clock.sleeps(), secondsList({10}));
}

TEST_F(CoordinatorTest, FinalizeStatesEndTheRunWithoutPollingWhenTheyAreTerminal) {
    answerInit(sasWithExpiry(clock.now() + std::chrono::hours(1)), "delivered");
    EXPECT_EQ(coordinator().run(artifacts), UploadStatus::delivered("rec-1"));
    answerInit(sasWithExpiry(clock.now() + std::chrono::hours(1)), "FAILED");
    EXPECT_EQ(coordinator().run(artifacts),
              UploadStatus::failed("The server could not process this recording."));
    EXPECT_EQ(server->count("GET", "/api/v1/meetings/recordings/rec-1"), 0);
    EXPECT_TRUE(clock.sleeps().empty());
    EXPECT_EQ(CaptureSidecar::read(artifacts.sidecarURL).uploadState, "FAILED");
}

TEST_F(CoordinatorTest, AnAlreadyFinalizedRecordingCountsAsSuccess) {
    const auto uploadURL = sasWithExpiry(clock.now() + std::chrono::hours(1));
    server->setHandler([&](const HTTPRequest&, const std::string& path) {
        if (path == "/api/v1/meetings/uploads/init")
            return FakeKavoServer::json(
                200, json{{"recording_id", "rec-1"}, {"upload_url", uploadURL}, {"blob_path", "b"}}
                         .dump());
        if (path == "/api/v1/meetings/uploads/finalize")
            return FakeKavoServer::json(409, "already");
        return FakeKavoServer::json(200, R"({"recording_id":"rec-1","state":"DELIVERED"})");
    });
    EXPECT_EQ(coordinator().run(artifacts), UploadStatus::delivered("rec-1"));
    EXPECT_TRUE(logs.contains(
        "UploadCoordinator", "Finalize reported already-finalized for rec-1; treating as success"));
}

TEST_F(CoordinatorTest, PollingWritesEachStateBackAndStopsAtATerminalOneOrAfterSixtyReads) {
    answerInit(sasWithExpiry(clock.now() + std::chrono::hours(1)), "PROCESSING", {"PROCESSING"});
    const auto processing = coordinator().run(artifacts);
    EXPECT_EQ(processing, UploadStatus::processing("rec-1"));
    EXPECT_EQ(processing.menuText(), "Uploaded");
    EXPECT_EQ(server->count("GET", "/api/v1/meetings/recordings/rec-1"), 60);
    EXPECT_EQ(clock.sleeps(), std::vector<Duration>(60, std::chrono::seconds(5)));
    EXPECT_TRUE(logs.contains("UploadCoordinator",
                              "Poll window exhausted for rec-1; Kavo owns it from here"));
    EXPECT_EQ(CaptureSidecar::read(artifacts.sidecarURL).uploadState, "PROCESSING");

    // Errors keep the last state and polling goes on to the terminal answer.
    const auto uploadURL = sasWithExpiry(clock.now() + std::chrono::hours(1));
    auto reads = std::make_shared<int>(0);
    server->setHandler([=](const HTTPRequest&, const std::string& path) {
        if (path == "/api/v1/meetings/uploads/init")
            return FakeKavoServer::json(
                200, json{{"recording_id", "rec-1"}, {"upload_url", uploadURL}, {"blob_path", "b"}}
                         .dump());
        if (path == "/api/v1/meetings/uploads/finalize")
            return FakeKavoServer::json(200, R"({"recording_id":"rec-1","state":"QUEUED"})");
        if ((*reads)++ < 2) return FakeKavoServer::json(500, "db down");
        return FakeKavoServer::json(200, R"({"id":"rec-1","state":"failed"})");
    });
    EXPECT_EQ(coordinator().run(artifacts),
              UploadStatus::failed("The server could not process this recording."));
    EXPECT_TRUE(logs.contains(
        "UploadCoordinator",
        "Poll error 1 (state stays PROCESSING): Request failed with HTTP 500: db down"));
    EXPECT_TRUE(logs.contains("UploadCoordinator", "Poll terminal after 3 attempt(s): failed"));
    EXPECT_EQ(CaptureSidecar::read(artifacts.sidecarURL).uploadState, "failed");
}

TEST_F(CoordinatorTest, ProgressRisesWithinAStageResumesWhereItStoppedAndRestartsEachAttempt) {
    writeAudio(4 * kMiB);
    int puts = 0;
    server->storage.respondWith([&](const HTTPRequest&) {
        return ++puts == 4 ? HTTPResponse{500, {}, "try later"}
                           : testing::FakeBlobStorage::created();
    });
    EXPECT_EQ(coordinator(kMiB, 1).run(artifacts), UploadStatus::delivered("rec-1"));

    const auto retry = UploadStatus::retrying(
        "Blob upload failed: Azure Put Block [block 3] failed with HTTP 500. try later");
    EXPECT_EQ(reported(), (std::vector<UploadStatus>{
                              UploadStatus::preparing(), UploadStatus::uploading(),
                              UploadStatus::uploading(0.0), UploadStatus::uploading(0.25),
                              UploadStatus::uploading(0.5), UploadStatus::uploading(0.75), retry,
                              UploadStatus::preparing(), UploadStatus::uploading(),
                              UploadStatus::uploading(0.75), UploadStatus::uploading(1.0),
                              UploadStatus::finalizing(), UploadStatus::delivered("rec-1")}));
    EXPECT_EQ(server->storage.putBlockIndexes(), (std::vector<int>{0, 1, 2, 3, 3}));
}

TEST_F(CoordinatorTest, LocalProblemsEndTheRunAtOnceWithTheirOwnTexts) {
    {
        std::ofstream(artifacts.sidecarURL) << "{ not a sidecar";
        EXPECT_EQ(coordinator().run(artifacts),
                  UploadStatus::failed("This recording's metadata file is missing or unreadable, "
                                       "so it cannot be uploaded."));
        EXPECT_TRUE(server->apiRequests().empty());
    }
    SetUp();
    {
        std::filesystem::remove(artifacts.audioURL);
        EXPECT_EQ(
            coordinator().run(artifacts),
            UploadStatus::failed("Recording file is no longer on this Mac (capture-T1.wav)."));
        EXPECT_TRUE(server->apiRequests().empty());
    }
    {
        writeAudio(0);
        const auto status = coordinator().run(artifacts);
        EXPECT_EQ(status.kind(), UploadStatus::Kind::failed);
        EXPECT_TRUE(status.message().starts_with(
            "Init failed: This recording cannot be uploaded: Recording file is empty"))
            << status.message();
        EXPECT_TRUE(server->apiRequests().empty());
    }
    {
        writeAudio(10);
        answerInit("https://storage.test/rec 1.wav?se=x");
        EXPECT_EQ(coordinator().run(artifacts),
                  UploadStatus::failed("Init returned an upload URL this app could not parse."));
        EXPECT_EQ(CaptureSidecar::read(artifacts.sidecarURL).recordingId, "rec-1");
    }
    {
        token = [](std::stop_token) -> std::string {
            struct SignInAgain : Error, InteractiveSignInRequiredError {
                SignInAgain() : Error("Sign in again to continue.") {}
            };
            throw SignInAgain();
        };
        EXPECT_EQ(coordinator().run(artifacts),
                  UploadStatus::failed("Sign in again to upload this meeting."));
    }
    EXPECT_TRUE(clock.sleeps().empty());
}

TEST_F(CoordinatorTest, ASidecarThatCannotTakeTheUploadIdIsATransientFailure) {
    const auto uploadURL = sasWithExpiry(clock.now() + std::chrono::hours(1));
    server->setHandler([&](const HTTPRequest&, const std::string&) {
        // The captures folder disappears between reading the sidecar and writing it back.
        std::filesystem::remove_all(dir.path());
        return FakeKavoServer::json(
            200,
            json{{"recording_id", "rec-1"}, {"upload_url", uploadURL}, {"blob_path", "b"}}.dump());
    });
    EXPECT_EQ(
        coordinator().run(artifacts),
        UploadStatus::failed(
            "This recording's metadata file is missing or unreadable, so it cannot be uploaded."));
    const auto first = reported().at(1);
    EXPECT_EQ(first.kind(), UploadStatus::Kind::retrying);
    EXPECT_TRUE(
        first.message().starts_with("Could not record the upload id next to the recording: "))
        << first.message();
}

TEST_F(CoordinatorTest, AnUploadThatCannotBeatTheLinkExpiryIsRetriedWithANewInit) {
    writeAudio(5 * kMiB);
    answerInit(sasWithExpiry(clock.now() + std::chrono::seconds(100)));
    EXPECT_EQ(coordinator().run(artifacts),
              UploadStatus::failed("Upload could not finish before the upload link expired." +
                                   kExhausted));
    EXPECT_EQ(server->count("POST", "/api/v1/meetings/uploads/init"), 4);
    EXPECT_TRUE(server->storage.requests().empty());
    EXPECT_TRUE(logs.contains("UploadCoordinator", "SAS deadline abort: staged 0/2 blocks"));
}

TEST(UploadCoordinatorClassify, SortsEachFailureIntoTransientOrPermanentWithItsText) {
    const auto classify = [](auto error) {
        return UploadCoordinator::classify(std::make_exception_ptr(error), "Init failed");
    };
    using R = UploadCoordinator::AttemptResult;
    struct SignInAgain : Error, InteractiveSignInRequiredError {
        SignInAgain() : Error("Sign in again to continue.") {}
    };
    EXPECT_EQ(classify(SignInAgain()), R::permanent("Sign in again to upload this meeting."));
    EXPECT_EQ(classify(KavoAPIError::invalidRequest("too big")),
              R::permanent("Init failed: This recording cannot be uploaded: too big"));
    EXPECT_EQ(classify(BlockBlobUploaderError::fileMissing("/c/a.wav")),
              R::permanent("Init failed: Recording file is no longer on this Mac (/c/a.wav)."));
    EXPECT_EQ(classify(KavoAPIError::forbidden("no")),
              R::permanent("Init failed: You don't have permission to access this recording."));
    for (const int status : {408, 429, 500, 503, 599})
        EXPECT_EQ(classify(KavoAPIError::http(status, "x")).kind, Kind::transient) << status;
    for (const int status : {400, 401, 404, 409, 422, 499})
        EXPECT_EQ(classify(KavoAPIError::http(status, "x")),
                  R::permanent("Init failed: the server rejected this upload (HTTP " +
                               std::to_string(status) + ")."));
    EXPECT_EQ(classify(KavoAPIError::http(302, "x")).kind, Kind::transient);
    EXPECT_EQ(classify(KavoAPIError::decoding("Missing key 'state'")).kind, Kind::transient);
    EXPECT_EQ(classify(KavoAPIError::invalidResponse()).kind, Kind::transient);

    const auto storage = [&](int status, std::optional<std::string> code) {
        return classify(
            BlockBlobUploaderError::http(status, "Put Block [block 1]", std::move(code), "d"));
    };
    EXPECT_EQ(storage(500, std::nullopt),
              R::transient("Init failed: Azure Put Block [block 1] failed with HTTP 500. d"));
    EXPECT_EQ(storage(408, std::nullopt).kind, Kind::transient);
    EXPECT_EQ(storage(429, "ServerBusy").kind, Kind::transient);
    EXPECT_EQ(storage(400, "CRC64MISMATCH").kind, Kind::transient);
    EXPECT_EQ(storage(400, "InvalidHeaderValue"),
              R::permanent("Init failed: storage rejected this upload (HTTP 400)."));
    EXPECT_EQ(storage(403, "Crc64Mismatch"),
              R::permanent("Init failed: storage rejected this upload (HTTP 403)."));
    EXPECT_EQ(storage(400, std::nullopt).kind, Kind::permanent);
    EXPECT_EQ(classify(BlockBlobUploaderError::sasExpiryUnavailable()).kind, Kind::transient);
    EXPECT_EQ(classify(BlockBlobUploaderError::emptyFile("/c/a.wav")).kind, Kind::transient);
    EXPECT_EQ(classify(BlockBlobUploaderError::shortRead(2, 10)).kind, Kind::transient);
    EXPECT_EQ(classify(TransportError(TransportError::Kind::cancelled)),
              R::transient("Init failed: The request was cancelled."));
    EXPECT_EQ(classify(std::runtime_error("odd")), R::transient("Init failed: odd"));
}

TEST(UploadProgressBox, TheFractionShownNeverFallsAndOnlyNewBytesCountAsActivity) {
    const WallTime t0 = ManualClock::defaultStart();
    UploadCoordinator::ProgressBox box(t0);
    EXPECT_EQ(box.record(0, 0, t0), UploadStatus::uploading());
    EXPECT_EQ(box.record(0, 400, t0 + std::chrono::seconds(1)), UploadStatus::uploading(0.0));
    EXPECT_EQ(box.state.lastActivityAt, t0);
    EXPECT_EQ(box.record(200, 400, t0 + std::chrono::seconds(2)), UploadStatus::uploading(0.5));
    EXPECT_EQ(box.state.lastActivityAt, t0 + std::chrono::seconds(2));
    // A smaller count, or a larger total, does not move the figure back.
    EXPECT_EQ(box.record(100, 400, t0 + std::chrono::seconds(3)), UploadStatus::uploading(0.5));
    EXPECT_EQ(box.record(200, 800, t0 + std::chrono::seconds(4)), UploadStatus::uploading(0.5));
    EXPECT_EQ(box.state.lastActivityAt, t0 + std::chrono::seconds(2));
    EXPECT_EQ(box.record(0, 0, t0 + std::chrono::seconds(5)), UploadStatus::uploading(0.5));
    EXPECT_EQ(box.record(1000, 800, t0 + std::chrono::seconds(6)), UploadStatus::uploading(1.0));
    EXPECT_EQ(box.state.bytesSent, 1000);
    EXPECT_EQ(box.state.lastActivityAt, t0 + std::chrono::seconds(6));
}

// Simulated time in which sleeps of the watchdog's length wait for the test: tick()
// moves time by the given amount and lets exactly one such sleep end. Other sleeps
// (retries, polls) pass at once.
class WatchdogClock final : public Clock {
public:
    explicit WatchdogClock(Duration watchInterval) : interval_(watchInterval) {}

    WallTime now() const override {
        std::lock_guard lock(mutex_);
        return wall_;
    }
    std::uint64_t hostTime() const override { return 0; }
    bool sleepFor(Duration duration, std::stop_token stop) const override {
        std::unique_lock lock(mutex_);
        if (duration != interval_) {
            wall_ += std::chrono::duration_cast<WallTime::duration>(duration);
            return !stop.stop_requested();
        }
        asleep_ = true;
        const auto ticket = ticks_;
        changed_.notify_all();
        const bool woke = changed_.wait(lock, stop, [&] { return ticks_ > ticket; });
        asleep_ = false;
        changed_.notify_all();
        return woke;
    }

    // Waits until the watchdog sleeps, then moves time and wakes it.
    void tick(Duration by) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return asleep_; });
        wall_ += std::chrono::duration_cast<WallTime::duration>(by);
        asleep_ = false;
        ++ticks_;
        changed_.notify_all();
    }
    // Waits until the watchdog has finished its check and sleeps again.
    void waitUntilAsleep() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return asleep_; });
    }

private:
    const Duration interval_;
    mutable std::mutex mutex_;
    mutable std::condition_variable_any changed_;
    mutable WallTime wall_ = ManualClock::defaultStart();
    mutable bool asleep_ = false;
    mutable int ticks_ = 0;
};

TEST_F(CoordinatorTest, TheWatchdogCancelsAnUploadSilentForThreeMinutesAndTheNextAttemptFinishes) {
    WatchdogClock time(std::chrono::seconds(15));
    answerInit(sasWithExpiry(time.now() + std::chrono::hours(1)));
    writeAudio(5 * kMiB);
    server->storage.hold();
    const auto coordinating = coordinator(4 * kMiB, 4, 15.0, &time);
    auto running = std::async(std::launch::async, [&] { return coordinating.run(artifacts); });

    for (int check = 1; check <= 11; ++check) time.tick(std::chrono::seconds(15));
    time.waitUntilAsleep();
    EXPECT_EQ(server->storage.cancelledRequests(), 0) << "cancelled after only 165 s of silence";

    time.tick(std::chrono::seconds(15));
    while (server->storage.cancelledRequests() < 2) std::this_thread::yield();
    server->storage.release();

    EXPECT_EQ(running.get(), UploadStatus::delivered("rec-1"));
    EXPECT_TRUE(
        logs.contains("UploadCoordinator", "Upload stalled: no bytes for 180s, cancelling"));
    const auto seen = reported();
    EXPECT_NE(std::find(seen.begin(), seen.end(),
                        UploadStatus::retrying("Blob upload failed: The request was cancelled.")),
              seen.end());
}

TEST_F(CoordinatorTest, TheFirstWatchdogCheckAfterTheComputerSleptIsSkipped) {
    WatchdogClock time(std::chrono::seconds(15));
    answerInit(sasWithExpiry(time.now() + std::chrono::hours(3)));
    writeAudio(5 * kMiB);
    server->storage.hold();
    const auto coordinating = coordinator(4 * kMiB, 4, 15.0, &time);
    auto running = std::async(std::launch::async, [&] { return coordinating.run(artifacts); });

    time.tick(std::chrono::hours(1));
    time.waitUntilAsleep();
    EXPECT_EQ(server->storage.cancelledRequests(), 0);
    server->storage.release();
    EXPECT_EQ(running.get(), UploadStatus::delivered("rec-1"));
    EXPECT_FALSE(logs.contains("UploadCoordinator", "Upload stalled"));
}

}  // namespace
}  // namespace kavo
