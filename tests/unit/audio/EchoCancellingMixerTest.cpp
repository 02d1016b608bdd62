#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "audio/Mixer.h"
#include "support/ManualClock.h"
#include "support/ManualScheduler.h"

namespace kavo {
namespace {

class CollectingSink final : public PCMSink {
public:
    void append(const std::int16_t* data, std::int64_t count) override {
        samples.insert(samples.end(), data, data + count);
    }
    std::vector<std::int16_t> samples;
};

// Takes the reference out of the microphone exactly, and counts its frames.
class SubtractingCanceller final : public EchoCanceller {
public:
    explicit SubtractingCanceller(int& frames) : frames_(frames) {}
    void process(float* nearEnd, const float* farEnd) noexcept override {
        for (std::int64_t i = 0; i < kFrameSize; ++i) nearEnd[i] -= farEnd[i];
        ++frames_;
    }

private:
    int& frames_;
};

// The microphone hears 0.5 of its own and the system plays 0.25: mixed, 0.75; with the
// reference cancelled out of the microphone, 0.5.
struct EchoRig {
    explicit EchoRig(bool cancelling) {
        mixer = Mixer::create(
            {mic, system}, sink, [this] { return clock.hostTime(); }, scheduler);
        mixer->cancelEcho(std::make_unique<SubtractingCanceller>(frames), mic, system);
        mixer->setEchoCancellation(cancelling);
        origin = clock.hostTime();
        mixer->start(false);
        const std::vector<float> near(16'000, 0.5f);
        const std::vector<float> far(16'000, 0.25f);
        // Captured a tenth of a second before the start: both land from output frame 0.
        const std::uint64_t landsFirst = origin - 100'000'000;
        mic->deliver(near.data(), 16'000, landsFirst);
        system->deliver(far.data(), 16'000, landsFirst);
    }
    void tickAt(double seconds) {
        clock.advance(Duration{static_cast<Duration::rep>(
            origin + static_cast<std::uint64_t>(seconds * 1e9) - clock.hostTime())});
        mixer->tick();
    }

    ManualClock clock;
    ManualScheduler scheduler{clock};
    std::shared_ptr<Mixer::Channel> mic = std::make_shared<Mixer::Channel>("mic", 16'000);
    std::shared_ptr<Mixer::Channel> system = std::make_shared<Mixer::Channel>("system", 16'000);
    std::shared_ptr<CollectingSink> sink = std::make_shared<CollectingSink>();
    std::shared_ptr<Mixer> mixer;
    std::uint64_t origin = 0;
    int frames = 0;
};

TEST(EchoCancellingMixer, CancelsWholeTenMillisecondFramesAndTheLastOnePaddedAtStop) {
    EchoRig rig(true);
    rig.tickAt(0.1);
    EXPECT_EQ(rig.mixer->framesWritten(), 1'600);
    EXPECT_EQ(rig.frames, 10);
    // 1 974 frames are due: the 54 beyond whole frames wait for the next tick ...
    rig.tickAt(0.123'375);
    EXPECT_EQ(rig.mixer->framesWritten(), 1'920);
    // ... and at stop go out all the same, nothing lost.
    rig.mixer->stop();
    EXPECT_EQ(rig.mixer->framesWritten(), 1'974);
    EXPECT_EQ(rig.frames, 13);
    EXPECT_EQ(rig.mixer->echoCancelledFrames(), 1'974);
    EXPECT_NEAR(rig.sink->samples.at(1'000), 0.5 * 32'767, 40);
    EXPECT_NEAR(rig.sink->samples.at(1'950), 0.5 * 32'767, 40);
}

TEST(EchoCancellingMixer, TurnedOffMixesTheMicrophoneAsItCame) {
    EchoRig rig(false);
    rig.tickAt(0.123'375);
    EXPECT_EQ(rig.mixer->framesWritten(), 1'974);
    EXPECT_EQ(rig.frames, 0);
    EXPECT_EQ(rig.mixer->echoCancelledFrames(), 0);
    EXPECT_NEAR(rig.sink->samples.at(1'000), 0.75 * 32'767, 40);
}

}  // namespace
}  // namespace kavo
