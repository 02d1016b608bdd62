#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "EndpointTestSupport.h"
#include "audio/AudioRing.h"
#include "audio/endpoints/MicRecorder.h"
#include "audio/endpoints/SystemAudioTap.h"
#include "base/ManualScheduler.h"
#include "support/AllocationProbe.h"
#include "support/FakeAudioEngine.h"
#include "support/FakeAudioHardware.h"

namespace kavo {
namespace {

using testing::allocationsInAudioCallbacks;
using testing::FakeAudioEngine;
using testing::FakeAudioHardware;
using testing::RebuildRequests;
using testing::Waveform;

// What the capture session hands an endpoint: a sink that only writes into a ring.
CaptureEndpoint::Sink ringSink(AudioRing& ring) {
    return [&ring](const float* frames, std::int64_t count, std::uint64_t) {
        ring.write(frames, count);
    };
}

std::int64_t drain(AudioRing& ring) {
    std::vector<float> scratch(4096);
    std::int64_t total = 0;
    while (const std::int64_t n = ring.read(scratch.data(), 4096)) total += n;
    return total;
}

TEST(RealtimePath, EndpointsDeliverFromTheirAudioThreadsWithoutAllocating) {
    ManualClock clock;
    ManualScheduler utility(clock);
    ManualScheduler queue(clock);
    ManualScheduler control(clock);
    FakeAudioHardware hardware(clock);
    OwnProcessObject ownProcess(hardware, 1);
    RebuildRequests requests;
    AudioRing micRing(1 << 17);
    AudioRing systemRing(1 << 17);

    // A voice-processed microphone that hears nothing: the liveness check fires on the
    // audio thread.
    auto engine = std::make_unique<FakeAudioEngine>(clock, 48'000);
    FakeAudioEngine& micEngine = *engine;
    micEngine.setStream(Waveform::silence(), 300, 480);
    MicRecorder mic(true, std::move(engine), hardware, clock, utility);
    mic.setOnNeedsRebuild(requests.handler());
    mic.prepare();

    hardware.refuseTaps(TapDescription::Mix::mono, -1);
    hardware.setTapFormat(TapDescription::Mix::stereo,
                          AudioStreamBasicDescription::float32(44'100, 2, false));
    hardware.setTapStream(Waveform::sine(1'000), -200, 441, false, false);
    SystemAudioTap system(SystemAudioTap::Platform{hardware, hardware, ownProcess, clock}, queue,
                          control);
    system.prepare();

    const std::int64_t before = allocationsInAudioCallbacks();
    mic.start(ringSink(micRing));
    system.start(ringSink(systemRing));
    clock.advance(seconds(1.5));
    micEngine.deliverUntil(clock.hostTime());
    hardware.deliverUntil(clock.hostTime());
    EXPECT_EQ(allocationsInAudioCallbacks(), before);

    mic.flushRebuildRequests();
    EXPECT_EQ(requests.reasons(),
              std::vector<EndpointRebuildReason>{EndpointRebuildReason::voiceProcessingSilent});
    EXPECT_EQ(drain(micRing), 72'000);
    EXPECT_EQ(drain(systemRing), 441 * 149);
    mic.stop();
    system.stop();
}

TEST(RealtimePath, TheProbeSeesAnAllocatingSink) {
    ManualClock clock;
    ManualScheduler utility(clock);
    FakeAudioHardware hardware(clock);
    auto engine = std::make_unique<FakeAudioEngine>(clock, 48'000);
    FakeAudioEngine& fake = *engine;
    MicRecorder mic(false, std::move(engine), hardware, clock, utility);
    mic.prepare();
    std::vector<std::vector<float>> kept;
    mic.start([&kept](const float* frames, std::int64_t count, std::uint64_t) {
        kept.emplace_back(frames, frames + count);
    });
    const std::int64_t before = allocationsInAudioCallbacks();
    fake.deliverBuffers(3);
    EXPECT_GE(allocationsInAudioCallbacks() - before, 3);
    mic.stop();
}

}  // namespace
}  // namespace kavo
