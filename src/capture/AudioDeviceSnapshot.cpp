#include "capture/AudioDeviceSnapshot.h"

#include <string_view>

namespace kavo {
namespace {

// Devices this application makes (the system tap's aggregate devices among them) carry
// identifiers under its own name and are never a device of the user's.
constexpr std::string_view kOwnDevicePrefix = "brindle.meetings.desktop.";

}  // namespace

std::optional<std::string> defaultDeviceUID(const AudioHardware& hardware,
                                            AudioObjectPropertySelector selector) {
    const auto device = hardware.readDeviceID(kAudioObjectSystemObject, selector);
    if (!device.ok() || device.value == kAudioObjectUnknown) return std::nullopt;
    const auto uid = hardware.readDeviceUID(device.value);
    if (!uid.ok()) return "deviceID:" + std::to_string(device.value);
    if (uid.value.starts_with(kOwnDevicePrefix)) return std::nullopt;
    return uid.value;
}

AudioDeviceSnapshot AudioDeviceSnapshot::current(const AudioHardware& hardware) {
    return {defaultDeviceUID(hardware, audio_property::kDefaultInputDevice),
            defaultDeviceUID(hardware, audio_property::kDefaultOutputDevice)};
}

}  // namespace kavo
