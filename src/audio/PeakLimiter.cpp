#include "audio/PeakLimiter.h"

#include <cmath>

namespace kavo {

void PeakLimiter::process(float* samples, std::int64_t count) noexcept {
    float gain = gain_;
    for (std::int64_t i = 0; i < count; ++i) {
        const float x = samples[i];
        const float magnitude = std::fabs(x);
        const float target = magnitude > kCeiling ? kCeiling / magnitude : 1.0f;
        const float c = target < gain ? attack_ : release_;
        gain = gain * c + target * (1.0f - c);
        const float y = x * gain;
        // Written so that a NaN stays NaN here; the 16-bit conversion turns it into silence.
        samples[i] = y > kCeiling ? kCeiling : (y < -kCeiling ? -kCeiling : y);
    }
    gain_ = gain;
}

}  // namespace kavo
