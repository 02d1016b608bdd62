#pragma once

#include <optional>
#include <string>

#include "audio/endpoints/AudioHardware.h"

namespace kavo {

// The default input and output devices by unique identifier, as a capture last saw them.
// An absent identifier means no device, or a device this application made itself (such
// as the system tap's aggregate device).
struct AudioDeviceSnapshot {
    std::optional<std::string> defaultInputUID;
    std::optional<std::string> defaultOutputUID;

    bool operator==(const AudioDeviceSnapshot&) const = default;

    // Reads both defaults now.
    static AudioDeviceSnapshot current(const AudioHardware& hardware);
};

// The identifier of the default device for 'dIn ' or 'dOut'. A device whose identifier
// cannot be read is named "deviceID:" and its number, so that a move between two such
// devices is still seen.
std::optional<std::string> defaultDeviceUID(const AudioHardware& hardware,
                                            AudioObjectPropertySelector selector);

}  // namespace kavo
