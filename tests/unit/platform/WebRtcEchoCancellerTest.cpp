#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "platform/linux/WebRtcEchoCanceller.h"
#include "support/AllocationProbe.h"
#include "support/AudioCallbackScope.h"

namespace kavo::linux_platform {
namespace {

double energy(const std::vector<float>& samples, std::size_t from, std::size_t to) {
    double sum = 0;
    for (std::size_t i = from; i < to; ++i) sum += double(samples[i]) * samples[i];
    return sum;
}

// Bursts of noise as the far side, and their echo 150 ms later in the microphone: the echo
// is gone once the canceller has found it, and no frame allocates on the way.
TEST(WebRtcEchoCanceller, CancelsADelayedEchoWithoutAllocating) {
    constexpr std::size_t kFrames = 16'000 * 8;
    std::mt19937 random(7);
    std::normal_distribution<float> noise(0.0f, 0.1f);
    std::vector<float> far(kFrames, 0.0f);
    for (std::size_t at = 0; at < kFrames; at += 4'000) {
        for (std::size_t i = at; i < at + 2'400; ++i) far[i] = noise(random);
    }
    std::vector<float> microphone(kFrames, 0.0f);
    for (std::size_t i = 2'400; i < kFrames; ++i) microphone[i] = 0.4f * far[i - 2'400];

    WebRtcEchoCanceller canceller;
    std::vector<float> out = microphone;
    const std::int64_t before = testing::allocationsInAudioCallbacks();
    for (std::size_t at = 0; at < kFrames; at += EchoCanceller::kFrameSize) {
        const testing::AudioCallbackScope scope;
        canceller.process(out.data() + at, far.data() + at);
    }
    EXPECT_EQ(testing::allocationsInAudioCallbacks(), before);
    // The last four seconds.
    const double erle = 10 * std::log10(energy(microphone, kFrames / 2, kFrames) /
                                        energy(out, kFrames / 2, kFrames));
    EXPECT_GT(erle, 20.0);
}

}  // namespace
}  // namespace kavo::linux_platform
