#include "capture/DeviceWatch.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/ManualScheduler.h"
#include "capture/files/SidecarTimestamp.h"
#include "support/FakeAudioHardware.h"

namespace kavo {
namespace {

using testing::FakeAudioHardware;

constexpr AudioObjectID kBuiltInMic = 10;
constexpr AudioObjectID kBuiltInSpeaker = 11;
constexpr AudioObjectID kHeadset = 12;
constexpr AudioObjectID kDisplay = 13;
constexpr AudioObjectID kOwnAggregate = 14;
constexpr AudioObjectID kNamelessA = 15;
constexpr AudioObjectID kNamelessB = 16;

class DeviceWatchTest : public ::testing::Test {
protected:
    DeviceWatchTest() {
        addDevice(kBuiltInMic, "BuiltInMic");
        addDevice(kBuiltInSpeaker, "BuiltInSpeaker");
        addDevice(kHeadset, "USBHeadset");
        addDevice(kDisplay, "HDMIDisplay");
        addDevice(kOwnAggregate, "brindle.meetings.desktop.aggregate.0F6E1C59-3E0B-4A53-9C4D-2B1D5D0E7A11");
        addDevice(kNamelessA, std::nullopt);
        addDevice(kNamelessB, std::nullopt);
        setDefaults(kBuiltInMic, kBuiltInSpeaker);
        control.runUntilIdle();
    }

