#include <gtest/gtest.h>

#include "platform/linux/PulseConferenceActivitySource.h"

namespace kavo::linux_platform {
namespace {

using Properties = std::map<std::string, std::string>;

TEST(PulseConferenceIdentity, LinuxIdentifiersMapToTheApplicationsBundleIdentifiers) {
    EXPECT_EQ(PulseConferenceActivitySource::bundleIdentifier("zoom"), "us.zoom.xos");
    EXPECT_EQ(PulseConferenceActivitySource::bundleIdentifier("us.zoom.Zoom"), "us.zoom.xos");
    EXPECT_EQ(PulseConferenceActivitySource::bundleIdentifier("ZOOM VoiceEngine"), "us.zoom.xos");
    EXPECT_EQ(PulseConferenceActivitySource::bundleIdentifier("teams-for-linux"), "com.microsoft.teams2");
    EXPECT_EQ(PulseConferenceActivitySource::bundleIdentifier("com.microsoft.Teams"), "com.microsoft.teams2");
    EXPECT_EQ(PulseConferenceActivitySource::bundleIdentifier("com.slack.Slack"), "com.tinyspeck.slackmacgap");
    EXPECT_EQ(PulseConferenceActivitySource::bundleIdentifier("CiscoCollabHost"), "Cisco-Systems.Spark");
    EXPECT_EQ(PulseConferenceActivitySource::bundleIdentifier("webex"), "Cisco-Systems.Spark");
    EXPECT_EQ(PulseConferenceActivitySource::bundleIdentifier("firefox"), std::nullopt);
    EXPECT_EQ(PulseConferenceActivitySource::bundleIdentifier("zoomer"), std::nullopt);
}

TEST(PulseConferenceIdentity, FlatpakIdComesFirstThenBinaryThenName) {
    // A Flatpak's portal id wins over whatever the sandboxed binary is called.
    EXPECT_EQ(PulseConferenceActivitySource::bundleIdentifier(
                  {{"application.process.binary", "zoom"}},
                  {{"pipewire.access.portal.app_id", "com.slack.Slack"}}),
              "com.tinyspeck.slackmacgap");
    // An application id that is no conferencing app does not hide a binary that is.
    EXPECT_EQ(PulseConferenceActivitySource::bundleIdentifier(
                  {{"application.id", "org.example.Recorder"}, {"application.process.binary", "teams"}}, {}),
              "com.microsoft.teams2");
    EXPECT_EQ(PulseConferenceActivitySource::bundleIdentifier({{"application.name", "ZOOM VoiceEngine"}}, {}),
              "us.zoom.xos");
    EXPECT_EQ(PulseConferenceActivitySource::bundleIdentifier({}, {{"application.process.binary", "slack"}}),
              "com.tinyspeck.slackmacgap");
    // The remapped source's own stream has a name and no binary.
    EXPECT_EQ(PulseConferenceActivitySource::bundleIdentifier({{"media.name", "Remapped Stream"}}, {}), std::nullopt);
}

}  // namespace
}  // namespace kavo::linux_platform
