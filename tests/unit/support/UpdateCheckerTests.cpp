#include <gtest/gtest.h>

#include "support/UpdateChecker.h"

// What the manifest offers, every six hours, is followed against the dev stack; here the
// versions it never publishes.

namespace kavo {
namespace {

using Version = UpdateChecker::Version;

TEST(UpdateVersion, ParsesDigitsBetweenSingleFullStopsAndComparesPaddedWithZeros) {
    EXPECT_EQ(UpdateChecker::parseVersion("1.4.10"), (Version{1, 4, 10}));
    EXPECT_EQ(UpdateChecker::parseVersion(" 2\n"), (Version{2}));
    for (const char* bad :
         {"", "1..2", "1.2.", "v1.2", "1.2-beta", "-1", "\u0661.2", "9223372036854775808"}) {
        EXPECT_EQ(UpdateChecker::parseVersion(bad), std::nullopt) << bad;
    }
    EXPECT_TRUE(UpdateChecker::isOlder({1, 9}, {1, 10}));
    EXPECT_TRUE(UpdateChecker::isOlder({1, 2}, {1, 2, 0, 1}));
    EXPECT_FALSE(UpdateChecker::isOlder({1, 2}, {1, 2, 0}));
    EXPECT_FALSE(UpdateChecker::isOlder({2}, {1, 99}));
}

}  // namespace
}  // namespace kavo
