#include <gtest/gtest.h>

#include <memory>

#include "PulseTestSupport.h"
#include "platform/linux/PulseContext.h"
#include "platform/linux/PulseSourceEndpoint.h"

namespace kavo::linux_platform {
namespace {

using pulse_test::Recording;
using pulse_test::toneAmplitude;
using namespace std::chrono_literals;
using Role = PulseSourceEndpoint::Role;

class PulseCaptureTest : public pulse_test::DaemonTest {};

// The endpoints on the product's own connection, over the test's server.
TEST_F(PulseCaptureTest, MicrophoneAndSystemAudioEachRecordOnlyTheirOwnTone) {
    PulseContext pulse;
    SystemClock clock;
    PulseSourceEndpoint microphone(pulse, Role::microphone);
    PulseSourceEndpoint system(pulse, Role::systemAudio);
    const double micRate = microphone.prepare();
    const double systemRate = system.prepare();
    ASSERT_GT(micRate, 0);
    ASSERT_GT(systemRate, 0);
    EXPECT_EQ(microphone.sourceName(), "mic");
    EXPECT_EQ(system.sourceName(), "speakers.monitor");

    Recording micRecording(static_cast<std::size_t>(micRate * 10));
    Recording systemRecording(static_cast<std::size_t>(systemRate * 10));
    const std::uint64_t before = clock.hostTime();
    microphone.start(micRecording.sink());
    system.start(systemRecording.sink());
    const auto voice = daemon_->tone(440, 4);
    const auto music = daemon_->tone(1000, 4);
    ASSERT_TRUE(micRecording.waitForAudio());
    ASSERT_TRUE(systemRecording.waitForAudio());
    const double micStart = micRecording.seconds(micRate);
    const double systemStart = systemRecording.seconds(systemRate);
    auto intoMicrophone = daemon_->play("micsrc", voice);
    auto intoSpeakers = daemon_->play("speakers", music);
    std::this_thread::sleep_for(3s);
    microphone.stop();
    system.stop();
    const std::uint64_t after = clock.hostTime();

    ASSERT_GT(micRecording.seconds(micRate), micStart + 2.5);
    ASSERT_GT(systemRecording.seconds(systemRate), systemStart + 2.5);
    // A second in, both tones have long been playing.
    const auto mic = micRecording.window(micRate, micStart + 1.0, micStart + 2.5);
    const auto out = systemRecording.window(systemRate, systemStart + 1.0, systemStart + 2.5);
    EXPECT_GT(toneAmplitude(mic, micRate, 440), 0.3);
    EXPECT_LT(toneAmplitude(mic, micRate, 1000), 0.01);
    EXPECT_GT(toneAmplitude(out, systemRate, 1000), 0.3);
    EXPECT_LT(toneAmplitude(out, systemRate, 440), 0.01);

    // Host times are monotonic nanoseconds of this run, corrected by the latency, never
    // going back.
    for (const Recording* recording : {&micRecording, &systemRecording}) {
        const auto buffers = recording->buffers();
        EXPECT_GE(buffers.front().hostTime, before - 1'000'000'000ULL);
        EXPECT_LE(buffers.back().hostTime, after);
        EXPECT_GT(buffers.back().hostTime, buffers.front().hostTime);
        EXPECT_TRUE(
            std::is_sorted(buffers.begin(), buffers.end(),
                           [](const auto& a, const auto& b) { return a.hostTime < b.hostTime; }));
    }
}

}  // namespace
}  // namespace kavo::linux_platform
