#include <gtest/gtest.h>

#include <QCheckBox>
#include <QFontInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
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
#include "base/SerialQueue.h"
#include "support/ProblemReportForm.h"

// The form's own rules are in tests/unit/support/ProblemReportTests.cpp; here what the
// window shows of them and what its keys and buttons do.

namespace kavo {
namespace {

using Category = KavoAPIClient::FeedbackCategory;
using Phase = ProblemReportForm::Phase;

SupportCapture sampleCapture() {
    CaptureSidecar sidecar;
    sidecar.captureId = "c1";
    sidecar.audioFileName = "capture-c1.wav";
    sidecar.startedAt = "2024-03-04T09:05:00.000Z";
    sidecar.durationSeconds = 754;
    return SupportCapture{sidecar, WallTime{}};
}

template <typename Widget = QWidget>
Widget* child(const QWidget& window, const char* name) {
    auto* widget = window.findChild<Widget*>(QLatin1String(name));
    if (!widget) ADD_FAILURE() << "no widget named " << name;
    return widget;
}

int topIn(const QWidget& window, const char* name) {
    return child(window, name)->mapTo(&window, QPoint(0, 0)).y();
}

class ReportWindowTest : public ::testing::Test {
protected:
    ~ReportWindowTest() override { setGate(true); }

    std::shared_ptr<ProblemReportForm> makeForm(std::optional<SupportCapture> capture) {
        return ProblemReportForm::create(main, worker, std::move(capture),
                                         [this](const ProblemReport& report, std::stop_token) {
                                             std::unique_lock lock(mutex);
                                             gateChanged.wait(lock, [this] { return gateOpen; });
                                             sent.push_back(report);
                                             return std::string("KAVO-000042");
                                         });
    }

    // Shows the window filled with a new form; whether it reached the screen.
    bool show(std::optional<SupportCapture> capture = std::nullopt) {
        form = makeForm(std::move(capture));
        window.setForm(form);
        window.show();
        return QTest::qWaitForWindowExposed(&window);
    }

    void type(const char* subject, const char* description) {
        QTest::keyClicks(child<QLineEdit>(window, "subject"), subject);
        QTest::keyClicks(child<QPlainTextEdit>(window, "description"), description);
    }

    void setGate(bool open) {
        std::lock_guard lock(mutex);
        gateOpen = open;
        gateChanged.notify_all();
    }

    std::size_t sentCount() {
        std::lock_guard lock(mutex);
        return sent.size();
    }

    QtMainScheduler main;
    std::mutex mutex;
    std::condition_variable gateChanged;
    bool gateOpen = true;  // while closed, sends wait so that "sending" can be seen
    std::vector<ProblemReport> sent;
    SerialQueue worker{"report-worker"};
    ReportWindow window;
    std::shared_ptr<ProblemReportForm> form;
};

TEST_F(ReportWindowTest, AShortSubjectCannotBeSentAndSubmittingSaysWhy) {
    ASSERT_TRUE(show());
    auto* send = child<QPushButton>(window, "send");
    auto* failureLabel = child<QLabel>(window, "failure");
    EXPECT_EQ(send->text(), "Send Report");
    EXPECT_TRUE(send->isDefault());
    EXPECT_FALSE(send->isEnabled()) << "empty texts cannot be sent";
    for (const char* hidden : {"failure", "attachCapture", "captureSummary"}) {
        EXPECT_FALSE(child(window, hidden)->isVisible()) << hidden;
    }
    const char* const order[] = {"problem", "subject", "description", "note", "send"};
    for (std::size_t i = 1; i < std::size(order); ++i) {
        EXPECT_LT(topIn(window, order[i - 1]), topIn(window, order[i])) << order[i];
    }

    type("  four  ", "The far side went silent after ten minutes.");
    EXPECT_EQ(form->subject(), "  four  ");
    EXPECT_FALSE(send->isEnabled());

    // Return and a click on the disabled default button send nothing.
    QTest::keyClick(child(window, "subject"), Qt::Key_Return);
    QTest::mouseClick(send, Qt::LeftButton);
    EXPECT_EQ(form->phase(), Phase::editing());
    EXPECT_FALSE(failureLabel->isVisible());

    form->submit();
    EXPECT_EQ(form->phase(), Phase::failed("Subject needs at least 5 characters."));
    EXPECT_TRUE(failureLabel->isVisible());
    EXPECT_EQ(failureLabel->text(), "Subject needs at least 5 characters.");
    EXPECT_EQ(failureLabel->palette().color(QPalette::WindowText), QColor(Qt::red));

    // A long enough subject can be sent; the message stays until the next attempt.
    QTest::keyClicks(child(window, "subject"), "score");
    EXPECT_TRUE(send->isEnabled());
    EXPECT_TRUE(failureLabel->isVisible());
    // A description of nine letters cannot.
    child<QPlainTextEdit>(window, "description")->clear();
    QTest::keyClicks(child(window, "description"), " 123456789 ");
    EXPECT_FALSE(send->isEnabled());
    QTest::qWait(20);
    EXPECT_EQ(sentCount(), 0u);
}

TEST_F(ReportWindowTest, SendingShowsProgressThenTheReference) {
    ASSERT_TRUE(show());
    auto* send = child<QPushButton>(window, "send");
    QTest::mouseClick(child<QPushButton>(window, "question"), Qt::LeftButton);
    type("Audio cut out", "The far side went silent after ten minutes.");
    ASSERT_TRUE(send->isEnabled());

    setGate(false);
    QTest::keyClick(child(window, "subject"), Qt::Key_Return);  // the default action
    EXPECT_EQ(form->phase(), Phase::sending());
    EXPECT_EQ(send->text(), "Sending...");
    EXPECT_FALSE(send->isEnabled());

    setGate(true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->phase().kind == Phase::Kind::sent; }, 5000));
    ASSERT_EQ(sentCount(), 1u);
    EXPECT_EQ(sent.front().category, Category::question);
    EXPECT_EQ(sent.front().subject, "Audio cut out");
    EXPECT_EQ(sent.front().problemDescription, "The far side went silent after ten minutes.");

