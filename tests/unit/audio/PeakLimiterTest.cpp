#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "audio/PeakLimiter.h"

namespace kavo {
namespace {

void process(PeakLimiter& limiter, std::vector<float>& samples) {
    limiter.process(samples.data(), static_cast<std::int64_t>(samples.size()));
}

// A quiet signal passes bit for bit; spikes are clamped and the gain carries across blocks.
TEST(PeakLimiter, PassesAQuietSignalAndClampsSpikesWithTheGainCarriedAcrossBlocks) {
    std::vector<float> tone(16'000);
    for (std::size_t i = 0; i < tone.size(); ++i)
        tone[i] = static_cast<float>(0.89 * std::sin(0.17 * static_cast<double>(i)));
    auto limited = tone;
    PeakLimiter limiter;
    process(limiter, limited);
    EXPECT_EQ(limited, tone);

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
    // A second on, the gain is back at unity.
    std::vector<float> quiet(16'000, 0.5f);
    process(twice, quiet);
    EXPECT_NEAR(twice.gain(), 1.0f, 1e-3f);
}

}  // namespace
}  // namespace kavo
