#include <gtest/gtest.h>

#include <vector>

#include "audio/PeakLimiter.h"

namespace kavo {
namespace {

void process(PeakLimiter& limiter, std::vector<float>& samples) {
    limiter.process(samples.data(), static_cast<std::int64_t>(samples.size()));
}

// Spikes are clamped and the gain carries across blocks.
TEST(PeakLimiter, ClampsSpikesWithTheGainCarriedAcrossBlocks) {
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
