#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QTimer>
#include <QtTest/QTest>
#include <fstream>

#include "app/shell/TrayApplication.h"
#include "base/Clock.h"
#include "support/EnvironmentMap.h"
#include "support/ScopedEnvironmentVariable.h"
#include "support/TempDir.h"

namespace kavo::shell {
namespace {

// Without an audio server, servers refusing all and XDG values: signed out, folders under the
// home folder, ended through "Quit".
TEST(TrayApplicationTest, ComesUpSignedOutWithoutAudioOrServersAndQuitsThroughItsMenu) {
    const testing::TempDir home;
    const testing::ScopedEnvironmentVariable noAudio("PULSE_SERVER", (home / "none").string());
    std::ofstream(home / "endpoints.json")
        << R"({"discoveryURL": "http://127.0.0.1:9/discover",)"
        << R"( "authority": "http://127.0.0.1:9/organizations",)"
        << R"( "updateManifestURL": "http://127.0.0.1:9/latest.json"})";
    LinuxServices::Options options;
    options.environment = testing::environmentFrom(
        {{"HOME", home.path().string()}, {"KAVO_ENDPOINTS", (home / "endpoints.json").string()}});
    const SystemClock clock;
    LinuxServices services(clock, options);
    EXPECT_EQ(services.paths().capturesDirectory(),
              home / ".local/share/brindle.meetings.desktop/Captures");
    EXPECT_EQ(services.paths().stateDirectory, home / ".local/state/brindle.meetings.desktop");
    TrayApplication tray(services, clock, {});

    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return tray.app().session().phase().kind() == SessionPhase::Kind::signedOut; },
        10'000));
    QAction* quit = tray.menu().menu().actions().back();
    QTimer::singleShot(0, quit, &QAction::trigger);
    QTimer::singleShot(5'000, [] { QCoreApplication::exit(1); });
    EXPECT_EQ(QCoreApplication::exec(), 0) << "\"Quit\" did not end the event loop";
}

}  // namespace
}  // namespace kavo::shell
