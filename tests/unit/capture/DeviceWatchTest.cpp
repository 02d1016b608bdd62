#include <gtest/gtest.h>

#include "capture/DeviceWatch.h"
#include "unit/capture/CaptureFixture.h"

namespace kavo {
namespace {

class DeviceWatchTest : public testing::CaptureFixture {};

// Each notification is compared with the snapshot the last one left.
TEST_F(DeviceWatchTest, EachChangeConcernsTheScopeWhoseDefaultMoved) {
    struct Case {
        const char* name;
        std::optional<std::string> input, output;  // the defaults when the watch starts
        std::function<void()> change;
        std::optional<EndpointScope> scope;
        std::vector<std::string> details;  // the sidecar events'
        std::size_t errors;
    };
    const std::vector<Case> cases = {
        {"headset with both defaults unplugged",
         kHeadset,
         kHeadset,
         [&] {
             devices.removeDevice();
             setDefaults(kBuiltInMic, kSpeaker);
         },
         EndpointScope{EndpointScope::microphone, EndpointScope::systemAudio},
         {"deviceList -> both"},
         0},
        {"the only microphone unplugged",
         kBuiltInMic,
         kSpeaker,
         [&] { devices.setDefaultInput(std::nullopt); },
         EndpointScope::microphone,
         {"defaultInputDevice -> microphone", std::string(DeviceWatch::kNoMicrophoneDetail)},
         1},
        {"device list only",
         kBuiltInMic,
         kSpeaker,
         [&] { devices.removeDevice(); },
         std::nullopt,
         {},
         0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        setDefaults(c.input, c.output);
        DeviceWatch watch{devices, scheduler};
        std::vector<DeviceChange> changes;
        watch.takeSnapshot();
        watch.install([&](std::string_view name) {
            if (auto change = watch.handle(name, clock.now())) changes.push_back(*change);
        });
        logs.clear();
        c.change();
        scheduler.runUntilIdle();
        EXPECT_EQ(logged(LogLevel::error).size(), c.errors);
        if (!c.scope) {
            EXPECT_TRUE(changes.empty());
            continue;
        }
        ASSERT_EQ(changes.size(), 1U);
        EXPECT_EQ(changes[0].scope, *c.scope);
        std::vector<std::string> details;
        for (const auto& event : changes[0].events) details.push_back(event.detail.value_or(""));
        EXPECT_EQ(details, c.details);
        EXPECT_EQ(watch.lastSnapshot(), devices.defaults());
        watch.remove();
    }
}

}  // namespace
}  // namespace kavo
