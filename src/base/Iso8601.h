#pragma once

#include <cstddef>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "base/Clock.h"

namespace kavo {

// Internet date-times ("2025-03-04T09:15:00.123Z", "2025-03-04T10:15:00+01:00"): the one
// reader and writer behind the sidecar's timestamps and the server's dates.
struct Iso8601Form {
    enum class Fraction {
        none,       // no fractional seconds
        optional,   // with or without
        required,   // at least one digit
        sixDigits,  // exactly six digits
    };
    Fraction fraction = Fraction::optional;
    // Longer fractions are refused; digits past the ninth never change the instant.
    std::size_t maxFractionDigits = std::numeric_limits<std::size_t>::max();
    // Whether an offset may carry seconds ("+01:00:30").
    bool offsetSeconds = false;
};

// The instant, or nothing when `text` is not a date-time of `form`. A zone is required:
// "Z" or ±hh:mm.
std::optional<WallTime> parseIso8601(std::string_view text, Iso8601Form form);

// UTC with "Z", with `fractionDigits` (0 to 9) digits of the second, truncated.
std::string formatIso8601(WallTime time, int fractionDigits);

}  // namespace kavo
