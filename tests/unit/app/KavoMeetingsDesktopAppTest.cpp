#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <vector>

#include "account/Tenant.h"
#include "app/KavoMeetingsDesktopApp.h"
#include "base/Defaults.h"
#include "base/Log.h"
#include "capture/files/CaptureArtifacts.h"
#include "capture/files/CaptureSidecar.h"
#include "capture/files/CapturesDirectory.h"
#include "capture/files/SidecarTimestamp.h"
#include "capture/files/WavWriter.h"
#include "support/FakeConferenceActivitySource.h"
#include "support/ManualClock.h"
#include "support/ManualScheduler.h"
#include "support/RecordingTransport.h"
#include "support/TempDir.h"
#include "unit/app/SignedInServer.h"

namespace kavo {
namespace {

using namespace std::chrono_literals;
using testing::kTid;
using testing::RecordingTransport;
using testing::serverAnswer;
using testing::SignedInAccount;
using testing::TempDir;

// A recording that writes one second of silence and a finished sidecar, as a capture
// session leaves them.
class OneSecondSession final : public CaptureController::Session {
public:
    OneSecondSession(std::filesystem::path directory, const Clock& clock,
                     CaptureController::Owner owner)
        : artifacts_(CaptureArtifacts::forCapture(directory, makeCaptureId())),
          clock_(clock),
          owner_(std::move(owner)) {}

