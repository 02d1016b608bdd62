#include <gtest/gtest.h>

#include "PulseTestSupport.h"
#include "support/AllocationProbe.h"
#include "support/AudioCallbackScope.h"

namespace kavo::linux_platform {
namespace {

using namespace std::chrono_literals;

class PulseAllocationTest : public pulse_test::DaemonTest {};

// From its first buffer on, the server's thread counts as inside an audio callback for the
// rest of its life: reading, holding and handing over never allocate.
TEST_F(PulseAllocationTest, ReadingAndHandingOverAllocateNothing) {
    auto intoMicrophone = daemon_->play("micsrc", daemon_->tone(440, 6));
    auto intoSpeakers = daemon_->play("speakers", daemon_->tone(1000, 6));
    pulse_test::EndpointPair endpoints(6);
    endpoints.start([](CaptureEndpoint::Sink sink) -> CaptureEndpoint::Sink {
        return [sink = std::move(sink)](const float* frames, std::int64_t count,
                                        std::uint64_t hostTime) {
            if (!testing::insideAudioCallback()) ++testing::audioCallbackDepth;
            sink(frames, count, hostTime);
        };
    });
    const std::size_t before = endpoints.mic.size() + endpoints.out.size();
    std::this_thread::sleep_for(2s);
    EXPECT_GT(endpoints.mic.size() + endpoints.out.size(), before + 48'000);
    EXPECT_EQ(testing::allocationsInAudioCallbacks(), 0);
    endpoints.stop();
}

}  // namespace
}  // namespace kavo::linux_platform
