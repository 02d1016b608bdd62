#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "account/AuthService.h"
#include "account/Tenant.h"
#include "app/KavoMeetingsDesktopApp.h"
#include "base/Defaults.h"
#include "base/Log.h"
#include "capture/CaptureController.h"
#include "capture/files/CaptureSidecar.h"
#include "support/FakeAudioDevices.h"
#include "support/FakeCaptureEndpoints.h"
#include "support/FakeConferenceActivitySource.h"
#include "support/ManualClock.h"
#include "support/ManualScheduler.h"
#include "support/RecordingTransport.h"
#include "support/TempDir.h"

namespace kavo {
namespace {

using namespace std::chrono_literals;
using namespace kavo::testing;

constexpr const char* kTid = "4c7d1e2f-9a8b-4c3d-8e6f-0a1b2c3d4e5f";

class SignedInAccount final : public AuthService {
public:
    AppSession signIn(std::stop_token) override { return session; }
    std::optional<AppSession> silentSignIn(std::stop_token) override { return session; }
    void signOut() override {}
    std::string kavoToken(std::stop_token) override { return "kavo-token"; }

    AppSession session{kTid,          "u-1",   "avery.quinn@contoso.test",
                       "Avery Quinn", "Avery", "id",
                       "graph",       "kavo",  WallTime{}};
};

// Answers the router, the tenant API and storage.
inline HTTPResponse serverAnswer(const HTTPRequest& request) {
    const Tenant tenant{
        kTid, "Contoso Meetings Lab", "CM", "https://kavo.contoso.test", "westeurope", "active"};
    if (request.url.starts_with("https://router.test/")) return {200, {}, tenant.toJson().dump()};
    if (request.url.starts_with("https://blob.test/")) return {201, {}, ""};
    const char* delivered = R"({"recording_id":"rec-9","state":"DELIVERED"})";
    const std::pair<const char*, const char*> answers[] = {
        {"/api/me", R"({"id":"u-1","email":"avery.quinn@contoso.test","name":"Avery Quinn",)"
                    R"("is_admin":false,"meetings_access":true})"},
        {"/uploads/init", R"({"recording_id":"rec-9","blob_path":"recordings/rec-9.wav",)"
                          R"("upload_url":"https://blob.test/c/rec-9.wav?sig=s"})"},
        {"/uploads/finalize", delivered},
        {"/recordings/rec-9", delivered},
    };
    for (const auto& [suffix, body] : answers) {
        if (request.url.ends_with(suffix)) return {200, {}, body};
    }
    return {404, {}, "{}"};
}

class RecordingNotifier final : public Notifier {
public:
    void show(const Notification& notification) override { shown.push_back(notification); }
    std::vector<Notification> shown;
};

// Real capture sessions on fake endpoints in simulated time; the microphone hisses in a quiet
// room until `speaking`, the far side always talks.
class KavoMeetingsDesktopAppTest : public ::testing::Test {
protected:
    KavoMeetingsDesktopAppTest() {
        transport->setResponder(serverAnswer);
        devices.setDefaultInput("BuiltInMic");
        devices.setDefaultOutput("BuiltInSpeaker");
        endpoints.microphoneDefault =
            EndpointScript::at(48'000).playing(DeviceStream{.signal = [this](std::int64_t frame) {
                return speaking->load() ? 0.3f * static_cast<float>(std::sin(frame * 0.05))
                                        : (frame % 2 == 0 ? 0.0001f : -0.0001f);
            }});
        endpoints.systemDefault = EndpointScript::at(48'000).playing(
            DeviceStream{.frequency = 440, .amplitude = 0.5f, .signal = {}});
    }

    ~KavoMeetingsDesktopAppTest() override {
        if (!app) return;
        app->capture().stop();
        app->uploads().waitUntilIdle();
    }

