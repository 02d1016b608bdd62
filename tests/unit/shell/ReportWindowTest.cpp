#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QtTest/QTest>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/shell/QtMainScheduler.h"
#include "app/shell/ReportWindow.h"
#include "base/SerialQueue.h"
#include "support/ProblemReportForm.h"

// What the window shows of the form's rules and what its keys and buttons do.

namespace kavo {
namespace {

using Phase = ProblemReportForm::Phase;

template <typename Widget = QWidget>
Widget* child(const QWidget& window, const char* name) {
    auto* widget = window.findChild<Widget*>(QLatin1String(name));
    if (!widget) ADD_FAILURE() << "no widget named " << name;
    return widget;
}

// Only a valid report is sent, without the recording once unticked; then its reference shows.
TEST(ReportWindowTest, OnlyAValidReportIsSentAndItsReferenceShown) {
    QtMainScheduler main;
    std::vector<ProblemReport> sent;  // on the worker, read once the form says it was sent
    SerialQueue worker{"report-worker"};
    CaptureSidecar capture;
    capture.captureId = "c1";
    capture.audioFileName = "capture-c1.wav";
    capture.startedAt = "2024-03-04T09:05:00.000Z";
    const auto form = ProblemReportForm::create(main, worker, SupportCapture{capture, WallTime{}},
                                                [&](const ProblemReport& report, std::stop_token) {
                                                    sent.push_back(report);
                                                    return std::string("KAVO-000042");
                                                });
    ReportWindow window;
    window.setForm(form);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    auto* send = child<QPushButton>(window, "send");
    auto* attach = child<QCheckBox>(window, "attachCapture");
    auto* failure = child<QLabel>(window, "failure");
    EXPECT_FALSE(send->isEnabled()) << "empty texts cannot be sent";
    EXPECT_TRUE(attach->isVisible() && attach->isChecked());
    QTest::keyClicks(child<QLineEdit>(window, "subject"), "  four  ");
    QTest::keyClicks(child<QPlainTextEdit>(window, "description"), "The far side went silent.");
    EXPECT_FALSE(send->isEnabled());
    form->submit();
    EXPECT_TRUE(failure->isVisible());
    EXPECT_EQ(failure->text().toStdString(), form->phase().text);

    QTest::keyClicks(child(window, "subject"), "score");
    EXPECT_TRUE(send->isEnabled());
    QTest::mouseClick(attach, Qt::LeftButton);
    QTest::keyClick(child(window, "subject"), Qt::Key_Return);  // the default action
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->phase().kind == Phase::Kind::sent; }, 5000));
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent.front().capture, std::nullopt);
    EXPECT_TRUE(child(window, "sentPage")->isVisible());
    EXPECT_EQ(child<QLabel>(window, "reference")->text(), "KAVO-000042");
}

}  // namespace
}  // namespace kavo
