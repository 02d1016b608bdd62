#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

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
    std::shared_ptr<MeetingAutoCapture> make() {
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
            clock, main, seconds(1));
    }
    void armed() {
        autoCapture = make();
        autoCapture->arm();
    }
    // Lets `wait` pass and checks how often the recorder was started and stopped by then.
    void expectAfter(Duration wait, int expectedStarts, int expectedStops = 0) {
        main.advance(wait);
        EXPECT_EQ(std::pair(starts, stops), std::pair(expectedStarts, expectedStops))
            << "at " << static_cast<double>(clock.hostTime()) / 1e9 << " s";
    }

    ManualClock clock;
    ManualScheduler main{clock};
    MemoryDefaults defaults;
    testing::FakeConferenceActivitySource source;
    bool capturing = false, automatic = false, signedIn = true;
    int starts = 0, stops = 0;
    std::shared_ptr<MeetingAutoCapture> autoCapture;
};

TEST_F(MeetingAutoCaptureTest, StartsOnceAfterTheMicrophoneIsHeldForThreeSecondsOnTheTicks) {
    armed();
    // A hold that ends early starts the wait anew.
    source.emit({"us.zoom.Zoom"});
    main.advance(seconds(2));
    source.emit({});
    main.advance(milliseconds(600));
    source.emit({"us.zoom.Zoom", "teams-for-linux"});
    expectAfter(milliseconds(2400), 0);  // the tick at 5 s sees 2.4 s held
    expectAfter(seconds(1), 1);          // 3.4 s held

    // Another app joining the same call starts nothing more, nor does a recording stopped
    // by hand restart for this call.
    source.emit({"us.zoom.Zoom"});
    capturing = automatic = false;
    expectAfter(seconds(30), 1);

    // Released, it leaves nothing behind that could still run.
    autoCapture.reset();
    source.emit({"webex"});
    EXPECT_FALSE(main.hasPending());
}

TEST_F(MeetingAutoCaptureTest, StopsOnlyItsOwnRecordingTwentySecondsAfterTheLastAppLetsGo) {
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

    // A recording started by hand is never stopped.
    capturing = true;
    source.emit({"com.slack.Slack"});
    main.advance(seconds(10));
    source.emit({});
    expectAfter(seconds(60), 1, 1);
}

TEST_F(MeetingAutoCaptureTest, SwitchIsStoredAndControlsArming) {
    armed();
    EXPECT_TRUE(autoCapture->isEnabled()) << "on unless switched off";
    source.emit({"us.zoom.Zoom"});
    main.advance(seconds(2));
    autoCapture->setEnabled(false);
    EXPECT_FALSE(autoCapture->isArmed());
    expectAfter(seconds(20), 0);
    // Switched on again during the call, it arms afresh.
    autoCapture->setEnabled(true);
    expectAfter(seconds(4), 1);
    autoCapture->setEnabled(false);
    EXPECT_FALSE(make()->isEnabled()) << "the switch survives a restart";
}

}  // namespace
}  // namespace kavo
