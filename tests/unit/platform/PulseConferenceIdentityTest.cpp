#include <gtest/gtest.h>

#include "platform/linux/PulseConferenceActivitySource.h"

namespace kavo::linux_platform {
namespace {

using Source = PulseConferenceActivitySource;

TEST(PulseConferenceIdentity, FlatpakIdComesFirstThenBinaryThenName) {
    // A Flatpak's portal id wins over whatever the sandboxed binary is called.
    EXPECT_EQ(Source::conferencingIdentity({{"application.process.binary", "zoom"}},
                                           {{"pipewire.access.portal.app_id", "com.slack.Slack"}}),
              "com.slack.Slack");
    // An application id that is no conferencing app does not hide a binary that is.
    EXPECT_EQ(Source::conferencingIdentity({{"application.id", "org.example.Recorder"},
                                            {"application.process.binary", "teams"}},
                                           {}),
              "teams");
    EXPECT_EQ(Source::conferencingIdentity({{"application.name", "ZOOM VoiceEngine"}}, {}),
              "ZOOM VoiceEngine");
    EXPECT_EQ(Source::conferencingIdentity({{"application.process.binary", "zoomer"}}, {}),
              std::nullopt);
    // The remapped source's own stream has a name and no binary.
    EXPECT_EQ(Source::conferencingIdentity({{"media.name", "Remapped Stream"}}, {}), std::nullopt);
}

}  // namespace
}  // namespace kavo::linux_platform
