#include <gtest/gtest.h>

#include "net/JSONValue.h"

namespace kavo {
namespace {

using json = nlohmann::json;

JSONValue decoded(std::string_view text) {
    return JSONValue::fromJSON(json::parse(text));
}

TEST(JSONValue, NumbersBecomeIntegersWhenWholeAndWithin64Bits) {
    EXPECT_EQ(*decoded("-9223372036854775808").intValue(),
              std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(*decoded("9223372036854775807").intValue(), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(*decoded("1e3").intValue(), 1000);
    EXPECT_EQ(*decoded("18446744073709551615").doubleValue(), 18446744073709551615.0);
    EXPECT_NE(JSONValue(1), JSONValue(1.0));
}

// Encoding is shown by the support report's body against the dev stack.
TEST(JSONValue, RefusesNestingDeeperThanItsLimit) {
    const auto nested = [](int depth) { return std::string(depth, '[') + std::string(depth, ']'); };
    EXPECT_NO_THROW(decoded(nested(JSONValue::kMaxDepth)));
    try {
        decoded(nested(JSONValue::kMaxDepth + 2));
        FAIL() << "accepted";
    } catch (const DecodingError& error) {
        EXPECT_EQ(error.kind(), DecodingError::Kind::dataCorrupted);
        EXPECT_EQ(error.codingPath().size(), static_cast<std::size_t>(JSONValue::kMaxDepth + 1));
    }
}

}  // namespace
}  // namespace kavo
