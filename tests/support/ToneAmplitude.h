#pragma once

#include <algorithm>
#include <cmath>
#include <numbers>
#include <utility>
#include <vector>

namespace kavo::testing {

// The amplitude of the sine at `frequency` in `samples` (Goertzel), full scale 1.
inline double toneAmplitude(const std::vector<float>& samples, double rate, double frequency) {
    if (samples.empty()) return 0;
    const double coefficient = 2 * std::cos(2 * std::numbers::pi * frequency / rate);
    double previous = 0, beforePrevious = 0;
    for (const float sample : samples)
        beforePrevious = std::exchange(previous, sample + coefficient * previous - beforePrevious);
    const double power = previous * previous + beforePrevious * beforePrevious -
                         coefficient * previous * beforePrevious;
    return 2 * std::sqrt(std::max(power, 0.0)) / static_cast<double>(samples.size());
}

}  // namespace kavo::testing
