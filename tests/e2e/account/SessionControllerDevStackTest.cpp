#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <numbers>
#include <vector>

#include "account/SessionController.h"
#include "base/AtomicFile.h"
#include "base/Defaults.h"
#include "base/Log.h"
#include "base/ManualClock.h"
#include "base/ManualScheduler.h"
#include "capture/files/CaptureSidecar.h"
#include "capture/files/CapturesDirectory.h"
#include "capture/files/SidecarTimestamp.h"
#include "capture/files/WavWriter.h"
#include "platform/linux/CurlTransport.h"
#include "support/DevStack.h"
#include "support/TempDir.h"
#include "upload/FileStagedBlockStore.h"

namespace kavo {
namespace {

using namespace std::chrono_literals;
using Phase = SessionController::Phase;
using testing::DevStack;
using testing::TempDir;

// Stands in for the identity platform: the dev stack's default user is signed in, and
// its tokens come from the stack's admin side.
class StackAccount final : public AuthService {
public:
    StackAccount(AppSession session, const DevStack& stack) : session_(std::move(session)), stack_(stack) {}
    AppSession signIn(std::stop_token) override { return session_; }
    std::optional<AppSession> silentSignIn(std::stop_token) override { return session_; }
    void signOut() override {}
    std::string kavoToken(std::stop_token) override { return stack_.accessToken(session_.email); }

private:
    AppSession session_;
    const DevStack& stack_;
};

class SessionAgainstDevStack : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        curl_ = new linux_platform::CurlGlobal();
        transport_ = std::make_shared<linux_platform::CurlTransport>(*curl_);
        stack_ = new DevStack(transport_);
    }
    static void TearDownTestSuite() {
        delete stack_;
        transport_.reset();
        delete curl_;
    }

    void SetUp() override {
        stack_->adminPost("/reset", nlohmann::json::object());
        const auto& user = stack_->endpoints().at("defaultUser");
        session_.tenantId = user.at("tenantId");
        session_.email = user.at("email");
        session_.givenName = user.value("givenName", "");
        controller_ = makeController();
    }

    // A controller whose identity platform has `session_` signed in.
    std::shared_ptr<SessionController> makeController() { return makeController(clock_); }
    std::shared_ptr<SessionController> makeController(const Clock& clock,
                                                      SessionController::UploadTiming timing = {}) {
        SessionController::Collaborators c;
        c.auth = std::make_shared<StackAccount>(session_, *stack_);
        c.discovery = std::make_shared<TenantDiscoveryService>(stack_->endpoints().at("discoveryURL"), transport_);
        c.cache = std::make_shared<TenantDiscoveryCache>(defaults_, clock_);
        c.cacheDefaults = defaults_;
        c.transport = transport_;
        c.stagedBlockStore = std::make_shared<FileStagedBlockStore>(dir_.path() / "staged.json");
        c.recentCaptureStore = std::make_shared<RecentCaptureStore>(dir_.path());
        c.ledger = std::make_shared<ReconcileLedger>(defaults_);
        c.queue = queue_;
        c.clock = &clock;
        c.main = &main_;
        c.worker = &main_;
        c.reconcileInterval = 3600s;
        c.uploadTiming = timing;
        return SessionController::create(std::move(c));
    }

    // A finished three-second 440 Hz capture in the captures folder, as the capture
    // session leaves it: a closed WAV and its sidecar without any upload state.
    CaptureArtifacts finishedCapture() {
        const auto id = makeCaptureId();
        const auto artifacts = CaptureArtifacts::forCapture(dir_.path(), id);
        constexpr int kRate = 16'000;
        constexpr int kSeconds = 3;
        std::vector<std::int16_t> tone(kRate * kSeconds);
        for (std::size_t i = 0; i < tone.size(); ++i) {
            const double phase = 2.0 * std::numbers::pi * 440.0 * static_cast<double>(i) / kRate;
            tone[i] = static_cast<std::int16_t>(std::lround(8000.0 * std::sin(phase)));
        }
        WavWriter writer(artifacts.audioURL, kRate, 1, 16);
        writer.append(tone.data(), static_cast<std::int64_t>(tone.size()));
        writer.close();

        CaptureSidecar sidecar;
        sidecar.captureId = id;
        sidecar.audioFileName = captureAudioFileName(id);
        sidecar.startedAt = SidecarTimestamp::format(clock_.now() - std::chrono::seconds(kSeconds));
        sidecar.endedAt = SidecarTimestamp::format(clock_.now());
        sidecar.durationSeconds = kSeconds;
        sidecar.write(artifacts.sidecarURL);
        return artifacts;
    }

    // The committed blob's bytes as the stack's storage holds them.
    std::string blobBytes(const std::string& recordingId) const {
        HTTPRequest request;
        request.url = stack_->adminURL() + "/recordings/" + recordingId + "/blob";
        const auto response = transport_->data(request);
        EXPECT_EQ(response.status, 200);
        return response.body;
    }

    void TearDown() override { queue_->waitUntilIdle(); }

    Phase signedIn() const {
        return Phase::signedIn(session_, controller_->phase().tenant().value_or(Tenant{}));
    }

    static linux_platform::CurlGlobal* curl_;
    static std::shared_ptr<linux_platform::CurlTransport> transport_;
    static DevStack* stack_;

