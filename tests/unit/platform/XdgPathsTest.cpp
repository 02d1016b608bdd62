#include <gtest/gtest.h>

#include <map>

#include "platform/linux/XdgPaths.h"

namespace kavo {
namespace {

TEST(XdgPaths, FollowsTheBaseDirectoryRules) {
    auto env = [](std::map<std::string, std::string> values) {
        return [values](const char* name) -> std::optional<std::string> {
            auto it = values.find(name);
            if (it == values.end()) return std::nullopt;
            return it->second;
        };
    };
    const auto defaults = linux_platform::xdgAppPaths(env({{"HOME", "/home/ann"}}));
    EXPECT_EQ(defaults.capturesDirectory(),
              "/home/ann/.local/share/brindle.meetings.desktop/Captures");
    EXPECT_EQ(defaults.configDirectory, "/home/ann/.config/brindle.meetings.desktop");
    EXPECT_EQ(defaults.stateDirectory, "/home/ann/.local/state/brindle.meetings.desktop");

    const auto custom = linux_platform::xdgAppPaths(
        env({{"HOME", "/home/ann"}, {"XDG_DATA_HOME", "/data"}, {"XDG_CONFIG_HOME", "relative/x"}}));
    EXPECT_EQ(custom.dataDirectory, "/data/brindle.meetings.desktop");
    EXPECT_EQ(custom.configDirectory, "/home/ann/.config/brindle.meetings.desktop");
}

}  // namespace
}  // namespace kavo
