#include <gtest/gtest.h>

#include "PulseTestSupport.h"
#include "support/AllocationProbe.h"
#include "support/AudioCallbackScope.h"

namespace kavo::linux_platform {
namespace {

using pulse_test::toneAmplitude;
using namespace std::chrono_literals;

class PulseCaptureTest : public pulse_test::DaemonTest {};

// From its first buffer on, the server's thread counts as inside an audio callback for the
// rest of its life: reading, holding and handing over never allocate.
TEST_F(PulseCaptureTest, EachEndpointRecordsOnlyItsOwnToneAndAllocatesNothing) {
    pulse_test::EndpointPair endpoints(10);
    EXPECT_EQ(endpoints.microphone.sourceName(), "mic");
    EXPECT_EQ(endpoints.system.sourceName(), "speakers.monitor");
    auto intoMicrophone = daemon_->play("micsrc", daemon_->tone(440, 6));
    auto intoSpeakers = daemon_->play("speakers", daemon_->tone(1000, 6));
    endpoints.start([](CaptureEndpoint::Sink sink) -> CaptureEndpoint::Sink {
        return [sink = std::move(sink)](const float* frames, std::int64_t count,
                                        std::uint64_t hostTime) {
            if (!testing::insideAudioCallback()) ++testing::audioCallbackDepth;
            sink(frames, count, hostTime);
        };
    });
    const double micStart = double(endpoints.mic.size()) / endpoints.micRate;
    const double systemStart = double(endpoints.out.size()) / endpoints.systemRate;
    std::this_thread::sleep_for(3s);
    EXPECT_EQ(testing::allocationsInAudioCallbacks(), 0);
    endpoints.stop();

    const auto mic = pulse_test::secondsOf(endpoints.mic.samples(), micStart + 1.0, micStart + 2.5,
                                           endpoints.micRate);
    const auto out = pulse_test::secondsOf(endpoints.out.samples(), systemStart + 1.0,
                                           systemStart + 2.5, endpoints.systemRate);
    ASSERT_EQ(mic.size(), std::size_t(endpoints.micRate * 1.5));
    ASSERT_EQ(out.size(), std::size_t(endpoints.systemRate * 1.5));
    // Both channels of the stereo sources are averaged: the tones at their own level.
    EXPECT_NEAR(toneAmplitude(mic, endpoints.micRate, 440), 0.5, 0.02);
    EXPECT_LT(toneAmplitude(mic, endpoints.micRate, 1000), 0.01);
    EXPECT_NEAR(toneAmplitude(out, endpoints.systemRate, 1000), 0.5, 0.02);
    EXPECT_LT(toneAmplitude(out, endpoints.systemRate, 440), 0.01);
}

}  // namespace
}  // namespace kavo::linux_platform
