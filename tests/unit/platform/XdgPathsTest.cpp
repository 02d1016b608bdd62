#include <gtest/gtest.h>

#include <map>

#include "platform/linux/XdgPaths.h"
#include "support/EnvironmentMap.h"

namespace kavo {
namespace {

TEST(XdgPaths, WithoutXdgValuesUsesTheFoldersUnderHome) {
    // Without XDG values, the folders under the home folder.
    const auto defaults =
        linux_platform::xdgAppPaths(testing::environmentFrom({{"HOME", "/home/ann"}}));
    EXPECT_EQ(defaults.capturesDirectory(),
              "/home/ann/.local/share/brindle.meetings.desktop/Captures");
    EXPECT_EQ(defaults.stateDirectory, "/home/ann/.local/state/brindle.meetings.desktop");
}

}  // namespace
}  // namespace kavo
