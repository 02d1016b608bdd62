#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "base/Log.h"
#include "capture/MeetingAutoCapture.h"
#include "support/FakeConferenceActivitySource.h"
#include "support/ManualClock.h"
#include "support/ManualScheduler.h"

namespace kavo {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

class MeetingAutoCaptureTest : public ::testing::Test {
protected:
    std::shared_ptr<MeetingAutoCapture> make(std::optional<Duration> interval = seconds(1)) {
        return MeetingAutoCapture::create(
            source, defaults,
            {[this] {
                 ++starts;
                 capturing = automatic = true;
             },
             [this] {
                 ++stops;
                 capturing = automatic = false;
             },
             [this] { return capturing; }, [this] { return automatic; },
             [this] { return signedIn; }},
            clock, main, interval);
    }
    void armed() {
        autoCapture = make();
        autoCapture->arm();
    }
    // Lets `wait` pass and checks how often the recorder was started and stopped by then.
    void expectAfter(Duration wait, int expectedStarts, int expectedStops = 0) {
        main.advance(wait);
        const double at = static_cast<double>(clock.hostTime()) / 1e9;
        EXPECT_EQ(starts, expectedStarts) << "at " << at << " s";
        EXPECT_EQ(stops, expectedStops) << "at " << at << " s";
    }

    ManualClock clock;
    ManualScheduler main{clock};
    MemoryDefaults defaults;
    testing::FakeConferenceActivitySource source;
    bool capturing = false, automatic = false, signedIn = true;
    int starts = 0, stops = 0;
    LogCapture logs;
    std::shared_ptr<MeetingAutoCapture> autoCapture;
};

TEST_F(MeetingAutoCaptureTest, StartsOnceAfterTheMicrophoneIsHeldForThreeSecondsOnTheTicks) {
    armed();
    EXPECT_EQ(source.starts, 1);
    // A hold that ends early starts the wait anew.
    source.emit({"us.zoom.Zoom"});
    main.advance(seconds(2));
    source.emit({});
    main.advance(milliseconds(600));
    source.emit({"us.zoom.Zoom", "teams-for-linux"});
    expectAfter(milliseconds(2400), 0);  // the tick at 5 s sees 2.4 s held
    expectAfter(seconds(1), 1);          // 3.4 s held
    EXPECT_EQ(logs.messages("MeetingAutoCapture"),
              std::vector<std::string>{
                  "Auto-start: teams-for-linux, us.zoom.Zoom held the microphone for 3 s"});

    // Another app joining the same call starts nothing more, nor does a recording stopped
    // by hand restart for this call.
    source.emit({"us.zoom.Zoom"});
    capturing = automatic = false;
    expectAfter(seconds(30), 1);
}

TEST_F(MeetingAutoCaptureTest, StopsItsOwnRecordingTwentySecondsAfterTheLastAppLetsGo) {
    armed();
    source.emit({"webex"});
    expectAfter(seconds(3), 1);
    // A pause shorter than 20 s keeps the recording going.
    source.emit({});
    main.advance(seconds(10));
    source.emit({"webex"});
    expectAfter(seconds(40), 1);

    source.emit({});
    expectAfter(seconds(19), 1);
    expectAfter(seconds(1), 1, 1);
    expectAfter(seconds(60), 1, 1);
}

TEST_F(MeetingAutoCaptureTest, NeverStopsARecordingStartedByHandWhoseCallStaysUsedUp) {
    armed();
    capturing = true;
    source.emit({"com.slack.Slack"});
    main.advance(seconds(10));
    source.emit({});
    expectAfter(seconds(60), 0);

    source.emit({"com.slack.Slack"});
    capturing = false;
    main.advance(seconds(1));
    source.emit({"com.slack.Slack", "us.zoom.Zoom"});  // still the same call
    expectAfter(seconds(30), 0);
}

TEST_F(MeetingAutoCaptureTest, SignedOutUserGetsNoRecordingUntilThreeSecondsAfterSigningIn) {
    signedIn = false;
    source.emit({"us.zoom.Zoom"});  // already under way when armed
    armed();
    EXPECT_EQ(autoCapture->activity().apps, std::set<std::string>{"us.zoom.Zoom"});
    expectAfter(seconds(30), 0);
    main.advance(milliseconds(500));
    signedIn = true;  // the next tick, at 31 s, sees it
    expectAfter(milliseconds(2500), 0);
    expectAfter(seconds(1), 1);
}

TEST_F(MeetingAutoCaptureTest, SwitchIsStoredAndControlsArming) {
    std::vector<bool> observed;
    armed();
    EXPECT_TRUE(autoCapture->isEnabled()) << "on unless switched off";
    autoCapture->setOnEnabledChange([&](bool on) { observed.push_back(on); });
    source.emit({"us.zoom.Zoom"});
    main.advance(seconds(2));
    autoCapture->setEnabled(false);
    autoCapture->setEnabled(false);
    EXPECT_FALSE(autoCapture->isArmed());
    expectAfter(seconds(20), 0);

    // Switched on during the call: armed from the moment of switching.
    main.advance(milliseconds(300));
    autoCapture->setEnabled(true);
    EXPECT_TRUE(autoCapture->isArmed());
    expectAfter(milliseconds(2700), 0);  // the tick sees 2.7 s since switching
    expectAfter(seconds(1), 1);
    EXPECT_EQ(observed, (std::vector<bool>{false, true}));

    autoCapture->setEnabled(false);
    EXPECT_FALSE(make()->isEnabled()) << "the switch survives a restart";
    defaults.setData(MeetingAutoCapture::kEnabledKey, "\"no\"");
    EXPECT_TRUE(make()->isEnabled()) << "a value that is not a switch means on";
}

TEST_F(MeetingAutoCaptureTest, WithoutIntervalOrOnceReleasedNothingRuns) {
    autoCapture = make(std::nullopt);
    autoCapture->arm();
    EXPECT_EQ(source.starts, 0);
    EXPECT_FALSE(source.onChange());
    EXPECT_FALSE(main.hasPending());

    armed();
    autoCapture.reset();
    source.emit({"us.zoom.Zoom"});
    expectAfter(seconds(10), 0);
    EXPECT_FALSE(main.hasPending()) << "the timer went with it";
}

}  // namespace
}  // namespace kavo
