#include "capture/files/SidecarTimestamp.h"

#include "base/Iso8601.h"

namespace kavo {

std::string SidecarTimestamp::format(WallTime time) {
    return formatIso8601(time, 3);
}

std::optional<WallTime> SidecarTimestamp::parse(std::string_view text) {
    return parseIso8601(text,
                        {.fraction = Iso8601Form::Fraction::optional, .maxFractionDigits = 9});
}

}  // namespace kavo
