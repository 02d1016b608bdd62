#include <gtest/gtest.h>

#include <fstream>

#include "base/AtomicFile.h"
#include "platform/linux/AutostartEntry.h"
#include "support/TempDir.h"

namespace kavo::linux_platform {
namespace {

TEST(AutostartEntry, StartsTheTrayFromItsOwnPathUntilTurnedOffHereOrByTheDesktop) {
    testing::TempDir config;
    const AutostartEntry entry(config.path() / "autostart");
    EXPECT_FALSE(entry.isEnabled());

    entry.enable("/opt/Kavo Apps/bin/$kavo\\meetings");
    ASSERT_TRUE(entry.isEnabled());
    const auto text = readFileIfExists(entry.file()).value_or("");
    EXPECT_TRUE(text.starts_with("[Desktop Entry]\nType=Application\n")) << text;
    // The path survives the Exec key's quoting and the desktop entry's own escaping.
    EXPECT_NE(text.find("\nExec=\"/opt/Kavo Apps/bin/\\\\$kavo\\\\\\\\meetings\" tray\n"),
              std::string::npos)
        << text;
    entry.disable();
    EXPECT_FALSE(entry.isEnabled());

    entry.enable("/usr/bin/kavo-meetings");
    std::ofstream(entry.file(), std::ios::app) << "Hidden=true\n";
    EXPECT_FALSE(entry.isEnabled()) << "an entry the desktop switched off counts as off";
}

}  // namespace
}  // namespace kavo::linux_platform
