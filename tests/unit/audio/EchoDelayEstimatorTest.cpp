#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "audio/EchoDelayEstimator.h"

namespace kavo {
namespace {

// Syllable-like bursts of noise: 120 ms on, 80 to 300 ms off.
std::vector<float> bursts(std::size_t frames, unsigned seed) {
    std::mt19937 random(seed);
    std::normal_distribution<float> noise(0.0f, 0.2f);
    std::uniform_int_distribution<int> pause(1'280, 4'800);
    std::vector<float> out(frames, 0.0f);
    for (std::size_t at = 0; at < frames;) {
        for (std::size_t i = 0; i < 1'920 && at < frames; ++i, ++at) out[at] = noise(random);
        at += static_cast<std::size_t>(pause(random));
    }
    return out;
}

std::optional<int> estimateOver(const std::vector<float>& near, const std::vector<float>& far) {
    EchoDelayEstimator estimator;
    for (std::size_t at = 0; at + 160 <= near.size(); at += 160) {
        estimator.add(near.data() + at, far.data() + at);
    }
    return estimator.delayMilliseconds();
}

// The echo is found over the near side's noise, and nothing while the far side is silent.
TEST(EchoDelayEstimator, FindsHowLongTheEchoTrailsItsReferenceAndNothingWithoutOne) {
    const auto far = bursts(48'000, 1);
    const auto murmur = bursts(48'000, 2);
    for (const int delayMs : {0, 60, 170, 320}) {
        SCOPED_TRACE(delayMs);
        std::vector<float> near(far.size(), 0.0f);
        const auto shift = static_cast<std::size_t>(delayMs * 16);
        for (std::size_t i = shift; i < near.size(); ++i)
            near[i] = 0.3f * far[i - shift] + 0.02f * murmur[i];
        const auto estimate = estimateOver(near, far);
        ASSERT_TRUE(estimate.has_value());
        EXPECT_NEAR(*estimate, delayMs, 10);
    }
    EXPECT_FALSE(estimateOver(murmur, std::vector<float>(48'000, 0.0f)).has_value());
}

}  // namespace
}  // namespace kavo
