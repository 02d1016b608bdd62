#include <gtest/gtest.h>

#include "net/JSONValue.h"

namespace kavo {
namespace {

using json = nlohmann::json;

JSONValue decoded(std::string_view text) { return JSONValue::fromJSON(json::parse(text)); }

TEST(JSONValue, NumbersBecomeIntegersWhenWholeAndWithin64Bits) {
    EXPECT_EQ(decoded("7").kind(), JSONValue::Kind::integer);
    EXPECT_EQ(*decoded("-9223372036854775808").intValue(), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(*decoded("9223372036854775807").intValue(), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(*decoded("2.0").intValue(), 2);
    EXPECT_EQ(*decoded("1e3").intValue(), 1000);
    EXPECT_EQ(*decoded("1.5").doubleValue(), 1.5);
    EXPECT_EQ(*decoded("18446744073709551615").doubleValue(), 18446744073709551615.0);
    EXPECT_EQ(decoded("9.3e18").kind(), JSONValue::Kind::floatingPoint);
    EXPECT_NE(JSONValue(1), JSONValue(1.0));
}

TEST(JSONValue, DecodesEveryKindAndNesting) {
    const JSONValue value = decoded(R"({"a":[true,null,"s",{"b":-1}],"c":{}})");
    const JSONValue expected = JSONValue::Object{
        {"a", JSONValue::Array{true, nullptr, "s", JSONValue::Object{{"b", -1}}}},
        {"c", JSONValue::Object{}},
    };
    EXPECT_EQ(value, expected);
    EXPECT_TRUE(value.objectValue()->at("a").arrayValue()->at(1).isNull());
    EXPECT_EQ(*value.objectValue()->at("a").arrayValue()->at(2).stringValue(), "s");
    EXPECT_EQ(value.boolValue(), nullptr);
    EXPECT_TRUE(JSONValue().isNull());
}

TEST(JSONValue, EncodesAsTheCorrespondingJSON) {
    const JSONValue value = JSONValue::Object{
        {"z", nullptr}, {"n", 3}, {"d", 0.5}, {"t", "x"}, {"l", JSONValue::Array{false, std::int64_t{1} << 40}}};
    EXPECT_EQ(value.toJSON().dump(), R"({"d":0.5,"l":[false,1099511627776],"n":3,"t":"x","z":null})");
    EXPECT_EQ(JSONValue::fromJSON(value.toJSON()), value);
    json viaADL = value;
    EXPECT_EQ(viaADL.get<JSONValue>(), value);
}

TEST(JSONValue, RefusesNestingDeeperThanItsLimit) {
    const auto nested = [](int depth) { return std::string(depth, '[') + std::string(depth, ']'); };
    EXPECT_NO_THROW(decoded(nested(JSONValue::kMaxDepth)));
    try {
        decoded(nested(JSONValue::kMaxDepth + 2));
        FAIL() << "accepted";
    } catch (const DecodingError& error) {
        EXPECT_EQ(error.kind(), DecodingError::Kind::dataCorrupted);
        EXPECT_EQ(error.codingPath().size(), static_cast<std::size_t>(JSONValue::kMaxDepth + 1));
        EXPECT_EQ(error.codingPath().front(), CodingKey::index(0));
    }
}

}  // namespace
}  // namespace kavo
