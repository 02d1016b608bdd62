#include <gtest/gtest.h>

#include "net/HTTPHeaders.h"
#include "net/TextExcerpt.h"

namespace kavo {
namespace {

TEST(HTTPHeaders, NamesIgnoreCaseAndSetReplacesEveryFieldOfThatName) {
    HTTPHeaders headers{{"Content-Type", "text/plain"}, {"X-Ms-Meta", "a"}};
    headers.add("x-ms-meta", "b");
    EXPECT_EQ(headers.get("CONTENT-TYPE"), "text/plain");
    EXPECT_EQ(headers.get("X-MS-META"), "a");
    EXPECT_EQ(headers.size(), 3U);

    headers.set("X-MS-Meta", "c");
    EXPECT_EQ(headers.size(), 2U);
    EXPECT_EQ(headers.get("x-ms-meta"), "c");
    EXPECT_EQ(headers.fields().back(), (HTTPHeaders::Field{"X-MS-Meta", "c"}));

    headers.remove("content-type");
    EXPECT_FALSE(headers.contains("Content-Type"));
    EXPECT_EQ(headers.get("Missing"), std::nullopt);
    EXPECT_FALSE(HTTPHeaders::namesEqual("Accept", "Accep"));
}

TEST(TextExcerpt, OnlyWellFormedUTF8IsKept) {
    EXPECT_EQ(utf8OrEmpty("caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\x99"), "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\x99");
    for (const std::string bad : {"\xFF", "\xC0\x80", "\xED\xA0\x80", "\xE2\x82", "\xF4\x90\x80\x80", "a\x80"}) {
        EXPECT_EQ(utf8OrEmpty(bad), "") << testing::PrintToString(bad);
    }
    EXPECT_EQ(unicodeScalarCount("\xC3\xA9t\xC3\xA9"), 3U);
}

TEST(TextExcerpt, TrimsUnicodeWhiteSpaceAndCutsOnCharacters) {
    EXPECT_EQ(trimmedWhitespace("\n\t \xC2\xA0x y\xE3\x80\x80\r\n"), "x y");
    EXPECT_EQ(trimmedWhitespace(" \n "), "");
    EXPECT_EQ(trimmedWhitespace("\xC3\xA9"), "\xC3\xA9");
    EXPECT_EQ(textExcerpt("  abcdef  ", 3), "abc...");
    EXPECT_EQ(textExcerpt("  abc  ", 3), "abc");
    EXPECT_EQ(textExcerpt("\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC", 2), "\xE2\x82\xAC\xE2\x82\xAC...");
    EXPECT_EQ(truncatedText(" ab ", 3), " ab...");
}

}  // namespace
}  // namespace kavo
