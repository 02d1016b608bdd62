#include <gtest/gtest.h>

#include <set>
#include <string>

#include "PulseConferenceFixture.h"
#include "base/Log.h"
#include "platform/linux/PulseContext.h"
#include "platform/linux/PulseRecordStream.h"
#include "support/PulseDaemon.h"

namespace kavo::linux_platform {
namespace {

using namespace std::chrono_literals;

class PulseConferenceActivityTest : public pulse_test::ConferenceActivityTest {
protected:
    static testing::PulseDaemon::Process fakeZoom(const std::string& device) {
        return testing::PulseDaemon::spawn({"parec", "--device=" + device, "--property=application.process.binary=zoom",
                                            "--property=application.name=ZOOM VoiceEngine"});
    }
};

TEST_F(PulseConferenceActivityTest, FakeZoomOnTheMicrophoneIsReportedAndThenGone) {
    LogCapture logs;
    source_->start();
    settle();
    // The remapped microphone's own module stream is running all along and never counts.
    EXPECT_TRUE(reports_.seen().empty());
    EXPECT_TRUE(source_->current().apps.empty());

    auto zoom = fakeZoom("mic");
    ASSERT_TRUE(reports_.waitFor(1));
    EXPECT_EQ(reports_.seen().at(0).apps, std::set<std::string>{"us.zoom.xos"});
    EXPECT_EQ(source_->current().apps, std::set<std::string>{"us.zoom.xos"});

    zoom.terminate();
    ASSERT_TRUE(reports_.waitFor(2));
    EXPECT_TRUE(reports_.seen().at(1).apps.empty());
    settle();
    EXPECT_EQ(reports_.seen().size(), 2U);
    EXPECT_TRUE(logs.contains("ConferenceAudioMonitor", "Conferencing apps holding the microphone: us.zoom.xos"));
    EXPECT_TRUE(logs.contains("ConferenceAudioMonitor", "Conferencing apps holding the microphone: none"));
}

TEST_F(PulseConferenceActivityTest, MonitorRecordingsAndOurOwnStreamsAreNotReported) {
    source_->start();
    auto onMonitor = fakeZoom("speakers.monitor");
    // Our own process recording the microphone under a conferencing name.
    PulseContext second("ZOOM VoiceEngine");
    const auto mic = pulse_->sourceInfo("mic");
    ASSERT_TRUE(mic);
    PulseRecordStream own(second, {.sourceName = "mic", .rate = mic->rate, .channels = mic->channels},
                          [](const AudioBufferList&, const AudioTimeStamp&) {}, nullptr);
    settle();
    settle();
    EXPECT_TRUE(reports_.seen().empty());

    // The same source still sees a real one.
    auto zoom = fakeZoom("mic");
    ASSERT_TRUE(reports_.waitFor(1));
    EXPECT_EQ(reports_.seen().at(0).apps, std::set<std::string>{"us.zoom.xos"});
}

TEST_F(PulseConferenceActivityTest, StoppedSourceReportsNothing) {
    source_->start();
    settle();
    source_->stop();
    auto zoom = fakeZoom("mic");
    settle();
    settle();
    EXPECT_TRUE(reports_.seen().empty());
}

}  // namespace
}  // namespace kavo::linux_platform
