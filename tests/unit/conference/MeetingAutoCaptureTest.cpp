#include "audio/conference/MeetingAutoCapture.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "base/Log.h"
#include "base/ManualClock.h"
#include "base/ManualScheduler.h"
#include "support/FakeConferenceActivitySource.h"

namespace kavo {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// The capture controller and the session as the auto-capture sees them.
struct FakeRecorder {
    bool capturing = false;
    bool automatic = false;
    bool signedIn = true;
    int starts = 0;
    int stops = 0;

    MeetingAutoCapture::Hooks hooks() {
        return {[this] {
                    ++starts;
                    capturing = true;
                    automatic = true;
                },
                [this] {
                    ++stops;
                    capturing = false;
                    automatic = false;
                },
                [this] { return capturing; }, [this] { return automatic; }, [this] { return signedIn; }};
    }
    void startByHand() {
        capturing = true;
        automatic = false;
    }
    void stopByHand() { capturing = automatic = false; }
};

class MeetingAutoCaptureTest : public ::testing::Test {
protected:
    std::unique_ptr<MeetingAutoCapture> make(std::optional<Duration> interval = seconds(1)) {
        return std::make_unique<MeetingAutoCapture>(source, defaults, recorder.hooks(), clock, main, interval);
    }
    void armed() {
        autoCapture = make();
        autoCapture->arm();
    }
    std::vector<std::string> logLines() const { return logs.messages("MeetingAutoCapture"); }

