#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "base/Log.h"
#include "support/ManualClock.h"
#include "support/ManualScheduler.h"
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
        {"\n\tfive5\n", ok, std::nullopt},
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

class ProblemReportFormTest : public ::testing::Test {
protected:
    std::shared_ptr<ProblemReportForm> makeForm() {
        auto form = ProblemReportForm::create(scheduler, scheduler, std::nullopt,
                                              [this](const ProblemReport& report, std::stop_token) {
                                                  sent.push_back(report);
                                                  return std::string("KAVO-000042");
                                              });
        form->setSubject("Audio cut out");
        form->setProblemDescription("The far side went silent after ten minutes.");
        return form;
    }

    ManualClock clock;
    ManualScheduler scheduler{clock};
    std::vector<ProblemReport> sent;
};

TEST_F(ProblemReportFormTest, SendsOnceWhileInFlightAndAFormReleasedMidSendDropsTheOutcome) {
    auto form = makeForm();
    form->submit();
    form->submit();  // ignored while one is in flight
    scheduler.runUntilIdle();
    EXPECT_EQ(sent.size(), 1u);
    EXPECT_EQ(form->phase(), ProblemReportForm::Phase::sent("KAVO-000042"));

    LogCapture logs;
    form = makeForm();
    form->submit();
    form.reset();
    scheduler.runUntilIdle();
    EXPECT_FALSE(logs.contains("ProblemReportForm", "Support ticket filed"));
}

}  // namespace
}  // namespace kavo
