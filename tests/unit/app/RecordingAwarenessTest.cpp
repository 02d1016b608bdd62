#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "account/Tenant.h"
#include "app/KavoMeetingsDesktopApp.h"
#include "base/Defaults.h"
#include "capture/CaptureController.h"
#include "capture/DeviceWatch.h"
#include "capture/files/CaptureSidecar.h"
#include "support/FakeAudioDevices.h"
#include "support/FakeCaptureEndpoints.h"
#include "support/FakeConferenceActivitySource.h"
#include "support/ManualClock.h"
#include "support/ManualScheduler.h"
#include "support/RecordingTransport.h"
#include "support/TempDir.h"
#include "unit/app/SignedInServer.h"

// What the person recording is told, through the application core with real capture
// sessions on fake endpoints, all in simulated time: notifications of automatic capture,
// pause, a side gone silent and a missing microphone.

namespace kavo {
namespace {

using namespace std::chrono_literals;
using testing::DeviceStream;
using testing::EndpointScript;
using testing::kTid;
using testing::serverAnswer;
using testing::SignedInAccount;

class RecordingNotifier final : public Notifier {
public:
    void show(const Notification& notification) override { shown.push_back(notification); }
    std::vector<Notification> shown;
};

DeviceStream streamOf(std::function<float(std::int64_t)> signal) {
    return DeviceStream{.signal = std::move(signal)};
}

class RecordingAwarenessTest : public ::testing::Test {
protected:
    RecordingAwarenessTest() {
        transport->setResponder(serverAnswer);
        devices.setDefaultInput("BuiltInMic");
        devices.setDefaultOutput("BuiltInSpeaker");
        // A live microphone in a quiet room, then a voice; the far side always talks.
        endpoints.microphoneDefault =
            EndpointScript::at(48'000).playing(streamOf([this](std::int64_t frame) {
                return speaking->load() ? 0.3f * static_cast<float>(std::sin(frame * 0.05))
                                        : (frame % 2 == 0 ? 0.0001f : -0.0001f);
            }));
        endpoints.systemDefault =
            EndpointScript::at(48'000).playing(DeviceStream{.frequency = 440, .amplitude = 0.5f});

        app = std::make_unique<KavoMeetingsDesktopApp>(KavoMeetingsDesktopApp::Environment{
            .makeAuthService = [] { return std::make_shared<SignedInAccount>(); },
            .transport = transport,
            .discoveryURL = "https://router.test/discover",
            .updateManifestURL = "https://updates.test/latest.json",
            .defaults = std::make_shared<MemoryDefaults>(),
            .capturesDirectory = captures,
            .makeSession = captureSessionFactory({.directory = captures,
                                                  .factory = endpoints.factory(),
                                                  .devices = devices,
                                                  .clock = clock,
                                                  .control = &main,
                                                  .mixerQueue = &main}),
            .repair =
                [](const std::filesystem::path&) { return std::vector<std::filesystem::path>{}; },
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

    ~RecordingAwarenessTest() override {
        app->capture().stop();
        app->uploads().waitUntilIdle();
    }

    // Lets `duration` pass in steps of 0.1 s, the endpoints delivering what is due.
    void run(Duration duration) {
        for (Duration done{}; done < duration; done += 100ms) {
            main.advance(100ms);
            for (const auto& endpoint : endpoints.microphones())
                endpoint->deliverUntil(clock.hostTime());
            for (const auto& endpoint : endpoints.systems())
                endpoint->deliverUntil(clock.hostTime());
        }
    }

    bool shows(std::string_view title) const {
        const auto items = app->menu();
        return std::any_of(items.begin(), items.end(),
                           [&](const MenuItem& item) { return item.title == title; });
    }

    void choose(std::string_view title) {
        const auto items = app->menu();
        const auto found = std::find_if(items.begin(), items.end(),
                                        [&](const MenuItem& item) { return item.title == title; });
        ASSERT_NE(found, items.end()) << title;
        app->perform(*found);
    }

    // The sidecar of the only capture made.
    CaptureSidecar onlySidecar() const {
        for (const auto& entry : std::filesystem::directory_iterator(captures)) {
            const std::string name = entry.path().filename().string();
            if (name.starts_with("capture-") && name.ends_with(".json"))
                return CaptureSidecar::read(entry.path());
        }
        throw std::runtime_error("no sidecar");
    }

    testing::TempDir dir;
    std::filesystem::path captures = dir.path() / "Captures";
    ManualClock clock;
    ManualScheduler main{clock};
    testing::FakeAudioDevices devices;
    testing::FakeCaptureEndpoints endpoints{clock};
    testing::FakeConferenceActivitySource activity;
    std::shared_ptr<std::atomic<bool>> speaking = std::make_shared<std::atomic<bool>>(false);
    std::shared_ptr<testing::RecordingTransport> transport =
        std::make_shared<testing::RecordingTransport>();
    RecordingNotifier notifier;
    std::unique_ptr<KavoMeetingsDesktopApp> app;
};

TEST_F(RecordingAwarenessTest, AutomaticCaptureSaysWhenItStartsAndStopsAndItsActionStopsIt) {
    ASSERT_EQ(app->session().phase().kind(), SessionPhase::Kind::signedIn);
    activity.emit({"zoom"});
    run(4s);
    ASSERT_TRUE(app->capture().isRecording());
    ASSERT_EQ(notifier.shown.size(), 1u);
    EXPECT_EQ(notifier.shown[0].title, "Recording started");
    ASSERT_TRUE(notifier.shown[0].action);
    EXPECT_EQ(notifier.shown[0].action->title, "Stop Recording");

    // The notification's button, as the desktop hands it back.
    app->perform(MenuItem::button({}, notifier.shown[0].action->action));
    EXPECT_FALSE(app->capture().isRecording());
    EXPECT_EQ(notifier.shown.size(), 1u) << "a stop asked for by hand is no news";

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

    // A capture started by hand is not announced.
    choose("Start Recording");
    EXPECT_TRUE(app->capture().isRecording());
    EXPECT_EQ(notifier.shown.size(), 3u);
}

TEST_F(RecordingAwarenessTest, APauseWritesNothingIsCountedAndSentAndAMeetingEndStopsItAsUsual) {
    activity.emit({"zoom"});
    run(3s);
    ASSERT_TRUE(app->capture().isRecording());
    run(5s);
    choose("Pause Recording");
    EXPECT_TRUE(app->label().paused);
    const std::string pausedAt = app->capture().elapsedLabel();
    EXPECT_TRUE(shows("Paused " + pausedAt));
    run(4s);
    EXPECT_EQ(app->capture().elapsedLabel(), pausedAt) << "a pause stops the clock";

    choose("Resume Recording");
    EXPECT_TRUE(shows("Pause Recording"));
    run(5s);
    choose("Pause Recording");
    // The meeting ends while paused: the capture stops 20 s later as ever.
    activity.emit({});
    run(21s);
    ASSERT_FALSE(app->capture().isRecording());
    app->uploads().waitUntilIdle();
    main.runUntilIdle();

    const CaptureSidecar sidecar = onlySidecar();
    ASSERT_TRUE(sidecar.endedAt);
    EXPECT_NEAR(sidecar.durationSeconds, 10.0, 0.25) << "only the time not paused is written";
    EXPECT_NEAR(sidecar.pausedSeconds, 24.0, 0.25);
    const auto wav = captures / sidecar.audioFileName;
    EXPECT_EQ(
        std::filesystem::file_size(wav),
        44u + 2u * static_cast<std::uintmax_t>(std::llround(sidecar.durationSeconds * 16'000)));

    const auto requests = transport->requests();
    const auto finalize = std::find_if(requests.begin(), requests.end(), [](const auto& request) {
        return request.url.ends_with("/uploads/finalize");
    });
    ASSERT_NE(finalize, requests.end());
    EXPECT_EQ(nlohmann::json::parse(finalize->body).at("pausedDurationSeconds"), 24);
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
    choose("Stop Recording");

    const CaptureSidecar sidecar = onlySidecar();
    ASSERT_TRUE(sidecar.silentStretches);
    ASSERT_EQ(sidecar.silentStretches->size(), 1u);
    const auto& stretch = sidecar.silentStretches->front();
    EXPECT_EQ(stretch.source, "mic");
    EXPECT_EQ(stretch.from, sidecar.startedAt);
    ASSERT_TRUE(stretch.until);
    EXPECT_GT(*stretch.until, stretch.from);
    EXPECT_LT(*stretch.until, *sidecar.endedAt);
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

    // A capture started without one says so at once, in the menu and in its sidecar.
    choose("Start Recording");
    EXPECT_TRUE(shows(kNoMicrophoneText));
    speaking->store(false);
    run(40s);
    EXPECT_FALSE(shows(kSilentMicrophoneText)) << "the missing microphone is the news";
    const auto events = CaptureSidecar::read(*app->capture().session()->sidecarURL()).deviceEvents;
    EXPECT_TRUE(std::any_of(events.begin(), events.end(), [](const auto& event) {
        return event.detail == std::string(DeviceWatch::kNoMicrophoneDetail);
    }));
}

}  // namespace
}  // namespace kavo
