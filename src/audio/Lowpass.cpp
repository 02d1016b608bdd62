#include "audio/Lowpass.h"

#include <cmath>
#include <numbers>

namespace kavo {

std::vector<float> designLowpass(int tapCount, double cutoff) {
    if (tapCount < 1) {
        return {};
    }
    if (tapCount == 1) {
        // No window spans a single tap; the only unit-gain filter is the identity.
        return {1.0f};
    }
    constexpr double pi = std::numbers::pi;
    const double m = tapCount - 1;
    std::vector<double> h(static_cast<std::size_t>(tapCount));
    double sum = 0;
    for (int i = 0; i < tapCount; ++i) {
        const double t = i - m / 2;
        const double sinc = t == 0 ? 2 * cutoff : std::sin(2 * pi * cutoff * t) / (pi * t);
        const double window =
            0.42 - 0.5 * std::cos(2 * pi * i / m) + 0.08 * std::cos(4 * pi * i / m);
        h[static_cast<std::size_t>(i)] = sinc * window;
        sum += sinc * window;
    }
    std::vector<float> taps(h.size());
    for (std::size_t i = 0; i < h.size(); ++i) {
        taps[i] = static_cast<float>(h[i] / sum);
    }
    return taps;
}

}  // namespace kavo
