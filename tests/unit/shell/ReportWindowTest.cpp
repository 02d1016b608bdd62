#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QCheckBox>
#include <QFontInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QtTest/QTest>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/shell/QtMainScheduler.h"
#include "app/shell/ReportWindow.h"
#include "base/Log.h"
#include "base/SerialQueue.h"
#include "support/ProblemReportForm.h"

namespace kavo {
namespace {

using Category = KavoAPIClient::FeedbackCategory;
using Phase = ProblemReportForm::Phase;

const char* const kNote =
    "The report includes technical details about the recording \u2014 this Mac, the audio "
    "devices in use, sample rates, dropped audio and when devices changed. It never includes "
    "the recorded audio itself.";

// Holds the sends back until the test lets them through, so "sending" can be seen.
class Gate {
public:
    void close() {
        std::lock_guard lock(mutex_);
        open_ = false;
    }
    void open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    void wait() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return open_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = true;
};

SupportCapture sampleCapture() {
    CaptureSidecar sidecar;
    sidecar.captureId = "c1";
    sidecar.audioFileName = "capture-c1.wav";
    sidecar.startedAt = "2024-03-04T09:05:00.000Z";
    sidecar.durationSeconds = 754;
    sidecar.recordingId = "rec-1";
    return SupportCapture{sidecar, WallTime{}};
}

template <typename Widget>
Widget* child(const QWidget& window, const char* name) {
    auto* widget = window.findChild<Widget*>(QLatin1String(name));
    if (!widget) ADD_FAILURE() << "no widget named " << name;
    return widget;
}

std::vector<std::string> labelTexts(const QWidget& page) {
    std::vector<std::string> texts;
    for (const QLabel* label : page.findChildren<QLabel*>()) {
        if (!label->isHidden()) texts.push_back(label->text().toStdString());
    }
    return texts;
}

bool contains(const std::vector<std::string>& texts, const std::string& text) {
    return std::find(texts.begin(), texts.end(), text) != texts.end();
}

// The edit page's text fields and its send button.
struct EditFields {
    QLineEdit* subject;
    QPlainTextEdit* description;
    QPushButton* send;
};

EditFields editFields(const QWidget& window) {
    return {child<QLineEdit>(window, "subject"), child<QPlainTextEdit>(window, "description"),
            child<QPushButton>(window, "send")};
}

// Fills the window with the form and shows it; whether it reached the screen.
bool showWith(ReportWindow& window, std::shared_ptr<ProblemReportForm> form) {
    window.setForm(std::move(form));
    window.show();
    return QTest::qWaitForWindowExposed(&window);
}

int topIn(const QWidget& window, const QWidget* widget) {
    return widget->mapTo(&window, QPoint(0, 0)).y();
}

class ReportWindowTest : public testing::Test {
protected:
    ~ReportWindowTest() override { gate.open(); }

    std::shared_ptr<ProblemReportForm> makeForm(std::optional<SupportCapture> capture) {
        return ProblemReportForm::create(
            main, worker, std::move(capture), [this](const ProblemReport& report, std::stop_token) {
                gate.wait();
                std::lock_guard lock(mutex);
                sent.push_back(report);
                if (failure) throw std::runtime_error(*failure);
                return std::string("KAVO-000042");
            });
    }

    std::size_t sentCount() {
        std::lock_guard lock(mutex);
        return sent.size();
    }

    template <typename Predicate>
    bool waitFor(Predicate done) {
        return QTest::qWaitFor(done, 5000);
    }