    ManualClock clock;
    ManualScheduler main{clock};
    MemoryDefaults defaults;
    testing::FakeConferenceActivitySource source;
    FakeRecorder recorder;
    LogCapture logs;
    std::unique_ptr<MeetingAutoCapture> autoCapture;
};

TEST_F(MeetingAutoCaptureTest, StartsOnceAfterTheMicrophoneIsHeldForThreeSeconds) {
    armed();
    EXPECT_EQ(source.starts, 1);
    main.advance(milliseconds(100));
    source.emit({"us.zoom.xos", "com.microsoft.teams2"});

    main.advance(milliseconds(2900));  // the tick at 3 s sees 2.9 s held
    EXPECT_EQ(recorder.starts, 0);
    main.advance(seconds(1));  // 3.9 s held
    EXPECT_EQ(recorder.starts, 1);
    EXPECT_EQ(logLines(), std::vector<std::string>{
                              "Auto-start: com.microsoft.teams2, us.zoom.xos held the microphone for 3 s"});

    // Another app joining the same call and further ticks start nothing more.
    source.emit({"us.zoom.xos"});
    recorder.stopByHand();
    main.advance(seconds(30));
    EXPECT_EQ(recorder.starts, 1) << "a recording stopped by hand stays stopped for this call";
    EXPECT_EQ(recorder.stops, 0);
}

TEST_F(MeetingAutoCaptureTest, ActivityThatEndsEarlyStartsTheWaitAnew) {
    armed();
    source.emit({"us.zoom.xos"});
    main.advance(seconds(2));
    source.emit({});
    main.advance(milliseconds(500));
    source.emit({"us.zoom.xos"});
    main.advance(milliseconds(2500));  // 5 s since the first run began, 2.5 s of this one
    EXPECT_EQ(recorder.starts, 0);
    main.advance(seconds(1));
    EXPECT_EQ(recorder.starts, 1);
    EXPECT_EQ(logLines().back(), "Auto-start: us.zoom.xos held the microphone for 3 s");
}

TEST_F(MeetingAutoCaptureTest, StopsItsOwnRecordingTwentySecondsAfterTheLastAppLetsGo) {
    armed();
    source.emit({"us.zoom.xos"});
    main.advance(seconds(3));
    ASSERT_EQ(recorder.starts, 1);

    // A pause shorter than 20 s keeps the recording going.
    source.emit({});
    main.advance(seconds(10));
    source.emit({"us.zoom.xos"});
    main.advance(seconds(40));
    EXPECT_EQ(recorder.stops, 0);

    source.emit({});
    main.advance(seconds(19));
    EXPECT_EQ(recorder.stops, 0);
    main.advance(seconds(1));
    EXPECT_EQ(recorder.stops, 1);
    EXPECT_EQ(logLines().back(), "Auto-stop: no conferencing app has held the microphone for 20 s");
    main.advance(seconds(60));
    EXPECT_EQ(recorder.stops, 1);
    EXPECT_EQ(recorder.starts, 1);
}

TEST_F(MeetingAutoCaptureTest, NeverStopsARecordingStartedByHand) {
    armed();
    recorder.startByHand();
    source.emit({"com.tinyspeck.slackmacgap"});
    main.advance(seconds(10));
    source.emit({});
    main.advance(seconds(60));
    EXPECT_EQ(recorder.stops, 0);
    EXPECT_EQ(recorder.starts, 0);

    // The manual recording used up the arming of that call.
    source.emit({"com.tinyspeck.slackmacgap"});
    recorder.stopByHand();
    main.advance(seconds(1));
    source.emit({"com.tinyspeck.slackmacgap", "us.zoom.xos"});  // still the same call
    main.advance(seconds(30));
    EXPECT_EQ(recorder.starts, 0);
}

TEST_F(MeetingAutoCaptureTest, OnlyConferencingIdentifiersCount) {
    armed();
    source.emit({"org.mozilla.firefox", "com.microsoft.teamsx"});
    main.advance(seconds(10));
    EXPECT_EQ(recorder.starts, 0);
    EXPECT_TRUE(autoCapture->activity().apps.empty());

    source.emit({"org.mozilla.firefox", "Cisco-Systems.Spark.helper"});
    main.advance(seconds(3));
    ASSERT_EQ(recorder.starts, 1);
    EXPECT_EQ(logLines().back(), "Auto-start: Cisco-Systems.Spark.helper held the microphone for 3 s");

    // Only a browser left: the call is over.
    source.emit({"org.mozilla.firefox"});
    main.advance(seconds(20));
    EXPECT_EQ(recorder.stops, 1);
}

TEST_F(MeetingAutoCaptureTest, SignedOutUserGetsNoRecordingUntilSigningIn) {
    recorder.signedIn = false;
    armed();
    source.emit({"us.zoom.xos"});
    main.advance(seconds(30));
    EXPECT_EQ(recorder.starts, 0);

    main.advance(milliseconds(500));
    recorder.signedIn = true;  // the next tick, at 31 s, sees it
    main.advance(milliseconds(2500));
    EXPECT_EQ(recorder.starts, 0) << "the call is recorded from 3 s after sign-in, not at once";
    main.advance(seconds(1));
    EXPECT_EQ(recorder.starts, 1);
    EXPECT_EQ(logLines().back(), "Auto-start: us.zoom.xos held the microphone for 3 s");
}

TEST_F(MeetingAutoCaptureTest, SwitchIsStoredAndControlsArming) {
    std::vector<bool> observed;
    armed();
    EXPECT_TRUE(autoCapture->isEnabled()) << "on unless switched off";
    autoCapture->setOnEnabledChange([&](bool on) { observed.push_back(on); });

    source.emit({"us.zoom.xos"});
    main.advance(seconds(2));
    autoCapture->setEnabled(false);
    autoCapture->setEnabled(false);
    EXPECT_FALSE(autoCapture->isArmed());
    EXPECT_EQ(defaults.boolValue(MeetingAutoCapture::kEnabledKey), false);
    main.advance(seconds(20));
    EXPECT_EQ(recorder.starts, 0);

    // Switched on during the call: armed from the moment of switching.
    main.advance(milliseconds(300));
    autoCapture->setEnabled(true);
    EXPECT_TRUE(autoCapture->isArmed());
    main.advance(milliseconds(2700));  // the tick sees 2.7 s since switching
    EXPECT_EQ(recorder.starts, 0);
    main.advance(seconds(1));
    EXPECT_EQ(recorder.starts, 1);
    EXPECT_EQ(defaults.boolValue(MeetingAutoCapture::kEnabledKey), true);
    EXPECT_EQ(observed, (std::vector<bool>{false, true}));
    EXPECT_EQ(logs.messages("MeetingAutoCapture"),
              (std::vector<std::string>{"Automatic recording disabled", "Automatic recording enabled",
                                        "Auto-start: us.zoom.xos held the microphone for 3 s"}));

    autoCapture->setEnabled(false);
    EXPECT_FALSE(make()->isEnabled()) << "the switch survives a restart";
    defaults.setData(MeetingAutoCapture::kEnabledKey, "\"no\"");
    EXPECT_TRUE(make()->isEnabled()) << "a value that is not a switch means on";
}

TEST_F(MeetingAutoCaptureTest, WithoutIntervalArmingDoesNothing) {
    autoCapture = make(std::nullopt);
    autoCapture->arm();
    EXPECT_EQ(source.starts, 0);
    EXPECT_FALSE(source.onChange());
    EXPECT_FALSE(main.hasPending());
}

TEST_F(MeetingAutoCaptureTest, ActivityAlreadyUnderWayWhenArmedIsTakenIn) {
    source.emit({"com.microsoft.teams"});
    armed();
    EXPECT_EQ(autoCapture->activity().apps, std::set<std::string>{"com.microsoft.teams"});
    main.advance(seconds(3));
    EXPECT_EQ(recorder.starts, 1);
}

TEST_F(MeetingAutoCaptureTest, SourceOutlivingTheAutoCaptureReachesNothing) {
    armed();
    autoCapture.reset();
    source.emit({"us.zoom.xos"});
    main.advance(seconds(10));
    EXPECT_EQ(recorder.starts, 0);
    EXPECT_FALSE(main.hasPending()) << "the timer went with it";
}

}  // namespace
}  // namespace kavo
