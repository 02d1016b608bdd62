#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/ProblemReportForm.h"

namespace kavo {
namespace {

using Category = KavoAPIClient::FeedbackCategory;

TEST(ProblemReportValidation, LimitsCountTrimmedCharactersAndTheSubjectIsNamedFirst) {
    const std::string ok = "a long enough text";
    std::string euros;  // 255 three-byte characters
    for (int i = 0; i < 255; ++i) euros += "\u20ac";
    const struct {
        std::string subject;
        std::string description;
        std::optional<std::string> message;
    } cases[] = {
        {"  four  ", ok, "Subject needs at least 5 characters."},
        {euros, ok, std::nullopt},
        {euros + "\u20ac", ok, "Subject is limited to 255 characters."},
        {"Subject", "  123456789  ", "Description needs at least 10 characters."},
        {"Subject", std::string(10001, 'd'), "Description is limited to 10000 characters."},
        {"abc", std::string(10001, 'd'), "Subject needs at least 5 characters."},
    };
    for (const auto& c : cases) {
        EXPECT_EQ((ProblemReport{Category::bug, c.subject, c.description, std::nullopt})
                      .validationMessage(),
                  c.message)
            << c.subject.substr(0, 20) << " / " << c.description.substr(0, 20);
    }
}

}  // namespace
}  // namespace kavo
