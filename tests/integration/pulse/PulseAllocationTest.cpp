#include <gtest/gtest.h>

#include "PulseTestSupport.h"
#include "platform/linux/PulseSourceEndpoint.h"
#include "support/AllocationProbe.h"
#include "support/AudioCallbackScope.h"

namespace kavo::linux_platform {
namespace {

using pulse_test::Recording;
using namespace std::chrono_literals;

class PulseAllocationTest : public pulse_test::DaemonTest {};

// From the first buffer on, the server's thread counts as inside an audio callback for the
// rest of its life: reading, holding and handing over never allocate.
TEST_F(PulseAllocationTest, ReadingAndHandingOverAllocateNothing) {
    auto intoMicrophone = daemon_->play("micsrc", daemon_->tone(440, 6));
    auto intoSpeakers = daemon_->play("speakers", daemon_->tone(1000, 6));
    PulseContext pulse;
    PulseSourceEndpoint microphone(pulse, PulseSourceEndpoint::Role::microphone);
    PulseSourceEndpoint system(pulse, PulseSourceEndpoint::Role::systemAudio);
    Recording micRecording(static_cast<std::size_t>(microphone.prepare() * 6));
    Recording systemRecording(static_cast<std::size_t>(system.prepare() * 6));
    const auto counting = [](CaptureEndpoint::Sink sink) -> CaptureEndpoint::Sink {
        return [sink = std::move(sink)](const float* frames, std::int64_t count,
                                        std::uint64_t hostTime) {
            if (!testing::insideAudioCallback()) ++testing::audioCallbackDepth;
            sink(frames, count, hostTime);
        };
    };
    microphone.start(counting(micRecording.sink()));
    system.start(counting(systemRecording.sink()));
    ASSERT_TRUE(micRecording.waitForAudio());
    ASSERT_TRUE(systemRecording.waitForAudio());
    const std::size_t before = micRecording.size() + systemRecording.size();
    std::this_thread::sleep_for(2s);
    EXPECT_GT(micRecording.size() + systemRecording.size(), before + 48'000);
    EXPECT_EQ(testing::allocationsInAudioCallbacks(), 0);
    microphone.stop();
    system.stop();
}

}  // namespace
}  // namespace kavo::linux_platform
