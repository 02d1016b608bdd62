#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "capture/DeviceWatch.h"
#include "unit/app/AppTest.h"

// What the person recording is told: notifications of automatic capture, pause, a side gone
// silent and a missing microphone.

namespace kavo {
namespace {

using namespace std::chrono_literals;

class RecordingAwarenessTest : public testing::AppTest {
protected:
    RecordingAwarenessTest() { launch(); }
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