    TempDir dir_;
    ManualClock clock_;
    SystemClock realTime_;
    ManualScheduler main_{clock_};
    LogCapture logs_;
    std::shared_ptr<MemoryDefaults> defaults_ = std::make_shared<MemoryDefaults>();
    std::shared_ptr<UploadQueue> queue_ = std::make_shared<UploadQueue>();
    AppSession session_;
    std::shared_ptr<SessionController> controller_;
};

linux_platform::CurlGlobal* SessionAgainstDevStack::curl_ = nullptr;
std::shared_ptr<linux_platform::CurlTransport> SessionAgainstDevStack::transport_;
DevStack* SessionAgainstDevStack::stack_ = nullptr;

TEST_F(SessionAgainstDevStack, BootstrapDiscoversChecksAccessAndSignsIn) {
    controller_->bootstrap();
    main_.runUntilIdle();

    ASSERT_EQ(controller_->phase().kind(), Phase::Kind::signedIn);
    const auto& tenant = *controller_->phase().tenant();
    EXPECT_EQ(tenant.kavoBaseUrl, stack_->tenantBaseURL("contoso"));
    EXPECT_EQ(tenant.clientName, stack_->tenantClientName("contoso"));
    EXPECT_TRUE(controller_->branding());
    EXPECT_TRUE(logs_.contains("SessionController", "Signed in: tenant=" + tenant.clientName +
                                                        " user=" + session_.givenName));
}

TEST_F(SessionAgainstDevStack, MeetingsAccessSwitchedOffMeansNotEntitled) {
    stack_->adminPatch("/tenants/contoso", {{"meetingsAccess", false}});
    controller_->bootstrap();
    main_.runUntilIdle();
    EXPECT_EQ(controller_->phase(), Phase::notEntitled(session_));
}

TEST_F(SessionAgainstDevStack, TryAgainRecoversOnceDiscoveryWorksAgain) {
    stack_->adminPost("/faults", {{"endpoint", "discover"}, {"status", 503}});
    controller_->bootstrap();
    main_.runUntilIdle();
    ASSERT_EQ(controller_->phase().kind(), Phase::Kind::discoveryUnavailable);
    EXPECT_FALSE(controller_->phase().message().empty());

    stack_->adminDelete("/faults");
    controller_->retryDiscovery();
    main_.runUntilIdle();
    EXPECT_EQ(controller_->phase(), signedIn());
    EXPECT_EQ(controller_->phase().tenant()->kavoBaseUrl, stack_->tenantBaseURL("contoso"));
}

TEST_F(SessionAgainstDevStack, FinishedCaptureIsUploadedAndDeliveredByteForByte) {
    // Real time, with the watchdog on; the stack delivers on the second status read,
    // polled every half second.
    controller_ = makeController(realTime_, {.pollInterval = 0.5});
    stack_->adminPatch("/settings", {{"api", {{"deliverAfterReads", 1}}}});
    controller_->bootstrap();
    main_.runUntilIdle();
    ASSERT_EQ(controller_->phase().kind(), Phase::Kind::signedIn);

    const auto artifacts = finishedCapture();
    const auto wav = readFileIfExists(artifacts.audioURL);
    ASSERT_TRUE(wav);
    controller_->captureFinished(artifacts);
    queue_->waitUntilIdle();
    main_.runUntilIdle();

    ASSERT_EQ(controller_->upload().kind(), UploadStatus::Kind::delivered) << controller_->upload().message();
    const auto recordingId = controller_->upload().recordingId();
    const auto sidecar = CaptureSidecar::read(artifacts.sidecarURL);
    EXPECT_EQ(sidecar.recordingId, recordingId);
    EXPECT_EQ(sidecar.uploadState, "DELIVERED");

    const auto recording = stack_->adminGet("/recordings/" + recordingId);
    EXPECT_EQ(recording.at("state"), "DELIVERED");
    EXPECT_EQ(recording.at("blob").at("committed"), true);
    EXPECT_EQ(recording.at("blob").at("size"), wav->size());
    EXPECT_TRUE(blobBytes(recordingId) == *wav) << "the stored blob differs from the recorded WAV";
    // The recent-capture list follows the sidecar to its last stage.
    ASSERT_EQ(controller_->recentCaptures().size(), 1u);
    EXPECT_EQ(controller_->recentCaptures().front().recordingId, recordingId);
    EXPECT_EQ(controller_->recentCaptures().front().uploadState, "DELIVERED");
}

TEST_F(SessionAgainstDevStack, UserOfAnUnprovisionedTenantIsToldTheTenantIsNotRegistered) {
    const auto users = stack_->adminGet("/users").at("users");
    const auto robin = std::find_if(users.begin(), users.end(), [](const nlohmann::json& user) {
        return user.at("email") == "robin.park@fabrikam.test";
    });
    ASSERT_NE(robin, users.end());
    session_ = AppSession{};
    session_.tenantId = robin->at("tenantId");
    session_.email = robin->at("email");
    session_.givenName = robin->value("givenName", "");
    controller_ = makeController();

    controller_->bootstrap();
    main_.runUntilIdle();
    EXPECT_EQ(controller_->phase(), Phase::tenantNotRegistered(session_));
    EXPECT_FALSE(controller_->branding());
    EXPECT_TRUE(logs_.contains("SessionController", "Tenant not provisioned: " + session_.tenantId));
}

}  // namespace
}  // namespace kavo
