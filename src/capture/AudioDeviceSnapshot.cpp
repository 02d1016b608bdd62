#include "capture/AudioDeviceSnapshot.h"

#include "audio/endpoints/SystemAudioTap.h"

namespace kavo {

std::optional<std::string> defaultDeviceUID(const AudioHardware& hardware,
                                            AudioObjectPropertySelector selector) {
    const auto device = hardware.readDeviceID(kAudioObjectSystemObject, selector);
    if (!device.ok() || device.value == kAudioObjectUnknown) return std::nullopt;
    const auto uid = hardware.readDeviceUID(device.value);
    if (!uid.ok()) return "deviceID:" + std::to_string(device.value);
    // The system tap's own aggregate device is never a device of the user's.
    if (uid.value.starts_with(SystemAudioTap::kAggregateUIDPrefix)) return std::nullopt;
    return uid.value;
}

AudioDeviceSnapshot AudioDeviceSnapshot::current(const AudioHardware& hardware) {
    return {defaultDeviceUID(hardware, audio_property::kDefaultInputDevice),
            defaultDeviceUID(hardware, audio_property::kDefaultOutputDevice)};
}

}  // namespace kavo
