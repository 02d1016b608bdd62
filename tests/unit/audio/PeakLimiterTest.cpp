#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

#include "audio/PeakLimiter.h"

namespace kavo {
namespace {

constexpr float kSettled = PeakLimiter::kCeiling / 1.2f;

TEST(PeakLimiter, QuietSignalPassesBitForBit) {
    std::vector<float> tone(16'000);
    for (std::size_t i = 0; i < tone.size(); ++i) {
        tone[i] = static_cast<float>(
            0.89 * std::sin(2 * std::numbers::pi * 440 * static_cast<double>(i) / 16'000));
    }
    auto limited = tone;
    PeakLimiter limiter;
    limiter.process(limited.data(), static_cast<std::int64_t>(limited.size()));
    EXPECT_EQ(limited, tone);
    EXPECT_EQ(limiter.gain(), 1.0f);
}

// Two sources at 0.6 each sum to 1.2: 1.6 dB over the ceiling.
TEST(PeakLimiter, LoudSumIsHeldAtTheCeilingAndSettlesWithTheAttack) {
    PeakLimiter limiter;
    std::vector<float> block(80, 1.2f);
    limiter.process(block.data(), 80);
    EXPECT_TRUE(std::all_of(block.begin(), block.end(),
                            [](float s) { return s <= PeakLimiter::kCeiling; }));
    // One 5 ms time constant closes all but 1/e of the distance.
    EXPECT_NEAR(limiter.gain(), kSettled + (1.0f - kSettled) / std::numbers::e_v<float>, 1e-4f);

    block.assign(3'920, 1.2f);
    limiter.process(block.data(), static_cast<std::int64_t>(block.size()));
    // In single precision the gain comes to rest within a few millionths of the target.
    EXPECT_NEAR(limiter.gain(), kSettled, 5e-6f);
    EXPECT_NEAR(block.back(), PeakLimiter::kCeiling, 5e-6f);
    EXPECT_LE(block.back(), PeakLimiter::kCeiling);
}

TEST(PeakLimiter, GainRecoversWithTheReleaseWhenTheSumFalls) {
    PeakLimiter limiter;
    std::vector<float> loud(4'000, 1.2f);
    limiter.process(loud.data(), static_cast<std::int64_t>(loud.size()));
    const float start = limiter.gain();

    // Each source drops to 0.3: the sum no longer needs limiting.
    float previous = start;
    for (int i = 0; i < 1'600; ++i) {
        float sample = 0.6f;
        limiter.process(&sample, 1);
        ASSERT_GT(limiter.gain(), previous);
        ASSERT_EQ(sample, 0.6f * limiter.gain());
        previous = limiter.gain();
    }
    // 100 ms later a 1/e share of the reduction remains.
    EXPECT_NEAR(limiter.gain(), 1.0f - (1.0f - start) / std::numbers::e_v<float>, 3e-4f);

    // Two seconds on, the release step falls below single precision within 1e-4 of unity.
    std::vector<float> quiet(30'400, 0.6f);
    limiter.process(quiet.data(), static_cast<std::int64_t>(quiet.size()));
    EXPECT_NEAR(limiter.gain(), 1.0f, 1e-4f);
    EXPECT_NEAR(quiet.back(), 0.6f, 1e-4f);
}

TEST(PeakLimiter, SpikesAreClampedAndTheGainCarriesAcrossBlocks) {
    std::vector<float> signal = {0.2f, 10.0f, -10.0f, 0.95f, -0.95f, 0.5f, 0.3f, -0.1f};
    auto whole = signal;
    PeakLimiter once;
    once.process(whole.data(), static_cast<std::int64_t>(whole.size()));
    EXPECT_EQ(whole[1], PeakLimiter::kCeiling);
    EXPECT_EQ(whole[2], -PeakLimiter::kCeiling);
    EXPECT_TRUE(std::all_of(whole.begin(), whole.end(),
                            [](float s) { return std::fabs(s) <= PeakLimiter::kCeiling; }));
    EXPECT_LT(whole[5], 0.5f);  // still recovering from the spike

    auto split = signal;
    PeakLimiter twice;
    twice.process(split.data(), 3);
    twice.process(split.data() + 3, 5);
    EXPECT_EQ(split, whole);
    EXPECT_EQ(twice.gain(), once.gain());
}

}  // namespace
}  // namespace kavo