    EXPECT_FALSE(child(window, "editPage")->isVisible());
    EXPECT_TRUE(child(window, "sentPage")->isVisible());
    auto* reference = child<QLabel>(window, "reference");
    EXPECT_EQ(reference->text(), "KAVO-000042");
    EXPECT_TRUE(reference->textInteractionFlags() & Qt::TextSelectableByMouse);
    EXPECT_TRUE(QFontInfo(reference->font()).fixedPitch() ||
                reference->font().styleHint() == QFont::Monospace ||
                reference->font().styleHint() == QFont::TypeWriter);
    EXPECT_TRUE(child<QPushButton>(window, "close")->isDefault());
    QTest::keyClick(&window, Qt::Key_Return);
    EXPECT_FALSE(window.isVisible());
}

TEST_F(ReportWindowTest, TheAttachSwitchShowsOnlyWithARecordingAndTheWidgetsFollowTheForm) {
    ASSERT_TRUE(show(sampleCapture()));
    auto* attach = child<QCheckBox>(window, "attachCapture");
    auto* summary = child<QLabel>(window, "captureSummary");
    EXPECT_TRUE(attach->isVisible());
    EXPECT_TRUE(attach->isChecked());
    EXPECT_EQ(summary->text().toStdString(), sampleCapture().summary());
    EXPECT_LT(topIn(window, "attachCapture"), topIn(window, "captureSummary"));
    EXPECT_LT(topIn(window, "captureSummary"), topIn(window, "note"));
    QTest::mouseClick(attach, Qt::LeftButton);
    EXPECT_EQ(form->report().capture, std::nullopt);

    // Changes made to the form redraw the widgets.
    form->setCategory(Category::question);
    form->setSubject("From the model");
    form->setProblemDescription("Line one\nLine two");
    form->setAttachCapture(true);
    EXPECT_TRUE(child<QPushButton>(window, "question")->isChecked());
    EXPECT_FALSE(child<QPushButton>(window, "problem")->isChecked());
    EXPECT_EQ(child<QLineEdit>(window, "subject")->text(), "From the model");
    EXPECT_EQ(child<QPlainTextEdit>(window, "description")->toPlainText(), "Line one\nLine two");
    EXPECT_TRUE(attach->isChecked());
    EXPECT_TRUE(child<QPushButton>(window, "send")->isEnabled());

    // The same window filled with a form without a recording drops the switch.
    window.setForm(makeForm(std::nullopt));
    EXPECT_FALSE(attach->isVisible());
    EXPECT_FALSE(summary->isVisible());
}

TEST_F(ReportWindowTest, ThePresenterKeepsOneWindowAndAnOpenReportsText) {
    ReportPresenter presenter;
    auto first = makeForm(std::nullopt);
    presenter.show(first);
    ReportWindow* shown = presenter.window();
    ASSERT_NE(shown, nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(shown));
    QTest::keyClicks(child(*shown, "subject"), "Draft subject");

    // Open: brought to the front; the new form is dropped and the draft stays.
    auto second = makeForm(std::nullopt);
    presenter.show(second);
    EXPECT_EQ(presenter.window(), shown);
    EXPECT_EQ(shown->form(), first);
    EXPECT_EQ(first->subject(), "Draft subject");

    // Closed: the same window shows the new form, and the old one no longer reaches it.
    shown->close();
    presenter.show(second);
    EXPECT_EQ(presenter.window(), shown);
    EXPECT_TRUE(shown->isVisible());
    EXPECT_EQ(shown->form(), second);
    first->setSubject("Stale draft");
    EXPECT_EQ(child<QLineEdit>(*shown, "subject")->text(), "");
}

}  // namespace
}  // namespace kavo