    std::filesystem::path start() override {
        startedAt_ = clock_.now();
        std::filesystem::create_directories(artifacts_.audioURL.parent_path());
        return artifacts_.audioURL;
    }
    void stop() override {
        const std::vector<std::int16_t> silence(16'000);
        WavWriter writer(artifacts_.audioURL, 16'000, 1, 16);
        writer.append(silence.data(), static_cast<std::int64_t>(silence.size()));
        writer.close();
        CaptureSidecar sidecar;
        sidecar.captureId = artifacts_.audioURL.stem().string().substr(8);
        sidecar.audioFileName = artifacts_.audioURL.filename().string();
        sidecar.startedAt = SidecarTimestamp::format(*startedAt_);
        sidecar.endedAt = SidecarTimestamp::format(clock_.now());
        sidecar.durationSeconds = 1;
        sidecar.account = owner_;
        sidecar.write(artifacts_.sidecarURL);
    }
    std::optional<std::filesystem::path> audioURL() const override { return artifacts_.audioURL; }
    std::optional<std::filesystem::path> sidecarURL() const override {
        return artifacts_.sidecarURL;
    }
    std::optional<WallTime> startedAt() const override { return startedAt_; }
    // Never paused, and both sides always heard.
    void pause() override {}
    void resume() override {}
    double pausedSeconds() const override { return 0; }
    CaptureCondition condition() const override { return {}; }

private:
    CaptureArtifacts artifacts_;
    const Clock& clock_;
    CaptureController::Owner owner_;
    std::optional<WallTime> startedAt_;
};

class KavoMeetingsDesktopAppTest : public ::testing::Test {
protected:
    KavoMeetingsDesktopAppTest() { transport->setResponder(serverAnswer); }

    ~KavoMeetingsDesktopAppTest() override {
        if (app) app->uploads().waitUntilIdle();
    }

    void launch(std::function<std::shared_ptr<AuthService>()> makeAuth) {
        app = std::make_unique<KavoMeetingsDesktopApp>(KavoMeetingsDesktopApp::Environment{
            .makeAuthService = std::move(makeAuth),
            .transport = transport,
            .discoveryURL = "https://router.test/discover",
            .updateManifestURL = "https://updates.test/latest.json",
            .defaults = defaults,
            .capturesDirectory = dir.path() / "Captures",
            .makeSession =
                [this](const CaptureController::Owner& owner) {
                    return std::make_unique<OneSecondSession>(dir.path() / "Captures", clock,
                                                              owner);
                },
            .repair =
                [](const std::filesystem::path&) { return std::vector<std::filesystem::path>{}; },
            .conference = &activity,
            .clock = &clock,
            .main = &main,
            .worker = &main,
            .environmentVariable = [](const char*) -> std::optional<std::string> {
                return std::nullopt;
            },
            .runningVersion = "1.0.0",
            .supportEnvironment = {},
            .timeZone = "UTC",
            .uploadTiming = {.stallWatchdogInterval = std::nullopt},
            .openURL = [](const std::string&) {},
            .showReport =
                [this](std::shared_ptr<ProblemReportForm> form) {
                    reports.push_back(std::move(form));
                },
            .quit = [this] { ++quits; },
        });
        main.runUntilIdle();
    }

    void launchSignedIn() {
        launch([] { return std::make_shared<SignedInAccount>(); });
        ASSERT_EQ(app->session().phase().kind(), SessionPhase::Kind::signedIn);
    }

    // Lets uploads finish and the main loop take what they posted.
    void settle() {
        app->uploads().waitUntilIdle();
        main.runUntilIdle();
    }

    std::optional<MenuItem> item(std::string_view title) const {
        const auto items = app->menu();
        const auto found = std::find_if(items.begin(), items.end(),
                                        [&](const MenuItem& i) { return i.title == title; });
        if (found == items.end()) return std::nullopt;
        return *found;
    }

    TempDir dir;
    ManualClock clock;
    ManualScheduler main{clock};
    LogCapture logs;
    testing::FakeConferenceActivitySource activity;
    std::shared_ptr<RecordingTransport> transport = std::make_shared<RecordingTransport>();
    std::shared_ptr<MemoryDefaults> defaults = std::make_shared<MemoryDefaults>();
    std::vector<std::shared_ptr<ProblemReportForm>> reports;
    int quits = 0;
    std::unique_ptr<KavoMeetingsDesktopApp> app;
};

TEST_F(KavoMeetingsDesktopAppTest, ASignInServiceThatCannotBeMadeLeavesTheMenuWorking) {
    launch([]() -> std::shared_ptr<AuthService> { throw std::runtime_error("no client id"); });
    const auto signIn = item("Sign In");
    ASSERT_TRUE(signIn);
    app->perform(*signIn);
    main.runUntilIdle();
    EXPECT_TRUE(item("Sign-in is unavailable: no client id"));
    EXPECT_EQ(app->menu().back().title, "Quit");
}

TEST_F(KavoMeetingsDesktopAppTest, MenuActionsReachTheirObjects) {
    launchSignedIn();

    app->perform(*item("Record Meetings Automatically"));
    EXPECT_FALSE(app->autoCapture().isEnabled());
    EXPECT_EQ(defaults->boolValue("brindle.meetings.desktop.autoCaptureEnabled"), false);
    EXPECT_FALSE(item("Record Meetings Automatically")->isOn);
    app->perform(*item("Echo Cancellation"));
    EXPECT_EQ(defaults->boolValue("brindle.meetings.desktop.echoCancellationEnabled"), false);
    EXPECT_FALSE(item("Echo Cancellation")->isOn);
    activity.emit({"us.zoom.Zoom"});
    main.advance(5s);
    EXPECT_FALSE(app->capture().isRecording());

    app->perform(*item("Start Recording"));
    EXPECT_TRUE(app->capture().isRecording());
    EXPECT_FALSE(app->capture().startedAutomatically());
    app->perform(*item("Stop Recording"));
    EXPECT_FALSE(app->capture().isRecording());
    settle();

    app->perform(*item("Report a Problem"));
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_TRUE(reports.front()->capture()) << "the report offers the capture just made";

    app->perform(app->menu().back());
    EXPECT_EQ(quits, 1);
}

TEST_F(KavoMeetingsDesktopAppTest, ACaptureOutlivingItsSignInCanBeStoppedAndWaitsForItsAccount) {
    launchSignedIn();
    app->perform(*item("Start Recording"));
    app->perform(*item("Sign Out"));
    main.runUntilIdle();
    ASSERT_EQ(app->session().phase().kind(), SessionPhase::Kind::signedOut);
    ASSERT_TRUE(item("Stop Recording")) << "a running capture can always be stopped";
    app->perform(*item("Stop Recording"));
    settle();
    EXPECT_FALSE(app->capture().isRecording());
    const auto inits = [&] {
        std::size_t count = 0;
        for (const auto& request : transport->requests())
            count += request.url.ends_with("/uploads/init") ? 1 : 0;
        return count;
    };
    EXPECT_EQ(inits(), 0u);

    CaptureSidecar sidecar;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path() / "Captures"))
        if (entry.path().extension() == ".json") sidecar = CaptureSidecar::read(entry.path());
    ASSERT_TRUE(sidecar.account);
    EXPECT_EQ(sidecar.account->userId, "u-1") << "the capture keeps the account it began under";

    app->perform(*item("Sign In"));
    settle();
    settle();
    EXPECT_EQ(inits(), 1u) << "delivered as soon as its account is back";
    EXPECT_FALSE(item("Sign in to upload this meeting."));
}

}  // namespace
}  // namespace kavo
