#include "platform/linux/AutostartEntry.h"

#include <fstream>

#include <gtest/gtest.h>

#include "base/AtomicFile.h"
#include "support/TempDir.h"

namespace kavo::linux_platform {
namespace {

TEST(AutostartEntry, TurnedOnStartsTheTrayFromItsOwnPathAndTurnedOffIsGone) {
    testing::TempDir config;
    const AutostartEntry entry(config.path() / "autostart");
    EXPECT_FALSE(entry.isEnabled());

    entry.enable("/opt/Kavo Apps/bin/$kavo\\meetings");
    ASSERT_TRUE(entry.isEnabled());
    const auto text = readFileIfExists(config.path() / "autostart" / "kavo-meetings.desktop").value_or("");
    // The path survives the Exec key's quoting and the desktop entry's own escaping.
    EXPECT_NE(text.find("\nExec=\"/opt/Kavo Apps/bin/\\\\$kavo\\\\\\\\meetings\" tray\n"), std::string::npos) << text;
    EXPECT_TRUE(text.starts_with("[Desktop Entry]\nType=Application\n"));

    entry.disable();
    EXPECT_FALSE(entry.isEnabled());
    entry.disable();
}

TEST(AutostartEntry, AnEntryTheDesktopSwitchedOffCountsAsOff) {
    testing::TempDir config;
    const AutostartEntry entry(config.path());
    entry.enable("/usr/bin/kavo-meetings");
    std::ofstream(entry.file(), std::ios::app) << "Hidden=true\n";
    EXPECT_FALSE(entry.isEnabled());
}

}  // namespace
}  // namespace kavo::linux_platform
