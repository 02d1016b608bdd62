#include <gtest/gtest.h>

#include "capture/DeviceWatch.h"
#include "capture/files/SidecarTimestamp.h"
#include "unit/capture/CaptureFixture.h"

namespace kavo {
namespace {

class DeviceWatchTest : public testing::CaptureFixture {
protected:
    // Observes as the capture session does, handling each notification as it arrives on
    // the control queue.
    void watchLikeASession() {
        watch.takeSnapshot();
        watch.install([this](std::string_view name) {
            if (auto change = watch.handle(name, clock.now())) changes.push_back(*change);
        });
        logs.clear();
    }

    DeviceWatch watch{devices, scheduler};
    std::vector<DeviceChange> changes;
};

// Switching the output, each change compared with the snapshot the last one left, and
// notifications after removal are shown through the capture session (WholeCaptureTest,
// CaptureSessionTest).
TEST_F(DeviceWatchTest, EachChangeConcernsTheScopeWhoseDefaultMoved) {
    struct Case {
        const char* name;
        std::optional<std::string> input, output;  // the defaults when the watch starts
        std::function<void()> change;
        std::optional<EndpointScope> scope;
        std::vector<std::string> details;  // the sidecar events' details
        std::string line;                  // the notice logged
        std::vector<std::string> errors;
    };
    const std::vector<Case> cases = {
        // The notifications after the first find the defaults already where they are.
        {"headset with both defaults unplugged",
         kHeadset,
         kHeadset,
         [&] {
             devices.removeDevice();
             setDefaults(kBuiltInMic, kSpeaker);
         },
         EndpointScope{EndpointScope::microphone, EndpointScope::systemAudio},
         {"deviceList -> both"},
         "Device change (deviceList) -> both: in USBHeadset -> BuiltInMic, out USBHeadset -> "
         "BuiltInSpeaker",
         {}},
        {"the only microphone unplugged",
         kBuiltInMic,
         kSpeaker,
         [&] { devices.setDefaultInput(std::nullopt); },
         EndpointScope::microphone,
         {"defaultInputDevice -> microphone", std::string(DeviceWatch::kNoMicrophoneDetail)},
         "Device change (defaultInputDevice) -> microphone: in BuiltInMic -> none, out "
         "BuiltInSpeaker -> BuiltInSpeaker",
         {"No microphone left on this computer; the microphone channel records silence"}},
        {"device list only",
         kBuiltInMic,
         kSpeaker,
         [&] { devices.removeDevice(); },
         std::nullopt,
         {},
         "",
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        watch.remove();
        setDefaults(c.input, c.output);
        scheduler.runUntilIdle();
        changes.clear();
        watchLikeASession();
        clock.advance(seconds(1.25));
        c.change();
        scheduler.runUntilIdle();
        if (!c.scope) {
            EXPECT_TRUE(changes.empty());
            EXPECT_TRUE(logged(LogLevel::notice).empty());
            EXPECT_EQ(logged(LogLevel::debug),
                      std::vector<std::string>{
                          "Device notification (deviceList) moved neither default; ignoring"});
            continue;
        }
        ASSERT_EQ(changes.size(), 1U);
        EXPECT_EQ(changes[0].scope, *c.scope);
        std::vector<std::string> details;
        for (const auto& event : changes[0].events) {
            EXPECT_EQ(event.kind, "deviceChange");
            EXPECT_EQ(event.at, SidecarTimestamp::format(clock.now()));
            details.push_back(event.detail.value_or(""));
        }
        EXPECT_EQ(details, c.details);
        EXPECT_EQ(logged(LogLevel::notice), std::vector<std::string>{c.line});
        EXPECT_EQ(logged(LogLevel::error), c.errors);
        EXPECT_EQ(watch.lastSnapshot(), devices.defaults());
    }
}

}  // namespace
}  // namespace kavo
