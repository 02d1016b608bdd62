#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QTimer>
#include <QtTest/QTest>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <string>

#include "app/shell/TrayApplication.h"
#include "base/Clock.h"
#include "support/EnvironmentMap.h"
#include "support/TempDir.h"

namespace kavo::shell {
namespace {

// The tray application as a desktop starts it, on a machine without an audio server and
// whose servers refuse every connection: it must still come up signed out, draw its menu
// and quit through "Quit".
class TrayApplicationTest : public ::testing::Test {
protected:
    TrayApplicationTest() {
        const auto endpoints = home_.path() / "endpoints.json";
        std::ofstream(endpoints) << R"({"discoveryURL": "http://127.0.0.1:9/discover",)"
                                 << R"( "authority": "http://127.0.0.1:9/organizations",)"
                                 << R"( "updateManifestURL": "http://127.0.0.1:9/latest.json"})";
        environment_ = {{"XDG_DATA_HOME", (home_.path() / "data").string()},
                        {"XDG_CONFIG_HOME", (home_.path() / "config").string()},
                        {"XDG_STATE_HOME", (home_.path() / "state").string()},
                        {"KAVO_ENDPOINTS", endpoints.string()}};
        if (const char* server = std::getenv("PULSE_SERVER")) previousPulseServer_ = server;
        ::setenv("PULSE_SERVER", (home_.path() / "no-audio-server").c_str(), 1);
    }

    ~TrayApplicationTest() override {
        if (previousPulseServer_) {
            ::setenv("PULSE_SERVER", previousPulseServer_->c_str(), 1);
        } else {
            ::unsetenv("PULSE_SERVER");
        }
    }

    LinuxServices::Options options() {
        LinuxServices::Options options;
        options.environment = testing::environmentFrom(environment_);
        return options;
    }

    testing::TempDir home_;
    std::map<std::string, std::string> environment_;
    std::optional<std::string> previousPulseServer_;
    SystemClock clock_;
};

TEST_F(TrayApplicationTest, ComesUpSignedOutWithoutAudioOrServersAndQuitsThroughItsMenu) {
    LinuxServices services(clock_, options());
    std::vector<std::string> printed;
    TrayApplication tray(
        services, clock_,
        {.printMenu = [&](const std::string& menu) { printed.push_back(menu); }, .menuImage = {}});

    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return tray.app().session().phase().kind() == SessionPhase::Kind::signedOut; },
        10'000));
    QCoreApplication::processEvents();
    EXPECT_EQ(tray.menu().items(), tray.app().menu()) << "the drawn menu follows the application";
    EXPECT_EQ(printed.back(), "[Sign In]\n----\n[Quit]  Ctrl+Q\n");
    EXPECT_FALSE(tray.icon().showsRecording());

    const auto actions = tray.menu().menu().actions();
    ASSERT_FALSE(actions.isEmpty());
    QAction* quit = actions.back();
    ASSERT_EQ(quit->text(), "Quit");
    QTimer::singleShot(0, quit, &QAction::trigger);
    QTimer::singleShot(5'000, [] { QCoreApplication::exit(1); });
    EXPECT_EQ(QCoreApplication::exec(), 0) << "\"Quit\" did not end the event loop";
}

}  // namespace
}  // namespace kavo::shell
