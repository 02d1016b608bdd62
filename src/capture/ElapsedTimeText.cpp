#include "capture/ElapsedTimeText.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

namespace kavo {

std::string elapsedTimeText(double seconds) {
    // Truncate toward zero; NaN and values beyond 64 bits are clamped rather than
    // left to undefined conversion.
    std::int64_t whole = 0;
    if (std::isfinite(seconds)) {
        constexpr auto kLimit = static_cast<double>(std::numeric_limits<std::int64_t>::max() / 2);
        whole = static_cast<std::int64_t>(std::trunc(std::clamp(seconds, -kLimit, kLimit)));
    } else if (seconds > 0) {
        whole = std::numeric_limits<std::int64_t>::max() / 2;
    }
    const std::int64_t t = std::max<std::int64_t>(whole, 0);
    const std::int64_t minutes = (t % 3600) / 60;
    const std::int64_t secs = t % 60;
    if (whole >= 3600) {
        return fmt::format("{}:{:02}:{:02}", t / 3600, minutes, secs);
    }
    return fmt::format("{}:{:02}", minutes, secs);
}

}  // namespace kavo
