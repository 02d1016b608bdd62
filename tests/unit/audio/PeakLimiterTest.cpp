#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

#include "audio/PeakLimiter.h"

namespace kavo {
namespace {

constexpr float kSettled = PeakLimiter::kCeiling / 1.2f;
constexpr float e = std::numbers::e_v<float>;

void process(PeakLimiter& limiter, std::vector<float>& samples) {
    limiter.process(samples.data(), static_cast<std::int64_t>(samples.size()));
}

TEST(PeakLimiter, QuietSignalPassesBitForBit) {
    std::vector<float> tone(16'000);
    for (std::size_t i = 0; i < tone.size(); ++i)
        tone[i] = static_cast<float>(0.89 * std::sin(0.17 * static_cast<double>(i)));
    auto limited = tone;
    PeakLimiter limiter;
    process(limiter, limited);
    EXPECT_EQ(limited, tone);
}

// Two sources at 0.6 each sum to 1.2: the gain closes on its target with a 5 ms attack,
// and opens again with a 100 ms release once the sum falls.
TEST(PeakLimiter, LoudSumIsHeldAtTheCeilingWithTheAttackAndRecoversWithTheRelease) {
    PeakLimiter limiter;
    std::vector<float> block(80, 1.2f);
    process(limiter, block);
    EXPECT_LE(*std::max_element(block.begin(), block.end()), PeakLimiter::kCeiling);
    EXPECT_NEAR(limiter.gain(), kSettled + (1.0f - kSettled) / e, 1e-4f);
    block.assign(3'920, 1.2f);
    process(limiter, block);
    EXPECT_NEAR(limiter.gain(), kSettled, 5e-6f);
    EXPECT_LE(block.back(), PeakLimiter::kCeiling);

    const float start = limiter.gain();
    std::vector<float> quiet(1'600, 0.6f);
    process(limiter, quiet);
    EXPECT_EQ(quiet.back(), 0.6f * limiter.gain());
    EXPECT_NEAR(limiter.gain(), 1.0f - (1.0f - start) / e, 3e-4f);
}

TEST(PeakLimiter, SpikesAreClampedAndTheGainCarriesAcrossBlocks) {
    const std::vector<float> signal = {0.2f, 10.0f, -10.0f, 0.95f, -0.95f, 0.5f, 0.3f, -0.1f};
    auto whole = signal;
    PeakLimiter once;
    process(once, whole);
    EXPECT_EQ(whole[1], PeakLimiter::kCeiling);
    EXPECT_EQ(whole[2], -PeakLimiter::kCeiling);
    EXPECT_LT(whole[5], 0.5f);  // still recovering from the spike

    auto split = signal;
    PeakLimiter twice;
    twice.process(split.data(), 3);
    twice.process(split.data() + 3, 5);
    EXPECT_EQ(split, whole);
}

}  // namespace
}  // namespace kavo
