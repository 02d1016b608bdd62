#include <gtest/gtest.h>

#include <chrono>

#include "net/DateParserCascade.h"

namespace kavo {
namespace {

using namespace std::chrono;

const WallTime kQuarterPastNine = sys_days{year{2025} / 3 / 4} + hours{9} + minutes{15};

std::optional<WallTime> parse(std::string_view text) {
    return DateParserCascade().parse(text);
}

TEST(DateParserCascade, AcceptsTheServersShapesWithTheirOffsetsAndFractionsAndNothingElse) {
    const std::pair<const char*, std::optional<WallTime>> cases[] = {
        {"2025-03-04T09:15:00Z", kQuarterPastNine},
        {"2025-03-04T09:15:00.123456+00:00", kQuarterPastNine + microseconds(123456)},
        {"2025-03-04T09:15:00-05:30", kQuarterPastNine + hours(5) + minutes(30)},
        {"2025-03-04T09:15:00.000001+01:00:30",
         kQuarterPastNine - hours(1) - seconds(30) + microseconds(1)},
        // A seconds offset needs six fraction digits.
        {"2025-03-04T09:15:00.123+01:00:30", std::nullopt},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(parse(text), expected) << text;
    for (const char* text : {"2025-03-04 09:15:00Z", "2025-03-04T09:15:00", "2025-03-04T09:15Z",
                             "2025-02-30T09:15:00Z", "2025-03-04T09:15:00.Z",
                             "2025-03-04T09:15:00+0100", "2025-03-04T09:15:00Z ", ""})
        EXPECT_EQ(parse(text), std::nullopt) << "'" << text << "'";
}

}  // namespace
}  // namespace kavo
