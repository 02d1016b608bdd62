#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/Log.h"
#include "base/ManualClock.h"
#include "base/ManualScheduler.h"
#include "support/ProblemReportForm.h"

namespace kavo {
namespace {

using Category = KavoAPIClient::FeedbackCategory;
using Phase = ProblemReportForm::Phase;
using Property = ProblemReportForm::Property;

ProblemReport reportWith(std::string subject, std::string description) {
    return ProblemReport{Category::bug, std::move(subject), std::move(description), std::nullopt};
}

SupportCapture sampleCapture() {
    CaptureSidecar sidecar;
    sidecar.captureId = "c1";
    sidecar.audioFileName = "capture-c1.wav";
    sidecar.startedAt = "2024-03-04T09:05:00.000Z";
    sidecar.recordingId = "rec-1";
    return SupportCapture{sidecar, WallTime{}};
}

TEST(ProblemReportValidation, LimitsCountTrimmedScalarsAndTheFirstFailureWins) {
    EXPECT_EQ(reportWith("  four  ", "a long enough text").validationMessage(),
              "Subject needs at least 5 characters.");
    EXPECT_EQ(reportWith("\n\tfive5\n", "a long enough text").validationMessage(), std::nullopt);
    EXPECT_EQ(reportWith(std::string(255, 's'), "a long enough text").validationMessage(),
              std::nullopt);
    EXPECT_EQ(
        reportWith(" " + std::string(255, 's') + " ", "a long enough text").validationMessage(),
        std::nullopt);
    EXPECT_EQ(reportWith(std::string(256, 's'), "a long enough text").validationMessage(),
              "Subject is limited to 255 characters.");
    EXPECT_EQ(reportWith("Subject", "  123456789  ").validationMessage(),
              "Description needs at least 10 characters.");
    EXPECT_EQ(reportWith("Subject", std::string(10000, 'd')).validationMessage(), std::nullopt);
    EXPECT_EQ(reportWith("Subject", std::string(10001, 'd')).validationMessage(),
              "Description is limited to 10000 characters.");
    // Both wrong: the subject is named first.
    EXPECT_EQ(reportWith("abc", std::string(10001, 'd')).validationMessage(),
              "Subject needs at least 5 characters.");
}

TEST(ProblemReportValidation, CountsCharactersNotBytes) {
    // Five two-byte letters are five characters, ten bytes.
    EXPECT_EQ(
        reportWith("\u00e9\u00e9\u00e9\u00e9\u00e9", "a long enough text").validationMessage(),
        std::nullopt);
    // 255 three-byte characters pass; 256 do not.
    std::string subject;
    for (int i = 0; i < 255; ++i) subject += "\u20ac";
    EXPECT_EQ(reportWith(subject, "a long enough text").validationMessage(), std::nullopt);
    EXPECT_EQ(reportWith(subject + "\u20ac", "a long enough text").validationMessage(),
              "Subject is limited to 255 characters.");
    // A non-breaking space trims like a space.
    EXPECT_EQ(reportWith("\u00a0abcd\u00a0", "a long enough text").validationMessage(),
              "Subject needs at least 5 characters.");
}

class ProblemReportFormTest : public ::testing::Test {
protected:
    std::shared_ptr<ProblemReportForm> makeForm(std::optional<SupportCapture> capture) {
        auto form = ProblemReportForm::create(scheduler, scheduler, std::move(capture),
                                              [this](const ProblemReport& report, std::stop_token) {
                                                  sent.push_back(report);
                                                  if (failure) std::rethrow_exception(failure);
                                                  return std::string("KAVO-000042");
                                              });
        form->observe([this](Property property) { changes.push_back(property); });
        return form;
    }

    void fillValid(ProblemReportForm& form) {
        form.setSubject("Audio cut out");
        form.setProblemDescription("The far side went silent after ten minutes.");
    }

    ManualClock clock;
    ManualScheduler scheduler{clock};
    std::vector<ProblemReport> sent;
    std::vector<Property> changes;
    std::exception_ptr failure;
    LogCapture logs;
};

TEST_F(ProblemReportFormTest, StartsEditingAndAttachesOnlyWhenThereIsACapture) {
    const auto without = makeForm(std::nullopt);
    EXPECT_EQ(without->phase(), Phase::editing());
    EXPECT_EQ(without->category(), Category::bug);
    EXPECT_FALSE(without->attachCapture());
    const auto with = makeForm(sampleCapture());
    EXPECT_TRUE(with->attachCapture());
}

TEST_F(ProblemReportFormTest, NotifiesOnlyWhenAValueChanges) {
    const auto form = makeForm(sampleCapture());
    form->setSubject("Hello");
    form->setSubject("Hello");
    form->setCategory(Category::bug);
    form->setCategory(Category::question);
    form->setAttachCapture(true);
    form->setAttachCapture(false);
    form->setProblemDescription("");
    EXPECT_EQ(changes,
              (std::vector{Property::subject, Property::category, Property::attachCapture}));
}

TEST_F(ProblemReportFormTest, InvalidReportFailsWithoutSendingAndKeepsTheText) {
    const auto form = makeForm(std::nullopt);
    form->setSubject("  abcd ");
    form->setProblemDescription("a long enough description");
    form->submit();
    scheduler.runUntilIdle();
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(form->phase(), Phase::failed("Subject needs at least 5 characters."));
    EXPECT_EQ(form->subject(), "  abcd ");
    // Editing leaves the message in place until the next attempt.
    form->setSubject("abcde");
    EXPECT_EQ(form->phase().kind, Phase::Kind::failed);
}

TEST_F(ProblemReportFormTest, SendsTheFieldsAsTypedAndEndsSentWithTheReference) {
    const auto form = makeForm(sampleCapture());
    fillValid(*form);
    form->setCategory(Category::question);
    form->submit();
    EXPECT_EQ(form->phase(), Phase::sending());
    form->submit();  // ignored while one is in flight
    scheduler.runUntilIdle();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].category, Category::question);
    EXPECT_EQ(sent[0].subject, "Audio cut out");
    EXPECT_EQ(sent[0].capture, sampleCapture());
    EXPECT_EQ(form->phase(), Phase::sent("KAVO-000042"));
    EXPECT_TRUE(logs.contains("ProblemReportForm", "Support ticket filed: KAVO-000042"));
}

TEST_F(ProblemReportFormTest, AFormReleasedMidSendDropsTheOutcome) {
    auto form = makeForm(std::nullopt);
    fillValid(*form);
    form->submit();
    form.reset();
    scheduler.runUntilIdle();
    EXPECT_FALSE(logs.contains("ProblemReportForm", "Support ticket filed"));
}

}  // namespace
}  // namespace kavo