    LogCapture logs;
    QtMainScheduler main;
    Gate gate;
    std::mutex mutex;
    std::vector<ProblemReport> sent;
    std::optional<std::string> failure;
    SerialQueue worker{"report-worker"};
};

TEST_F(ReportWindowTest, TheFormShowsItsFieldsTopToBottom) {
    ReportWindow window;
    ASSERT_TRUE(showWith(window, makeForm(std::nullopt)));

    EXPECT_EQ(window.windowTitle(), "Report a Problem");
    EXPECT_EQ(window.width(), 460);
    const QWidget* editPage = child<QWidget>(window, "editPage");
    ASSERT_NE(editPage, nullptr);
    EXPECT_TRUE(editPage->isVisible());
    EXPECT_FALSE(child<QWidget>(window, "sentPage")->isVisible());

    const std::vector<std::string> texts = labelTexts(*editPage);
    for (const char* text : {"Type", "Subject", "What happened", kNote}) {
        EXPECT_TRUE(contains(texts, text)) << text;
    }
    auto* problem = child<QPushButton>(window, "problem");
    auto* question = child<QPushButton>(window, "question");
    auto* subject = child<QLineEdit>(window, "subject");
    auto* description = child<QPlainTextEdit>(window, "description");
    auto* note = child<QLabel>(window, "note");
    auto* cancel = child<QPushButton>(window, "cancel");
    auto* send = child<QPushButton>(window, "send");
    ASSERT_TRUE(problem && question && subject && description && note && cancel && send);

    EXPECT_EQ(problem->text(), "Problem");
    EXPECT_EQ(question->text(), "Question");
    EXPECT_TRUE(problem->isChecked());
    EXPECT_FALSE(question->isChecked());
    EXPECT_EQ(subject->placeholderText(), "Short summary");
    EXPECT_GE(description->height(), 120);
    EXPECT_EQ(cancel->text(), "Cancel");
    EXPECT_EQ(send->text(), "Send Report");
    EXPECT_TRUE(send->isDefault());
    // Empty texts cannot be sent; nothing has failed yet.
    EXPECT_FALSE(send->isEnabled());
    EXPECT_FALSE(child<QWidget>(window, "failure")->isVisible());
    // No recording to attach: no switch.
    EXPECT_FALSE(child<QWidget>(window, "attachCapture")->isVisible());
    EXPECT_FALSE(child<QWidget>(window, "captureSummary")->isVisible());

    EXPECT_LT(topIn(window, problem), topIn(window, subject));
    EXPECT_LT(topIn(window, subject), topIn(window, description));
    EXPECT_LT(topIn(window, description), topIn(window, note));
    EXPECT_LT(topIn(window, note), topIn(window, send));
    EXPECT_EQ(topIn(window, cancel), topIn(window, send));
    EXPECT_LT(cancel->x(), send->x());
}

TEST_F(ReportWindowTest, AShortSubjectCannotBeSentAndSubmittingSaysWhy) {
    auto form = makeForm(std::nullopt);
    ReportWindow window;
    ASSERT_TRUE(showWith(window, form));
    const auto [subject, description, send] = editFields(window);
    auto* failureLabel = child<QLabel>(window, "failure");
    ASSERT_TRUE(subject && description && send && failureLabel);

    QTest::keyClicks(subject, "  four  ");
    QTest::keyClicks(description, "The far side went silent after ten minutes.");
    EXPECT_EQ(form->subject(), "  four  ");
    EXPECT_EQ(form->problemDescription(), "The far side went silent after ten minutes.");
    EXPECT_FALSE(send->isEnabled());

    // Return and a click on the disabled default button send nothing.
    QTest::keyClick(subject, Qt::Key_Return);
    QTest::mouseClick(send, Qt::LeftButton);
    EXPECT_EQ(form->phase(), Phase::editing());
    EXPECT_FALSE(failureLabel->isVisible());

    form->submit();
    EXPECT_EQ(form->phase(), Phase::failed("Subject needs at least 5 characters."));
    EXPECT_TRUE(failureLabel->isVisible());
    EXPECT_EQ(failureLabel->text(), "Subject needs at least 5 characters.");
    EXPECT_EQ(failureLabel->palette().color(QPalette::WindowText), QColor(Qt::red));

    // A long enough subject can be sent; the message stays until the next attempt.
    QTest::keyClicks(subject, "score");
    EXPECT_TRUE(send->isEnabled());
    EXPECT_TRUE(failureLabel->isVisible());

    // A description of nine letters cannot.
    description->clear();
    QTest::keyClicks(description, " 123456789 ");
    EXPECT_FALSE(send->isEnabled());
    QTest::qWait(20);
    EXPECT_EQ(sentCount(), 0u);
}

TEST_F(ReportWindowTest, SendingShowsProgressThenTheReference) {
    auto form = makeForm(std::nullopt);
    ReportWindow window;
    ASSERT_TRUE(showWith(window, form));
    const auto [subject, description, send] = editFields(window);
    ASSERT_TRUE(subject && description && send);

    QTest::mouseClick(child<QPushButton>(window, "question"), Qt::LeftButton);
    EXPECT_EQ(form->category(), Category::question);
    QTest::keyClicks(subject, "Audio cut out");
    QTest::keyClicks(description, "The far side went silent after ten minutes.");
    ASSERT_TRUE(send->isEnabled());

    gate.close();
    // Return in the subject field is the default action.
    QTest::keyClick(subject, Qt::Key_Return);
    EXPECT_EQ(form->phase(), Phase::sending());
    EXPECT_EQ(send->text(), "Sending...");
    EXPECT_FALSE(send->isEnabled());

    gate.open();
    ASSERT_TRUE(waitFor([&] { return form->phase().kind == Phase::Kind::sent; }));
    ASSERT_EQ(sentCount(), 1u);
    EXPECT_EQ(sent.front().category, Category::question);
    EXPECT_EQ(sent.front().subject, "Audio cut out");
    EXPECT_EQ(sent.front().problemDescription, "The far side went silent after ten minutes.");

    EXPECT_FALSE(child<QWidget>(window, "editPage")->isVisible());
    const QWidget* sentPage = child<QWidget>(window, "sentPage");
    ASSERT_TRUE(sentPage && sentPage->isVisible());
    const std::vector<std::string> texts = labelTexts(*sentPage);
    EXPECT_TRUE(contains(texts, "Report sent"));
    EXPECT_TRUE(contains(texts, "Support can find it by this reference:"));
    auto* reference = child<QLabel>(window, "reference");
    ASSERT_NE(reference, nullptr);
    EXPECT_EQ(reference->text(), "KAVO-000042");
    EXPECT_TRUE(reference->textInteractionFlags() & Qt::TextSelectableByMouse);
    EXPECT_TRUE(QFontInfo(reference->font()).fixedPitch() ||
                reference->font().styleHint() == QFont::Monospace ||
                reference->font().styleHint() == QFont::TypeWriter);
    auto* close = child<QPushButton>(window, "close");
    ASSERT_NE(close, nullptr);
    EXPECT_EQ(close->text(), "Close");
    EXPECT_TRUE(close->isDefault());

    QTest::keyClick(&window, Qt::Key_Return);
    EXPECT_FALSE(window.isVisible());
}

TEST_F(ReportWindowTest, AFailedSendShowsItsMessageAndKeepsTheText) {
    failure = "connection reset";
    auto form = makeForm(std::nullopt);
    ReportWindow window;
    ASSERT_TRUE(showWith(window, form));
    QTest::keyClicks(child<QLineEdit>(window, "subject"), "Audio cut out");
    QTest::keyClicks(child<QPlainTextEdit>(window, "description"), "Silence after ten minutes.");
    QTest::mouseClick(child<QPushButton>(window, "send"), Qt::LeftButton);

    ASSERT_TRUE(waitFor([&] { return form->phase().kind == Phase::Kind::failed; }));
    auto* failureLabel = child<QLabel>(window, "failure");
    EXPECT_TRUE(failureLabel->isVisible());
    EXPECT_EQ(failureLabel->text(), "Could not send the report: connection reset");
    EXPECT_EQ(child<QLineEdit>(window, "subject")->text(), "Audio cut out");
    auto* send = child<QPushButton>(window, "send");
    EXPECT_EQ(send->text(), "Send Report");
    EXPECT_TRUE(send->isEnabled());
}

TEST_F(ReportWindowTest, EscapeAndCancelCloseTheWindow) {
    ReportWindow window;
    ASSERT_TRUE(showWith(window, makeForm(std::nullopt)));
    QTest::keyClick(&window, Qt::Key_Escape);
    EXPECT_FALSE(window.isVisible());

    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    QTest::mouseClick(child<QPushButton>(window, "cancel"), Qt::LeftButton);
    EXPECT_FALSE(window.isVisible());
}

TEST_F(ReportWindowTest, TheAttachSwitchAndSummaryShowOnlyWithARecording) {
    const SupportCapture capture = sampleCapture();
    auto form = makeForm(capture);
    ReportWindow window;
    ASSERT_TRUE(showWith(window, form));

    auto* attach = child<QCheckBox>(window, "attachCapture");
    auto* summary = child<QLabel>(window, "captureSummary");
    ASSERT_TRUE(attach && summary);
    EXPECT_TRUE(attach->isVisible());
    EXPECT_EQ(attach->text(), "Include details from the most recent recording");
    EXPECT_TRUE(attach->isChecked());
    EXPECT_TRUE(summary->isVisible());
    EXPECT_EQ(summary->text().toStdString(), capture.summary());
    EXPECT_LT(topIn(window, attach), topIn(window, summary));
    EXPECT_LT(topIn(window, summary), topIn(window, child<QLabel>(window, "note")));

    QTest::mouseClick(attach, Qt::LeftButton);
    EXPECT_FALSE(form->attachCapture());
    EXPECT_EQ(form->report().capture, std::nullopt);

    // The same window filled with a form without a recording drops the switch.
    window.setForm(makeForm(std::nullopt));
    EXPECT_FALSE(attach->isVisible());
    EXPECT_FALSE(summary->isVisible());
}

TEST_F(ReportWindowTest, ChangesMadeToTheFormRedrawTheWidgets) {
    auto form = makeForm(sampleCapture());
    ReportWindow window;
    window.setForm(form);
    form->setCategory(Category::question);
    form->setSubject("From the model");
    form->setProblemDescription("Line one\nLine two");
    form->setAttachCapture(false);
    EXPECT_TRUE(child<QPushButton>(window, "question")->isChecked());
    EXPECT_FALSE(child<QPushButton>(window, "problem")->isChecked());
    EXPECT_EQ(child<QLineEdit>(window, "subject")->text(), "From the model");
    EXPECT_EQ(child<QPlainTextEdit>(window, "description")->toPlainText(), "Line one\nLine two");
    EXPECT_FALSE(child<QCheckBox>(window, "attachCapture")->isChecked());
    EXPECT_TRUE(child<QPushButton>(window, "send")->isEnabled());
}

TEST_F(ReportWindowTest, ThePresenterKeepsOneWindowAndAnOpenReportsText) {
    ReportPresenter presenter;
    EXPECT_EQ(presenter.window(), nullptr);
    auto first = makeForm(std::nullopt);
    presenter.show(first);
    ReportWindow* window = presenter.window();
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
    EXPECT_EQ(window->form(), first);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QPoint offset =
            window->frameGeometry().center() - screen->availableGeometry().center();
        EXPECT_LE(offset.manhattanLength(), 4) << offset.x() << "," << offset.y();
    }
    QTest::keyClicks(child<QLineEdit>(*window, "subject"), "Draft subject");

    // Open: brought to the front; the new form is dropped and the draft stays.
    auto second = makeForm(std::nullopt);
    presenter.show(second);
    EXPECT_EQ(presenter.window(), window);
    EXPECT_EQ(window->form(), first);
    EXPECT_EQ(child<QLineEdit>(*window, "subject")->text(), "Draft subject");
    EXPECT_EQ(first->subject(), "Draft subject");

    // Closed: the same window shows the new form, and the old one no longer reaches it.
    window->close();
    presenter.show(second);
    EXPECT_EQ(presenter.window(), window);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->form(), second);
    EXPECT_EQ(child<QLineEdit>(*window, "subject")->text(), "");
    first->setSubject("Stale draft");
    EXPECT_EQ(child<QLineEdit>(*window, "subject")->text(), "");
    EXPECT_EQ(second->subject(), "");
}

}  // namespace
}  // namespace kavo
