#include <gtest/gtest.h>

#include "PulseTestSupport.h"

namespace kavo::linux_platform {
namespace {

using pulse_test::toneAmplitude;
using namespace std::chrono_literals;

class PulseCaptureTest : public pulse_test::DaemonTest {};

TEST_F(PulseCaptureTest, MicrophoneAndSystemAudioEachRecordOnlyTheirOwnTone) {
    pulse_test::EndpointPair endpoints(10);
    EXPECT_EQ(endpoints.microphone.sourceName(), "mic");
    EXPECT_EQ(endpoints.system.sourceName(), "speakers.monitor");
    const auto voice = daemon_->tone(440, 4);
    const auto music = daemon_->tone(1000, 4);
    endpoints.start();
    const double micStart = double(endpoints.mic.size()) / endpoints.micRate;
    const double systemStart = double(endpoints.out.size()) / endpoints.systemRate;
    auto intoMicrophone = daemon_->play("micsrc", voice);
    auto intoSpeakers = daemon_->play("speakers", music);
    std::this_thread::sleep_for(3s);
    endpoints.stop();

    // A second in, both tones have long been playing.
    const auto mic = pulse_test::secondsOf(endpoints.mic.samples(), micStart + 1.0, micStart + 2.5,
                                           endpoints.micRate);
    const auto out = pulse_test::secondsOf(endpoints.out.samples(), systemStart + 1.0,
                                           systemStart + 2.5, endpoints.systemRate);
    ASSERT_EQ(mic.size(), std::size_t(endpoints.micRate * 1.5));
    ASSERT_EQ(out.size(), std::size_t(endpoints.systemRate * 1.5));
    EXPECT_GT(toneAmplitude(mic, endpoints.micRate, 440), 0.3);
    EXPECT_LT(toneAmplitude(mic, endpoints.micRate, 1000), 0.01);
    EXPECT_GT(toneAmplitude(out, endpoints.systemRate, 1000), 0.3);
    EXPECT_LT(toneAmplitude(out, endpoints.systemRate, 440), 0.01);
}

}  // namespace
}  // namespace kavo::linux_platform
