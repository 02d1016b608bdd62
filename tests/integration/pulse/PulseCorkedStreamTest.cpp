#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "PulseConferenceFixture.h"
#include "support/PulseDaemon.h"

namespace kavo::linux_platform {
namespace {

using namespace std::chrono_literals;

class PulseCorkedStreamTest : public pulse_test::ConferenceActivityTest {
protected:
    // Whether the server lists a stream of the app "zoom" on the microphone, and corked or not.
    std::optional<bool> zoomCorked() const {
        const auto outputs = pulse_->sourceOutputs();
        const auto mic = pulse_->sourceInfo("mic");
        if (!outputs || !mic) return std::nullopt;
        for (const auto& output : *outputs) {
            const auto binary = output.properties.find(PA_PROP_APPLICATION_PROCESS_BINARY);
            if (output.source == mic->index && binary != output.properties.end() &&
                binary->second == "zoom") {
                return output.corked;
            }
        }
        return std::nullopt;
    }

    bool waitForZoom(bool corked) const {
        const auto deadline = std::chrono::steady_clock::now() + 8s;
        while (std::chrono::steady_clock::now() < deadline) {
            if (zoomCorked() == corked) return true;
            std::this_thread::sleep_for(50ms);
        }
        return false;
    }
};

TEST_F(PulseCorkedStreamTest, CorkedRecordingDoesNotHoldTheMicrophoneUntilItIsUncorked) {
    source_->start();
    settle();
    auto zoom =
        testing::PulseDaemon::spawn({KAVO_TEST_RECORDER, "mic", "zoom", "ZOOM VoiceEngine"});
    // A conferencing app between calls: its stream on the microphone exists, paused.
    ASSERT_TRUE(waitForZoom(true)) << "the stand-in app's corked stream never showed up";
    settle();
    settle();
    EXPECT_TRUE(reports_.seen().empty());
    EXPECT_TRUE(source_->current().apps.empty());

    // The call starts: the same stream runs.
    ::kill(zoom.pid(), SIGUSR1);
    ASSERT_TRUE(waitForZoom(false));
    ASSERT_TRUE(reports_.waitFor(1));
    EXPECT_EQ(reports_.seen().at(0).apps, std::set<std::string>{"us.zoom.xos"});
    EXPECT_EQ(source_->current().apps, std::set<std::string>{"us.zoom.xos"});

    // The call ends and the app pauses the stream again, without closing it.
    ::kill(zoom.pid(), SIGUSR2);
    ASSERT_TRUE(waitForZoom(true));
    ASSERT_TRUE(reports_.waitFor(2));
    EXPECT_TRUE(reports_.seen().at(1).apps.empty());
    EXPECT_TRUE(source_->current().apps.empty());
}

}  // namespace
}  // namespace kavo::linux_platform
