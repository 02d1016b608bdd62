#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "base/Clock.h"

namespace kavo {

// The one parser for every timestamp the server sends. The server has produced four
// shapes over time, tried in this order:
//   2025-03-04T09:15:00.123Z          internet date-time with fractional seconds
//   2025-03-04T09:15:00Z              internet date-time
//   2025-03-04T09:15:00.123456+00:00  six fractional digits, offset possibly with seconds
//   2025-03-04T09:15:00+01:00         no fraction, offset possibly with seconds
// Safe to use from several threads: the cascade guards its state with its own lock.
class DateParserCascade {
public:
    // The instance every decode shares, made on first use.
    static DateParserCascade& shared();

    // The instant, or nothing when no shape matches.
    std::optional<WallTime> parse(std::string_view text);

    // The form dates are sent in: UTC, whole seconds ("2025-03-04T09:15:00Z").
    static std::string internetDateTime(WallTime time);

    // One accepted shape.
    struct Format {
        enum class Fraction { none, any, sixDigits };
        enum class Offset {
            internet,  // "Z" or ±hh:mm
            extended,  // also ±hh:mm:ss
        };
        Fraction fraction;
        Offset offset;

        std::optional<WallTime> parse(std::string_view text) const;
    };

private:
    std::mutex lock_;
    const Format withFraction_{Format::Fraction::any, Format::Offset::internet};
    const Format plain_{Format::Fraction::none, Format::Offset::internet};
    const Format pydanticUTC_{Format::Fraction::sixDigits, Format::Offset::extended};
    const Format pydanticPlain_{Format::Fraction::none, Format::Offset::extended};
    // Status polls send the same timestamps again and again: the last answer is kept.
    std::string lastText_;
    std::optional<WallTime> lastResult_;
};

}  // namespace kavo
