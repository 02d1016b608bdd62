#pragma once

#include <cstdint>
#include <vector>

#include "audio/Resampling.h"

namespace kavo {

// 48 000 Hz to 16 000 Hz: a 97-tap low-pass FIR evaluated at every third input sample.
// The filter delays the signal by 48 input samples (16 output samples); the history
// starts as zeros, so output begins with the very first input sample.
class ThreeToOneDecimator final : public Resampling {
public:
    static constexpr std::int64_t tapCount = 97;
    static constexpr double cutoff = 7'000.0 / 48'000.0;

    ThreeToOneDecimator();

    double inputRate() const override { return 48'000; }
    std::int64_t delay() const override { return 16; }
    // A null pointer or a count below 1 does nothing.
    void process(const float* samples, std::int64_t count, std::vector<float>& output) override;

    const std::vector<float>& taps() const { return taps_; }
    // Input samples kept for the next call (94 to 96 once the filter has run).
    std::int64_t historyCount() const { return static_cast<std::int64_t>(history_.size()); }

private:
    void filter(float* out, std::int64_t outputCount);

    std::vector<float> taps_;
    std::vector<float> history_;
    // Working lists, kept at their capacity between calls.
    std::vector<float> scratch_;
    std::vector<float> phases_;
};

}  // namespace kavo