    void launch(std::function<std::shared_ptr<AuthService>()> makeAuth = [] {
        return std::make_shared<SignedInAccount>();
    }) {
        app = std::make_unique<KavoMeetingsDesktopApp>(KavoMeetingsDesktopApp::Environment{
            .makeAuthService = std::move(makeAuth),
            .transport = transport,
            .discoveryURL = "https://router.test/discover",
            .updateManifestURL = "https://updates.test/latest.json",
            .defaults = defaults,
            .capturesDirectory = captures,
            .makeSession = captureSessionFactory({.directory = captures,
                                                  .factory = endpoints.factory(),
                                                  .devices = devices,
                                                  .clock = clock,
                                                  .control = &main,
                                                  .mixerQueue = &main}),
            .conference = &activity,
            .clock = &clock,
            .main = &main,
            .worker = &main,
            .environmentVariable = [](const char*) { return std::optional<std::string>{}; },
            .runningVersion = "1.0.0",
            .supportEnvironment = {},
            .timeZone = "UTC",
            .uploadTiming = {.stallWatchdogInterval = std::nullopt},
            .openURL = {},
            .showReport = {},
            .quit = {},
            .notifier = &notifier,
        });
        main.runUntilIdle();
    }

    // Lets `duration` pass in steps of 0.1 s, the endpoints delivering what is due.
    void run(Duration duration) {
        for (Duration done{}; done < duration; done += std::chrono::milliseconds(100)) {
            main.advance(std::chrono::milliseconds(100));
            for (const auto& made : {endpoints.microphones(), endpoints.systems()})
                for (const auto& endpoint : made) endpoint->deliverUntil(clock.hostTime());
        }
    }

    std::optional<MenuItem> item(std::string_view title) const {
        const auto items = app->menu();
        const auto found = std::find_if(items.begin(), items.end(),
                                        [&](const MenuItem& i) { return i.title == title; });
        if (found == items.end()) return std::nullopt;
        return *found;
    }
    bool shows(std::string_view title) const { return item(title).has_value(); }
    void choose(std::string_view title) {
        const auto found = item(title);
        ASSERT_TRUE(found) << title;
        app->perform(*found);
    }

    // The running capture's sidecar.
    std::filesystem::path sidecarFile() const { return *app->capture().session()->sidecarURL(); }

