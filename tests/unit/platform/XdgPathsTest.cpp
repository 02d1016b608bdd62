#include <gtest/gtest.h>

#include <map>

#include "platform/linux/XdgPaths.h"
#include "support/EnvironmentMap.h"

namespace kavo {
namespace {

TEST(XdgPaths, FollowsTheBaseDirectoryRules) {
    const auto paths = [](std::map<std::string, std::string> values) {
        return linux_platform::xdgAppPaths(testing::environmentFrom(std::move(values)));
    };
    const auto defaults = paths({{"HOME", "/home/ann"}});
    EXPECT_EQ(defaults.capturesDirectory(),
              "/home/ann/.local/share/brindle.meetings.desktop/Captures");
    EXPECT_EQ(defaults.stateDirectory, "/home/ann/.local/state/brindle.meetings.desktop");

    // A relative XDG value is ignored.
    const auto custom = paths({{"HOME", "/home/ann"}, {"XDG_DATA_HOME", "relative/x"}});
    EXPECT_EQ(custom.dataDirectory, "/home/ann/.local/share/brindle.meetings.desktop");
}

}  // namespace
}  // namespace kavo
