#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <nlohmann/json.hpp>

#include "StorageTestSupport.h"
#include "capture/files/CaptureArtifacts.h"
#include "capture/files/CaptureSidecar.h"
#include "net/RetryingTransport.h"
#include "support/LoopbackProxy.h"
#include "support/RecordingTransport.h"
#include "support/TempDir.h"
#include "upload/BlockBlobUploader.h"
#include "upload/FileStagedBlockStore.h"
#include "upload/UploadCoordinator.h"

// Uploads to Azurite over a link that breaks every few megabytes, and a slow one.

namespace kavo {
namespace {

using nlohmann::json;
using testing::LoopbackProxy;

constexpr std::int64_t kMiB = 1024 * 1024;

class PoorLink : public ::testing::Test {
protected:
    void SetUp() override { azurite.createContainer(*curl, "recordings"); }

    // A SAS URL for `blob` that goes through `proxy` instead of straight to storage.
    std::string sasVia(const LoopbackProxy& proxy, const std::string& blob) const {
        std::string url = azurite.sasURL("recordings", blob,
                                         std::chrono::system_clock::now() + std::chrono::hours(2));
        const std::string direct = "127.0.0.1:" + std::to_string(azurite.port());
        url.replace(url.find(direct), direct.size(), "127.0.0.1:" + std::to_string(proxy.port()));
        return url;
    }

    testing::AzuriteServer azurite;
    std::shared_ptr<linux_platform::CurlTransport> curl =
        std::make_shared<linux_platform::CurlTransport>(testing::curlGlobal());
    SystemClock clock;
    RetryingTransport transport{curl, clock};
    testing::TempDir dir;
    FileStagedBlockStore store{dir / "staged-blocks.json"};
};

TEST_F(PoorLink, ALinkThatBreaksEveryThreeMegabytesStillCarriesTheWholeRecording) {
    LoopbackProxy::Options options;
    options.upstreamPort = static_cast<std::uint16_t>(azurite.port());
    options.resetAfterBytes = 3'000'000;
    options.lifetime = std::chrono::seconds(300);
    const LoopbackProxy proxy(options);
    const std::string bytes = testing::recordingBytes(24 * kMiB);
    const auto file = dir / "capture.wav";
    writeFileAtomically(file, bytes);

    const BlockBlobUploader uploader(transport, store);
    const auto outcome =
        uploader.upload(file, 24 * kMiB, sasVia(proxy, "broken.wav"), "audio/wav", "rec-broken",
                        std::chrono::system_clock::now() + std::chrono::hours(2));
    EXPECT_EQ(outcome.kind(), BlockBlobUploader::Outcome::Kind::uploaded);
    EXPECT_TRUE(azurite.readBlob(*curl, "recordings", "broken.wav") == bytes);
    EXPECT_GT(proxy.connectionsReset(), 2) << "the link did break";
    EXPECT_TRUE(store.stagedBlocks("rec-broken").empty());
}

// The coordinator's time runs ten times as fast as the link's: three minutes pass in 18 s.
class FastClock final : public Clock {
public:
    static constexpr int kSpeedUp = 10;

    WallTime now() const override { return start_ + (real_.now() - start_) * kSpeedUp; }
    std::uint64_t hostTime() const override { return real_.hostTime(); }
    bool sleepFor(Duration duration, std::stop_token stop = {}) const override {
        return real_.sleepFor(duration / kSpeedUp, stop);
    }

private:
    SystemClock real_;
    WallTime start_ = real_.now();
};

// Three 4 MiB blocks share 400 KiB/s: none is done within the watchdog's three minutes, so
// only bytes counted as they cross the wire keep it from cancelling every attempt.
TEST_F(PoorLink, AnUploadSlowerThanOneBlockInThreeMinutesFinishesWithTheWatchdogOn) {
    constexpr std::int64_t kSize = 13 * kMiB;
    LoopbackProxy::Options options;
    options.upstreamPort = static_cast<std::uint16_t>(azurite.port());
    options.bytesPerSecond = 400 * 1024;
    options.lifetime = std::chrono::seconds(300);
    const LoopbackProxy proxy(options);
    const std::string uploadURL = sasVia(proxy, "slow.wav");

    const auto artifacts = CaptureArtifacts::forCapture(dir.path(), "SLOW");
    writeFileAtomically(artifacts.audioURL, testing::recordingBytes(kSize));
    CaptureSidecar sidecar;
    sidecar.captureId = "SLOW";
    sidecar.audioFileName = artifacts.audioURL.filename().string();
    sidecar.startedAt = "2026-03-01T09:00:00.000Z";
    sidecar.write(artifacts.sidecarURL);

    // One answer that init, finalize and the status read each decode.
    const auto kavo = std::make_shared<testing::RecordingTransport>();
    kavo->setResponder([body = json{{"recording_id", "rec-slow"},
                                    {"upload_url", uploadURL},
                                    {"blob_path", "recordings/slow.wav"},
                                    {"state", "DELIVERED"}}
                                   .dump()](const HTTPRequest&) {
        return HTTPResponse{200, {}, body};
    });
    const KavoAPIClient api("https://kavo.test", kavo, [](std::stop_token) { return "token"; });

    using Steady = std::chrono::steady_clock;
    std::mutex statusLock;
    std::optional<Steady::time_point> uploadStarted;
    std::optional<Steady::time_point> firstBlockDone;
    // A check every 5 s instead of 15 s: the watchdog looks more often, never less.
    const FastClock fast;
    const UploadCoordinator coordinator(
        api, BlockBlobUploader(transport, store, BlockBlobUploader::kDefaultBlockSize, 3), fast,
        std::chrono::seconds(5), 60, std::chrono::seconds(5), [&](const UploadStatus& status) {
            const std::lock_guard guard(statusLock);
            if (status == UploadStatus::uploading()) uploadStarted = Steady::now();
            if (status.kind() == UploadStatus::Kind::uploading && status.fraction() &&
                *status.fraction() > 0 && !firstBlockDone)
                firstBlockDone = Steady::now();
        });

    EXPECT_EQ(coordinator.run(artifacts), UploadStatus::delivered("rec-slow"));
    const auto asked = kavo->requests();
    EXPECT_EQ(std::count_if(asked.begin(), asked.end(),
                            [](const auto& r) { return r.url.ends_with("/uploads/init"); }),
              1)
        << "no attempt was cancelled by the watchdog";
    ASSERT_TRUE(uploadStarted && firstBlockDone);
    EXPECT_GT((*firstBlockDone - *uploadStarted) * FastClock::kSpeedUp,
              UploadCoordinator::kStallLimit);
    EXPECT_TRUE(azurite.readBlob(*curl, "recordings", "slow.wav") ==
                testing::recordingBytes(kSize));
}

}  // namespace
}  // namespace kavo
