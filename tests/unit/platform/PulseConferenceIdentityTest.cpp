#include <gtest/gtest.h>

#include "platform/linux/PulseConferenceActivitySource.h"

// A fake Zoom reported as "us.zoom.xos" by a real daemon is in
// tests/integration/pulse/PulseConferenceActivityTest.cpp; here the rest of the table.

namespace kavo::linux_platform {
namespace {

using Source = PulseConferenceActivitySource;

TEST(PulseConferenceIdentity, LinuxIdentifiersMapToTheApplicationsBundleIdentifiers) {
    const std::pair<const char*, std::optional<std::string>> cases[] = {
        {"us.zoom.Zoom", "us.zoom.xos"},
        {"ZOOM VoiceEngine", "us.zoom.xos"},
        {"teams-for-linux", "com.microsoft.teams2"},
        {"com.microsoft.Teams", "com.microsoft.teams2"},
        {"com.slack.Slack", "com.tinyspeck.slackmacgap"},
        {"CiscoCollabHost", "Cisco-Systems.Spark"},
        {"webex", "Cisco-Systems.Spark"},
        {"firefox", std::nullopt},
        {"zoomer", std::nullopt},
    };
    for (const auto& [name, bundle] : cases)
        EXPECT_EQ(Source::bundleIdentifier(name), bundle) << name;
}

TEST(PulseConferenceIdentity, FlatpakIdComesFirstThenBinaryThenName) {
    // A Flatpak's portal id wins over whatever the sandboxed binary is called.
    EXPECT_EQ(Source::bundleIdentifier({{"application.process.binary", "zoom"}},
                                       {{"pipewire.access.portal.app_id", "com.slack.Slack"}}),
              "com.tinyspeck.slackmacgap");
    // An application id that is no conferencing app does not hide a binary that is.
    EXPECT_EQ(Source::bundleIdentifier({{"application.id", "org.example.Recorder"},
                                        {"application.process.binary", "teams"}},
                                       {}),
              "com.microsoft.teams2");
    EXPECT_EQ(Source::bundleIdentifier({{"application.name", "ZOOM VoiceEngine"}}, {}),
              "us.zoom.xos");
    EXPECT_EQ(Source::bundleIdentifier({}, {{"application.process.binary", "slack"}}),
              "com.tinyspeck.slackmacgap");
    // The remapped source's own stream has a name and no binary.
    EXPECT_EQ(Source::bundleIdentifier({{"media.name", "Remapped Stream"}}, {}), std::nullopt);
}

}  // namespace
}  // namespace kavo::linux_platform
