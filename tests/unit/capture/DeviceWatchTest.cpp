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
        bool fromHeadset;  // as both defaults, instead of the built-in devices
        std::function<void()> change;
        std::optional<EndpointScope> scope;
        std::vector<std::string> details;
    };
    const Case cases[] = {
        {"headset with both defaults unplugged",
         true,
         [&] {
             devices.removeDevice();
             setDefaults(kBuiltInMic, kSpeaker);
         },
         EndpointScope{EndpointScope::microphone, EndpointScope::systemAudio},
         {"deviceList -> both"}},
        {"device list only", false, [&] { devices.removeDevice(); }, std::nullopt, {}},
    };
    for (const auto& [name, fromHeadset, change, scope, details] : cases) {
        SCOPED_TRACE(name);
        fromHeadset ? setDefaults(kHeadset, kHeadset) : setDefaults(kBuiltInMic, kSpeaker);
        DeviceWatch watch{devices, scheduler};
        std::vector<DeviceChange> changes;
        watch.takeSnapshot();
        watch.install([&](std::string_view what) {
            if (auto found = watch.handle(what, clock.now())) changes.push_back(*found);
        });
        change();
        scheduler.runUntilIdle();
        ASSERT_EQ(changes.size(), scope ? 1U : 0U);
        if (!scope) continue;
        EXPECT_EQ(changes[0].scope, *scope);
        std::vector<std::string> found;
        for (const auto& event : changes[0].events) found.push_back(event.detail.value_or(""));
        EXPECT_EQ(found, details);
        EXPECT_EQ(watch.lastSnapshot(), devices.defaults());
        watch.remove();
    }
}

}  // namespace
}  // namespace kavo
