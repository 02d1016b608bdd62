#include <gtest/gtest.h>

#include "capture/files/SidecarTimestamp.h"

namespace kavo {
namespace {

using namespace std::chrono;
using namespace std::chrono_literals;

WallTime at(year_month_day date, nanoseconds sinceMidnight) {
    return WallTime{sys_days{date}.time_since_epoch() + sinceMidnight};
}

TEST(SidecarTimestamp, FormatsUtcWithThreeFractionalDigitsTruncated) {
    EXPECT_EQ(SidecarTimestamp::format(at(2024y / March / 4, 9h + 5min + 7s + 250ms)),
              "2024-03-04T09:05:07.250Z");
    EXPECT_EQ(
        SidecarTimestamp::format(at(2024y / February / 29, 23h + 59min + 59s + 999'999'999ns)),
        "2024-02-29T23:59:59.999Z");
    EXPECT_EQ(SidecarTimestamp::format(WallTime{}), "1970-01-01T00:00:00.000Z");
    EXPECT_EQ(SidecarTimestamp::format(WallTime{} - 1ns), "1969-12-31T23:59:59.999Z");
    EXPECT_EQ(SidecarTimestamp::format(at(2001y / January / 1, 7ms)), "2001-01-01T00:00:00.007Z");
}

TEST(SidecarTimestamp, ParsesWhatItFormatsBackToTheMillisecond) {
    const WallTime now = system_clock::now();
    const auto parsed = SidecarTimestamp::parse(SidecarTimestamp::format(now));
    ASSERT_TRUE(parsed);
    EXPECT_EQ(*parsed, floor<milliseconds>(now));
    EXPECT_EQ(SidecarTimestamp::parse("2024-03-04T09:05:07.250Z"),
              at(2024y / March / 4, 9h + 5min + 7s + 250ms));
}

TEST(SidecarTimestamp, AcceptsOtherFractionsAndOffsets) {
    const auto expected = at(2024y / March / 4, 9h + 5min + 7s + 250ms);
    EXPECT_EQ(SidecarTimestamp::parse("2024-03-04T09:05:07.25Z"), expected);
    EXPECT_EQ(SidecarTimestamp::parse("2024-03-04T11:05:07.250+02:00"), expected);
    EXPECT_EQ(SidecarTimestamp::parse("2024-03-03T23:35:07.250-09:30"), expected);
    EXPECT_EQ(SidecarTimestamp::parse("2024-03-04T09:05:07.250000001Z"), expected + 1ns);
    EXPECT_EQ(SidecarTimestamp::parse("2024-03-04T09:05:07Z"), expected - 250ms);
}

TEST(SidecarTimestamp, RejectsTextThatIsNotSuchADate) {
    for (const char* text :
         {"", "2024-03-04", "2024-03-04 09:05:07.250Z", "2024-03-04T09:05:07.250",
          "2024-02-30T00:00:00.000Z", "2023-02-29T00:00:00.000Z", "2024-13-01T00:00:00.000Z",
          "2024-03-04T24:00:00.000Z", "2024-03-04T09:60:00.000Z", "2024-03-04T09:05:07.Z",
          "2024-03-04T09:05:07.250Zjunk", "2024-3-4T09:05:07.250Z", "2024-03-04T09:05:07.250+0200",
          "2024-03-04T09:05:07.1234567891Z", "yesterday"}) {
        EXPECT_FALSE(SidecarTimestamp::parse(text)) << text;
    }
}

}  // namespace
}  // namespace kavo
