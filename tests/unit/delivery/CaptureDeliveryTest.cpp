#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "../upload/FakeBlobStorage.h"
#include "capture/files/SidecarTimestamp.h"
#include "capture/files/WavWriter.h"
#include "delivery/CaptureDelivery.h"
#include "net/UrlText.h"
#include "support/ManualClock.h"
#include "support/ManualScheduler.h"
#include "support/RecordingTransport.h"
#include "support/TempDir.h"
#include "upload/FileStagedBlockStore.h"

// Offline launches and outages run against the dev stack; here which captures a round takes.

namespace kavo {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

const std::string kStorage = "https://storage.test/recordings/";

struct Tokens final : AuthService {
    AppSession signIn(std::stop_token) override { return {}; }
    std::optional<AppSession> silentSignIn(std::stop_token) override { return std::nullopt; }
    void signOut() override {}
    std::string kavoToken(std::stop_token) override { return "kavo-token"; }
};

// The Kavo API and the storage behind one transport, as the application has them. Init
// answers `initStatus`; the server delivers every recording it finalizes.
struct Server final : HTTPTransport {
    HTTPResponse data(const HTTPRequest& request, std::stop_token stop) override {
        if (request.url.starts_with(kStorage)) return storage.data(request, stop);
        return api.data(request, stop);
    }

    Server() {
        api.setResponder([this](const HTTPRequest& request) -> HTTPResponse {
            if (request.url.ends_with("/api/me"))
                return {
                    200,
                    {},
                    R"({"id":"u","email":"e","name":"n","is_admin":false,"meetings_access":true})"};
            if (request.url.find("/recordings/") != std::string::npos)
                return {200, {}, R"({"recording_id":"r","state":"DELIVERED"})"};
            if (!request.url.ends_with("/init"))
                return {200,
                        {},
                        json{{"recording_id", json::parse(request.body).at("recording_id")},
                             {"state", "DELIVERED"}}
                            .dump()};
            if (initStatus != 200) return {initStatus.load(), {}, R"({"error":"nope"})"};
            const auto name = json::parse(request.body).at("filename").get<std::string>();
            const std::string link = kStorage + name + "?se=" +
                                     UrlText::percentEncodeAlphanumerics(SidecarTimestamp::format(
                                         ManualClock::defaultStart() + std::chrono::hours(30))) +
                                     "&sig=s";
            return {200,
                    {},
                    json{{"recording_id", "rec-" + name}, {"upload_url", link}, {"blob_path", name}}
                        .dump()};
        });
    }

    // The audio files delivered, in the order they were finalized.
    std::vector<std::string> delivered() const {
        std::vector<std::string> names;
        for (const auto& request : api.requests())
            if (request.url.ends_with("/finalize"))
                names.push_back(
                    json::parse(request.body).at("recording_id").get<std::string>().substr(4));
        return names;
    }

