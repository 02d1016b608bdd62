#include <gtest/gtest.h>

#include "capture/DeviceWatch.h"
#include "capture/files/SidecarTimestamp.h"
#include "unit/capture/CaptureFixture.h"

namespace kavo {
namespace {

constexpr AudioObjectID kOwnAggregate = 14, kNamelessA = 15, kNamelessB = 16;

class DeviceWatchTest : public testing::CaptureFixture {
protected:
    DeviceWatchTest() {
        addDevice(kOwnAggregate,
                  "brindle.meetings.desktop.aggregate.0F6E1C59-3E0B-4A53-9C4D-2B1D5D0E7A11");
        addDevice(kNamelessA, std::nullopt);
        addDevice(kNamelessB, std::nullopt);
        scheduler.runUntilIdle();
    }

    // Installs the listeners as the capture session does, handling each notification as
    // it arrives on the control queue.
    void watchLikeASession() {
        watch.takeSnapshot();
        watch.install([this](std::string_view name) {
            names.emplace_back(name);
            if (auto change = watch.handle(name, clock.now())) changes.push_back(*change);
        });
        logs.clear();
    }

    DeviceWatch watch{hardware, scheduler,
                      [this] { return AudioDeviceSnapshot::current(hardware); }};
    std::vector<std::string> names;
    std::vector<DeviceChange> changes;
};

TEST_F(DeviceWatchTest, SnapshotNamesTheUsersDefaultDevicesByIdentifier) {
    EXPECT_EQ(AudioDeviceSnapshot::current(hardware),
              (AudioDeviceSnapshot{"BuiltInMic", "BuiltInSpeaker"}));
    // Devices of our own are none of the user's; an unnamed one is named by number.
    setDefaults(kNamelessA, kOwnAggregate);
    EXPECT_EQ(AudioDeviceSnapshot::current(hardware),
              (AudioDeviceSnapshot{"deviceID:15", std::nullopt}));
    addDevice(30, "brindle.meetings.desktop.echo-cancel");
    setDefaults(30, kOwnAggregate);
    EXPECT_EQ(AudioDeviceSnapshot::current(hardware), AudioDeviceSnapshot{});
    setDefaults(0, kDisplay);
    hardware.failDeviceIDRead(audio_property::kDefaultOutputDevice, -1);
    EXPECT_EQ(AudioDeviceSnapshot::current(hardware), AudioDeviceSnapshot{});
}

// Switching the output, each change compared with the snapshot the last one left, and
// notifications after removal are shown through the capture session (WholeCaptureTest,
// CaptureSessionTest).
TEST_F(DeviceWatchTest, EachChangeConcernsTheScopeWhoseDefaultMoved) {
    struct Case {
        const char* name;
        AudioObjectID input, output;  // the defaults when the watch starts
        std::function<void()> change;
        std::optional<EndpointScope> scope;
        std::string detail, line;  // the sidecar event's detail, and the notice logged
    };
    const std::vector<Case> cases = {
        // The notifications after the first find the defaults already where they are.
        {"headset with both defaults unplugged", kHeadset, kHeadset,
         [&] {
             hardware.removeDevice(kHeadset);
             setDefaults(kBuiltInMic, kSpeaker);
         },
         EndpointScope{EndpointScope::microphone, EndpointScope::systemAudio},
         "defaultInputDevice -> both",
         "Device change (defaultInputDevice) -> both: in USBHeadset -> BuiltInMic, out "
         "USBHeadset -> BuiltInSpeaker"},
        {"our own aggregate as output", kBuiltInMic, kSpeaker,
         [&] { hardware.setDefaultOutput(kOwnAggregate); }, EndpointScope::systemAudio,
         "defaultOutputDevice -> systemAudio",
         "Device change (defaultOutputDevice) -> systemAudio: in BuiltInMic -> BuiltInMic, out "
         "BuiltInSpeaker -> none"},
        {"between nameless devices", kNamelessA, kSpeaker,
         [&] { hardware.setDefaultInput(kNamelessB); }, EndpointScope::microphone,
         "defaultInputDevice -> microphone",
         "Device change (defaultInputDevice) -> microphone: in deviceID:15 -> deviceID:16, out "
         "BuiltInSpeaker -> BuiltInSpeaker"},
        {"device list only", kBuiltInMic, kSpeaker, [&] { addDevice(20, "BluetoothSpeaker"); },
         std::nullopt, "", ""},
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
        EXPECT_EQ(changes[0].event.kind, "deviceChange");
        EXPECT_EQ(changes[0].event.detail, c.detail);
        EXPECT_EQ(changes[0].event.at, SidecarTimestamp::format(clock.now()));
        EXPECT_EQ(logged(LogLevel::notice), std::vector<std::string>{c.line});
        EXPECT_EQ(watch.lastSnapshot(), AudioDeviceSnapshot::current(hardware));
    }
}

TEST_F(DeviceWatchTest, AListenerThatCannotBeInstalledIsLoggedAndTheOthersStillWork) {
    hardware.failListener(audio_property::kDefaultOutputDevice, -5);
    logs.clear();
    watch.install([this](std::string_view name) { names.emplace_back(name); });
    EXPECT_EQ(watch.listenerCount(), 2U);
    EXPECT_EQ(
        logged(LogLevel::error),
        std::vector<std::string>{"Could not observe device property 1682929012 (OSStatus -5)"});
    setDefaults(kHeadset, kDisplay);
    scheduler.runUntilIdle();
    EXPECT_EQ(names, std::vector<std::string>{"defaultInputDevice"});
}

}  // namespace
}  // namespace kavo
