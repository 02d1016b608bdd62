#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusError>
#include <QLabel>
#include <QWidget>
#include <QtTest/QTest>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/KavoMeetingsDesktopApp.h"
#include "app/shell/DesktopNotifier.h"
#include "app/shell/TrayIcon.h"
#include "app/shell/TrayMenu.h"
#include "support/PulseDaemon.h"
#include "support/TempDir.h"

// The notifications of automatic capture on a session bus of the test's own, with a
// notification service standing in for the desktop's, and without one.

namespace kavo {
namespace {

std::vector<std::string> lines(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::vector<std::string> result;
    for (std::string line; std::getline(in, line);) result.push_back(line);
    return result;
}

class DesktopNotifierTest : public ::testing::Test {
protected:
    DesktopNotifierTest()
        : bus_(testing::PulseDaemon::spawn(
              {"dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=" + address_})) {
        for (int i = 0; i < 200 && !std::filesystem::exists(socket_); ++i) QTest::qWait(25);
        connection_ = QDBusConnection::connectToBus(QString::fromStdString(address_), kName);
    }

    ~DesktopNotifierTest() override { QDBusConnection::disconnectFromBus(kName); }

    static constexpr const char* kName = "desktop-notifier-test";
    testing::TempDir dir_;
    std::filesystem::path socket_ = dir_.path() / "bus";
    std::string address_ = "unix:path=" + socket_.string();
    std::filesystem::path log_ = dir_.path() / "notifications.log";
    testing::PulseDaemon::Process bus_;
    QDBusConnection connection_{QString()};
    TrayMenu menu_{[](const MenuItem&) {}};
    TrayIcon icon_{menu_.menu()};
    std::vector<MenuAction> chosen_;
};

TEST_F(DesktopNotifierTest, TheWindowTellsWithoutAServiceAndTheServiceShowsEachInPlaceOfTheLast) {
    ASSERT_TRUE(connection_.isConnected()) << connection_.lastError().message().toStdString();
    DesktopNotifier notifier(connection_, icon_,
                             [this](MenuAction action) { chosen_.push_back(action); });
    EXPECT_FALSE(notifier.serviceAvailable());
    icon_.show();
    icon_.fallbackWindow()->showMinimized();
    notifier.show(KavoMeetingsDesktopApp::recordingStartedNotification());
    auto* message = icon_.fallbackWindow()->findChild<QLabel*>();
    ASSERT_NE(message, nullptr);
    EXPECT_EQ(message->text().toStdString(),
              "Recording started: A meeting app is using the microphone, so Kavo Meetings is "
              "recording this meeting.");
    EXPECT_FALSE(icon_.fallbackWindow()->isMinimized()) << "brought back to the front";

    testing::PulseDaemon::Process service =
        testing::PulseDaemon::spawn({KAVO_NOTIFICATION_SERVICE, address_, log_.string()});
    ASSERT_TRUE(QTest::qWaitFor([&] { return notifier.serviceAvailable(); }, 10'000));
    notifier.show(KavoMeetingsDesktopApp::recordingStartedNotification());
    // The stand-in chooses "Stop Recording" as soon as it shows the notification.
    ASSERT_TRUE(QTest::qWaitFor([&] { return !chosen_.empty(); }, 10'000));
    EXPECT_EQ(chosen_, std::vector{MenuAction::stopRecording});

    notifier.show(KavoMeetingsDesktopApp::recordingStoppedNotification());
    ASSERT_TRUE(QTest::qWaitFor([&] { return lines(log_).size() == 2; }, 10'000));
    EXPECT_EQ(lines(log_),
              (std::vector<std::string>{
                  "Recording started\tA meeting app is using the microphone, so Kavo Meetings is "
                  "recording this meeting.\tchosen,Stop Recording\t0",
                  "Recording stopped\tThe meeting has ended, so Kavo Meetings stopped "
                  "recording.\t\t1"}));
    QTest::qWait(200);
    EXPECT_EQ(chosen_.size(), 1u) << "a notification without an action hands back nothing";
}

}  // namespace
}  // namespace kavo
