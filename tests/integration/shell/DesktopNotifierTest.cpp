#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusError>
#include <QLabel>
#include <QWidget>
#include <QtTest/QTest>
#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "app/KavoMeetingsDesktopApp.h"
#include "app/shell/DesktopNotifier.h"
#include "app/shell/TrayIcon.h"
#include "app/shell/TrayMenu.h"
#include "base/AtomicFile.h"
#include "support/PulseDaemon.h"
#include "support/TempDir.h"

// The notifications of automatic capture on a session bus of the test's own, with a
// notification service standing in for the desktop's, and without one.

namespace kavo {
namespace {

TEST(DesktopNotifierTest, TheWindowTellsWithoutAServiceAndTheServiceShowsEachInPlaceOfTheLast) {
    const testing::TempDir dir;
    const auto socket = dir / "bus";
    const std::string address = "unix:path=" + socket.string();
    const auto log = dir / "notifications.log";
    const auto bus = testing::PulseDaemon::spawn(
        {"dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=" + address});
    for (int i = 0; i < 200 && !std::filesystem::exists(socket); ++i) QTest::qWait(25);
    QDBusConnection connection =
        QDBusConnection::connectToBus(QString::fromStdString(address), "desktop-notifier-test");
    ASSERT_TRUE(connection.isConnected()) << connection.lastError().message().toStdString();
    TrayMenu menu([](const MenuItem&) {});
    TrayIcon icon(menu.menu());
    std::vector<MenuAction> chosen;
    DesktopNotifier notifier(connection, icon,
                             [&](MenuAction action) { chosen.push_back(action); });
    const Notification started = KavoMeetingsDesktopApp::recordingStartedNotification();
    const Notification stopped = KavoMeetingsDesktopApp::recordingStoppedNotification();
    EXPECT_FALSE(notifier.serviceAvailable());
    icon.show();
    icon.fallbackWindow()->showMinimized();
    notifier.show(started);
    auto* message = icon.fallbackWindow()->findChild<QLabel*>();
    ASSERT_NE(message, nullptr);
    EXPECT_EQ(message->text().toStdString(), started.title + ": " + started.body);
    EXPECT_FALSE(icon.fallbackWindow()->isMinimized()) << "brought back to the front";

    const auto service =
        testing::PulseDaemon::spawn({KAVO_NOTIFICATION_SERVICE, address, log.string()});
    ASSERT_TRUE(QTest::qWaitFor([&] { return notifier.serviceAvailable(); }, 10'000));
    notifier.show(started);
    // The stand-in chooses "Stop Recording" as soon as it shows the notification.
    ASSERT_TRUE(QTest::qWaitFor([&] { return !chosen.empty(); }, 10'000));
    EXPECT_EQ(chosen, std::vector{MenuAction::stopRecording});

    notifier.show(stopped);
    const auto logged = [&] { return readFileIfExists(log).value_or(""); };
    ASSERT_TRUE(QTest::qWaitFor([&] { return std::ranges::count(logged(), '\n') == 2; }, 10'000));
    EXPECT_EQ(logged(), started.title + "\t" + started.body + "\tchosen,Stop Recording\t0\n" +
                            stopped.title + "\t" + stopped.body + "\t\t1\n");
}

}  // namespace
}  // namespace kavo
