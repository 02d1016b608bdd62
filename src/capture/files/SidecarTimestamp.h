#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/Clock.h"

namespace kavo {

// The one date format of capture sidecars: ISO 8601 internet date-time in UTC with
// milliseconds, "2024-03-04T09:05:07.250Z". Every writer formats and every reader parses
// through here, so the files agree.
struct SidecarTimestamp {
    // Milliseconds are truncated, never rounded up into the next second.
    static std::string format(WallTime time);
    // Accepts what format() writes, and also other fraction lengths (or none) and a
    // "+hh:mm"/"-hh:mm" offset; nothing when the text is not such a date.
    static std::optional<WallTime> parse(std::string_view text);
};

}  // namespace kavo