    TempDir dir;
    std::filesystem::path captures = dir.path() / "Captures";
    ManualClock clock;
    ManualScheduler main{clock};
    LogCapture logs;
    FakeAudioDevices devices;
    FakeCaptureEndpoints endpoints{clock};
    FakeConferenceActivitySource activity;
    std::shared_ptr<std::atomic<bool>> speaking = std::make_shared<std::atomic<bool>>(false);
    std::shared_ptr<RecordingTransport> transport = std::make_shared<RecordingTransport>();
    std::shared_ptr<MemoryDefaults> defaults = std::make_shared<MemoryDefaults>();
    RecordingNotifier notifier;
    std::unique_ptr<KavoMeetingsDesktopApp> app;
};

TEST_F(KavoMeetingsDesktopAppTest, ASignInServiceThatCannotBeMadeLeavesTheMenuWorking) {
    launch([]() -> std::shared_ptr<AuthService> { throw std::runtime_error("no client id"); });
    choose("Sign In");
    main.runUntilIdle();
    EXPECT_TRUE(shows("Sign-in is unavailable: no client id"));
}

TEST_F(KavoMeetingsDesktopAppTest, TheSwitchesReachWhatTheyTurnOff) {
    launch();
    choose("Record Meetings Automatically");
    EXPECT_FALSE(app->autoCapture().isEnabled());
    choose("Echo Cancellation");
    EXPECT_EQ(defaults->boolValue("brindle.meetings.desktop.echoCancellationEnabled"), false);
    activity.emit({"us.zoom.Zoom"});
    main.advance(5s);
    EXPECT_FALSE(app->capture().isRecording()) << "automatic capture is off";
}

// A capture keeps the account it began under, to go under it once that account is back.
TEST_F(KavoMeetingsDesktopAppTest, ACaptureOutlivingItsSignInCanBeStoppedAndKeepsItsAccount) {
    launch();
    choose("Start Recording");
    run(1s);
    const auto file = sidecarFile();
    choose("Sign Out");
    main.runUntilIdle();
    choose("Stop Recording");
    app->uploads().waitUntilIdle();
    main.runUntilIdle();
    EXPECT_FALSE(app->capture().isRecording());
    const CaptureSidecar sidecar = CaptureSidecar::read(file);
    ASSERT_TRUE(sidecar.account);
    EXPECT_EQ(sidecar.account->userId, "u-1");
}

// What the person recording is told: automatic capture, pause, a silent side, no microphone.
class RecordingAwarenessTest : public KavoMeetingsDesktopAppTest {
protected:
    RecordingAwarenessTest() { launch(); }
};

TEST_F(RecordingAwarenessTest, AutomaticCaptureSaysWhenItStartsAndStopsAndItsActionStopsIt) {
    activity.emit({"zoom"});
    run(4s);
    ASSERT_TRUE(app->capture().isRecording());
    ASSERT_EQ(notifier.shown.size(), 1u);
    EXPECT_EQ(notifier.shown[0], KavoMeetingsDesktopApp::recordingStartedNotification());
    ASSERT_TRUE(notifier.shown[0].action);

    // The notification's button, as the desktop hands it back.
    app->perform(MenuItem::button({}, notifier.shown[0].action->action));
    EXPECT_FALSE(app->capture().isRecording());

    // The next meeting: its end stops the capture, and that is told.
    activity.emit({});
    run(1s);
    activity.emit({"zoom"});
    run(4s);
    ASSERT_TRUE(app->capture().isRecording());
    activity.emit({});
    run(21s);
    EXPECT_FALSE(app->capture().isRecording());
    ASSERT_EQ(notifier.shown.size(), 3u);
    EXPECT_EQ(notifier.shown[2], KavoMeetingsDesktopApp::recordingStoppedNotification());
}

TEST_F(RecordingAwarenessTest, APauseWritesNothingIsCountedAndAMeetingEndStopsItAsUsual) {
    activity.emit({"zoom"});
    run(3s);
    ASSERT_TRUE(app->capture().isRecording());
    const auto file = sidecarFile();
    run(5s);
    choose("Pause Recording");
    EXPECT_TRUE(app->label().paused);
    const std::string pausedAt = app->capture().elapsedLabel();
    EXPECT_TRUE(shows("Paused " + pausedAt));
    run(4s);
    EXPECT_EQ(app->capture().elapsedLabel(), pausedAt) << "a pause stops the clock";

    choose("Resume Recording");
    run(5s);
    choose("Pause Recording");
    // The meeting ends while paused: the capture stops 20 s later as ever.
    activity.emit({});
    run(21s);
    ASSERT_FALSE(app->capture().isRecording());

    const CaptureSidecar sidecar = CaptureSidecar::read(file);
    ASSERT_TRUE(sidecar.endedAt);
    EXPECT_NEAR(sidecar.durationSeconds, 10.0, 0.25) << "only the time not paused is written";
    EXPECT_NEAR(sidecar.pausedSeconds, 24.0, 0.25);
}

TEST_F(RecordingAwarenessTest,
       AMicrophoneThatHearsNothingWhileTheFarSideTalksIsShownUntilItHearsAgain) {
    choose("Start Recording");
    run(29s);
    EXPECT_FALSE(shows(kSilentMicrophoneText)) << "hiss below the floor, but not yet 30 s";
    run(2s);
    EXPECT_TRUE(shows(kSilentMicrophoneText));
    EXPECT_EQ(app->label().warning, std::string(kSilentMicrophoneText));

    speaking->store(true);
    run(2s);
    EXPECT_FALSE(shows(kSilentMicrophoneText));
    EXPECT_FALSE(app->label().warning);
}

TEST_F(RecordingAwarenessTest, WithoutAMicrophoneTheMenuSaysTheMicrophoneChannelIsSilent) {
    speaking->store(true);
    choose("Start Recording");
    run(1s);
    EXPECT_FALSE(shows(kNoMicrophoneText));

    // The only microphone goes; the server's default source is no microphone any more.
    devices.setDefaultInput(std::nullopt);
    run(2s);
    EXPECT_TRUE(shows(kNoMicrophoneText));
    choose("Stop Recording");
    EXPECT_FALSE(shows(kNoMicrophoneText));

    // A capture started without one says so at once.
    choose("Start Recording");
    EXPECT_TRUE(shows(kNoMicrophoneText));
}

}  // namespace
}  // namespace kavo