    testing::FakeBlobStorage storage;
    testing::RecordingTransport api;
    std::atomic<int> initStatus = 200;
};

const CaptureSidecar::Account kAvery{"tid-1", "u-avery", "avery@contoso.test"};
const CaptureSidecar::Account kBlake{"tid-1", "u-blake", "blake@contoso.test"};

class CaptureDeliveryTest : public ::testing::Test {
protected:
    // A finished capture started `minute` minutes past eight.
    CaptureArtifacts capture(const std::string& id, int minute,
                             std::optional<CaptureSidecar::Account> account = std::nullopt,
                             std::optional<std::string> state = std::nullopt) {
        const auto artifacts = CaptureArtifacts::forCapture(dir.path(), id);
        const std::vector<std::int16_t> audio(32'000, 100);
        WavWriter writer(artifacts.audioURL, 16'000, 1, 16);
        writer.append(audio.data(), static_cast<std::int64_t>(audio.size()));
        writer.close();
        CaptureSidecar sidecar;
        sidecar.captureId = id;
        sidecar.audioFileName = artifacts.audioURL.filename().string();
        sidecar.startedAt = fmt::format("2026-12-06T08:{:02}:00.000Z", minute);
        sidecar.endedAt = sidecar.startedAt;
        sidecar.durationSeconds = 2;
        sidecar.account = std::move(account);
        sidecar.uploadState = std::move(state);
        sidecar.write(artifacts.sidecarURL);
        return artifacts;
    }

    static CaptureDelivery::Account signedIn(const CaptureSidecar::Account& who) {
        AppSession session;
        session.tenantId = who.tenantId;
        session.userId = who.userId;
        session.email = who.email;
        return {session,
                Tenant{who.tenantId, "Contoso", "C", "https://kavo.test/t/c", "eu", "active"}};
    }

    // Lets the queue's uploads and what they post back run until nothing is being sent.
    bool settle() {
        for (int round = 0; round < 4000; ++round) {
            queue->waitUntilIdle();
            main.runUntilIdle();
            if (!delivery->isSending()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }

    CaptureSidecar sidecarOf(const std::string& id) const {
        return CaptureSidecar::read(CaptureArtifacts::forCapture(dir.path(), id).sidecarURL);
    }

    testing::TempDir dir;
    ManualClock clock;
    ManualScheduler main{clock};
    std::shared_ptr<Server> server = std::make_shared<Server>();
    std::shared_ptr<UploadQueue> queue = std::make_shared<UploadQueue>();
    std::shared_ptr<CaptureDelivery> delivery = CaptureDelivery::create(
        {.auth = std::make_shared<Tokens>(),
         .transport = server,
         .stagedBlockStore = std::make_shared<FileStagedBlockStore>(dir / "staged-blocks.json"),
         .recentCaptureStore = std::make_shared<RecentCaptureStore>(dir.path()),
         .ledger = std::make_shared<ReconcileLedger>(std::make_shared<MemoryDefaults>()),
         .queue = queue,
         .clock = &clock,
         .main = &main,
         .reconcileInterval = 3600s,
         .uploadTiming = {.pollInterval = std::chrono::seconds(5),
                          .pollMaxAttempts = 2,
                          .stallWatchdogInterval = {}},
         .retryInterval = std::chrono::seconds(420),
         .probeInterval = std::chrono::seconds(35)});
};

TEST_F(CaptureDeliveryTest, ARoundSendsThisAccountsUndeliveredCapturesOldestFirst) {
    capture("newest-unowned", 30);
    capture("interrupted", 10, kAvery, "UPLOADING");
    capture("oldest", 5, kAvery);
    capture("blakes", 1, kBlake);
    capture("delivered", 2, kAvery, "DELIVERED");
    capture("processing", 3, kAvery, "PROCESSING");
    const auto gone = capture("audio-gone", 4, kAvery);
    std::filesystem::remove(gone.audioURL);
    const auto foreign = capture("not-ours", 6, kAvery);
    std::ofstream(foreign.audioURL, std::ios::binary) << "\x89PNG not a recording";
    const auto running = capture("recording-now", 7, kAvery);
    bool recording = true;
    delivery->setRunningCapture([&]() -> std::optional<std::filesystem::path> {
        if (recording) return running.sidecarURL;
        return std::nullopt;
    });

    delivery->captureFolderReady();
    EXPECT_EQ(server->api.requests().size(), 0u) << "nobody is signed in";
    delivery->setAccount(signedIn(kAvery));
    EXPECT_EQ(delivery->waiting(), 4u);
    ASSERT_TRUE(settle());

    EXPECT_EQ(server->delivered(),
              (std::vector<std::string>{"capture-oldest.wav", "capture-interrupted.wav",
                                        "capture-newest-unowned.wav"}));
    EXPECT_EQ(delivery->waiting(), 1u) << "the one refused waits for the user";
    EXPECT_EQ(sidecarOf("newest-unowned").account, kAvery) << "claimed by the account that sent it";
    EXPECT_EQ(sidecarOf("blakes").uploadState, std::nullopt) << "only Blake sends Blake's";
    EXPECT_TRUE(sidecarOf("not-ours").uploadError) << "what is no capture of ours is never sent";
    recording = false;
    delivery->captureFinished(running);
    ASSERT_TRUE(settle());
    EXPECT_EQ(server->delivered().back(), "capture-recording-now.wav") << "once it is finished";

    // Blake's goes once he signs in; Avery's stay sent.
    delivery->setAccount(signedIn(kBlake));
    ASSERT_TRUE(settle());
    EXPECT_EQ(server->delivered().size(), 5u);
    EXPECT_EQ(server->delivered().back(), "capture-blakes.wav");
}

TEST_F(CaptureDeliveryTest, CaptureFinishedWhileSignedOutGoesRightAfterSignInWithTheTextCleared) {
    delivery->captureFolderReady();
    delivery->captureFinished(capture("made-signed-out", 1));
    EXPECT_EQ(delivery->upload(), UploadStatus::failed("Sign in to upload this meeting."));
    EXPECT_EQ(server->api.requests().size(), 0u);

    delivery->setAccount(signedIn(kAvery));
    EXPECT_EQ(delivery->upload(), UploadStatus::idle()) << "the stale text goes with the sign-in";
    ASSERT_TRUE(settle());
    EXPECT_EQ(delivery->upload().kind(), UploadStatus::Kind::delivered);
    EXPECT_EQ(sidecarOf("made-signed-out").uploadState, "DELIVERED");
}

TEST_F(CaptureDeliveryTest, ARejectedCaptureWaitsForTheUserAndDoesNotHoldUpTheRest) {
    capture("rejected", 1, kAvery);
    capture("fine", 2, kAvery);
    server->initStatus = 422;
    delivery->setAccount(signedIn(kAvery));
    delivery->captureFolderReady();
    // The first capture is refused for good; the second is sent once the server takes it.
    queue->waitUntilIdle();
    server->initStatus = 200;
    ASSERT_TRUE(settle());
    EXPECT_TRUE(sidecarOf("rejected").uploadError);

    ASSERT_TRUE(delivery->canUploadNow());
    delivery->uploadNow();
    ASSERT_TRUE(settle());
    EXPECT_EQ(sidecarOf("rejected").uploadState, "DELIVERED");
    EXPECT_FALSE(sidecarOf("rejected").uploadError);
}

}  // namespace
}  // namespace kavo