    void addDevice(AudioObjectID id, std::optional<std::string> uid) {
        hardware.addDevice({.id = id, .uid = std::move(uid), .nominalRate = 48'000, .subDevices = {}});
    }

    void setDefaults(AudioObjectID input, AudioObjectID output) {
        hardware.setDefaultInput(input);
        hardware.setDefaultOutput(output);
    }

    // Installs the listeners the way the capture session does, handling each
    // notification as it arrives on the control queue.
    void watchLikeASession() {
        watch.takeSnapshot();
        watch.install([this](std::string_view name) {
            names.emplace_back(name);
            if (auto change = watch.handle(name, clock.now())) changes.push_back(*change);
        });
        logs.clear();
    }

    std::vector<std::string> logged(LogLevel level) const {
        std::vector<std::string> result;
        for (const auto& entry : logs.entries()) {
            if (entry.category == "CaptureSession" && entry.level == level) result.push_back(entry.message);
        }
        return result;
    }

    ManualClock clock;
    ManualScheduler control{clock};
    FakeAudioHardware hardware{clock};
    LogCapture logs;
    DeviceWatch watch{hardware, control, [this] { return AudioDeviceSnapshot::current(hardware); }};
    std::vector<std::string> names;
    std::vector<DeviceChange> changes;
};

// --- Reading the defaults ---

TEST_F(DeviceWatchTest, SnapshotNamesTheDefaultDevicesByIdentifier) {
    EXPECT_EQ(AudioDeviceSnapshot::current(hardware), (AudioDeviceSnapshot{"BuiltInMic", "BuiltInSpeaker"}));
    setDefaults(kNamelessA, kOwnAggregate);
    // Devices of our own are no devices of the user's; an unnamed one is named by number.
    EXPECT_EQ(AudioDeviceSnapshot::current(hardware), (AudioDeviceSnapshot{"deviceID:15", std::nullopt}));
    addDevice(30, "brindle.meetings.desktop.echo-cancel");
    setDefaults(30, kOwnAggregate);
    EXPECT_EQ(AudioDeviceSnapshot::current(hardware), AudioDeviceSnapshot{});
    setDefaults(0, kDisplay);
    hardware.failDeviceIDRead(audio_property::kDefaultOutputDevice, -1);
    EXPECT_EQ(AudioDeviceSnapshot::current(hardware), (AudioDeviceSnapshot{}));
}

// --- Listeners ---

TEST_F(DeviceWatchTest, AListenerThatCannotBeInstalledIsLoggedAndTheOthersStillWork) {
    hardware.failListener(audio_property::kDefaultOutputDevice, -5);
    logs.clear();
    watch.install([this](std::string_view name) { names.emplace_back(name); });
    EXPECT_EQ(watch.listenerCount(), 2U);
    EXPECT_EQ(logged(LogLevel::error),
              std::vector<std::string>{"Could not observe device property 1682929012 (OSStatus -5)"});
    hardware.setDefaultOutput(kDisplay);
    hardware.setDefaultInput(kHeadset);
    control.runUntilIdle();
    EXPECT_EQ(names, std::vector<std::string>{"defaultInputDevice"});
}

TEST_F(DeviceWatchTest, AfterRemovalQueuedAndLaterDeviceChangesCauseNoWorkAndNoLines) {
    watchLikeASession();
    EXPECT_EQ(hardware.listenerCount(), std::size(DeviceWatch::kWatchedProperties));
    hardware.setDefaultOutput(kDisplay);  // already queued when the listeners go
    watch.remove();
    EXPECT_EQ(watch.listenerCount(), 0U);
    EXPECT_EQ(hardware.listenerCount(), 0U);
    setDefaults(kHeadset, kHeadset);
    hardware.removeDevice(kDisplay);
    control.runUntilIdle();
    EXPECT_TRUE(names.empty());
    EXPECT_TRUE(logs.entries().empty());
    watch.remove();
}

// --- Handling a notification ---

TEST_F(DeviceWatchTest, SwitchingTheOutputConcernsTheSystemAudioOnly) {
    watchLikeASession();
    clock.advance(seconds(12.25));
    hardware.setDefaultOutput(kDisplay);
    control.runUntilIdle();

    EXPECT_EQ(names, std::vector<std::string>{"defaultOutputDevice"});
    ASSERT_EQ(changes.size(), 1U);
    EXPECT_EQ(changes[0].scope, EndpointScope::systemAudio);
    EXPECT_EQ(changes[0].event.kind, "deviceChange");
    EXPECT_EQ(changes[0].event.detail, "defaultOutputDevice -> systemAudio");
    EXPECT_EQ(changes[0].event.at, SidecarTimestamp::format(clock.now()));
    EXPECT_EQ(logged(LogLevel::notice),
              std::vector<std::string>{"Device change (defaultOutputDevice) -> systemAudio: in BuiltInMic -> "
                                       "BuiltInMic, out BuiltInSpeaker -> HDMIDisplay"});
    EXPECT_EQ(watch.lastSnapshot(), (AudioDeviceSnapshot{"BuiltInMic", "HDMIDisplay"}));
}

TEST_F(DeviceWatchTest, UnpluggingAHeadsetThatHeldBothDefaultsConcernsBoth) {
    setDefaults(kHeadset, kHeadset);
    watchLikeASession();
    hardware.removeDevice(kHeadset);
    setDefaults(kBuiltInMic, kBuiltInSpeaker);
    control.runUntilIdle();

    ASSERT_EQ(changes.size(), 1U);
    EXPECT_EQ(changes[0].scope, (EndpointScope{EndpointScope::microphone, EndpointScope::systemAudio}));
    EXPECT_EQ(changes[0].event.detail, "defaultInputDevice -> both");
    EXPECT_EQ(logged(LogLevel::notice),
              std::vector<std::string>{"Device change (defaultInputDevice) -> both: in USBHeadset -> BuiltInMic, "
                                       "out USBHeadset -> BuiltInSpeaker"});
    // The notifications that follow find the defaults already where they are.
    EXPECT_EQ(names.size(), 5U);
    EXPECT_EQ(logged(LogLevel::debug).size(), 4U);
}

TEST_F(DeviceWatchTest, OurOwnAggregateBecomingTheOutputReadsAsNoOutput) {
    watchLikeASession();
    hardware.setDefaultOutput(kOwnAggregate);
    control.runUntilIdle();
    ASSERT_EQ(changes.size(), 1U);
    EXPECT_EQ(changes[0].scope, EndpointScope::systemAudio);
    EXPECT_TRUE(logs.contains("CaptureSession", "out BuiltInSpeaker -> none"));
    EXPECT_EQ(watch.lastSnapshot().defaultOutputUID, std::nullopt);
}

TEST_F(DeviceWatchTest, ADeviceListChangeAloneOnlyRefreshesTheSnapshot) {
    watchLikeASession();
    addDevice(20, "BluetoothSpeaker");
    control.runUntilIdle();
    EXPECT_EQ(names, std::vector<std::string>{"deviceList"});
    EXPECT_TRUE(changes.empty());
    EXPECT_EQ(logged(LogLevel::debug),
              std::vector<std::string>{"Device notification (deviceList) moved neither default; ignoring"});
    EXPECT_TRUE(logged(LogLevel::notice).empty());
}

TEST_F(DeviceWatchTest, MovesBetweenDevicesWithoutReadableIdentifiersAreSeen) {
    setDefaults(kNamelessA, kBuiltInSpeaker);
    watchLikeASession();
    hardware.setDefaultInput(kNamelessB);
    control.runUntilIdle();
    ASSERT_EQ(changes.size(), 1U);
    EXPECT_EQ(changes[0].scope, EndpointScope::microphone);
    EXPECT_TRUE(logs.contains("CaptureSession", "in deviceID:15 -> deviceID:16"));
}

TEST_F(DeviceWatchTest, EachChangeIsComparedWithTheSnapshotTheLastNotificationLeft) {
    watchLikeASession();
    hardware.setDefaultInput(kHeadset);
    control.runUntilIdle();
    hardware.setDefaultInput(kHeadset);
    control.runUntilIdle();
    hardware.setDefaultInput(kBuiltInMic);
    control.runUntilIdle();
    ASSERT_EQ(changes.size(), 2U);
    EXPECT_EQ(logged(LogLevel::notice),
              (std::vector<std::string>{
                  "Device change (defaultInputDevice) -> microphone: in BuiltInMic -> USBHeadset, out "
                  "BuiltInSpeaker -> BuiltInSpeaker",
                  "Device change (defaultInputDevice) -> microphone: in USBHeadset -> BuiltInMic, out "
                  "BuiltInSpeaker -> BuiltInSpeaker"}));
}

}  // namespace
}  // namespace kavo
