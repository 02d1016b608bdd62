#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "audio/endpoints/AudioObjects.h"
#include "audio/endpoints/ListenerRegistration.h"
#include "base/Scheduler.h"

namespace kavo {

// The audio hardware's objects and their properties, as the capture core reads and
// watches them: default devices, device identities, sample rates and tap formats.
// Reads may block briefly; none of them belongs on an audio thread.
class AudioHardware {
public:
    using PropertyListener = std::function<void()>;

    struct ListenerInstallation {
        OSStatus status = kAudioNoError;
        ListenerRegistration registration;  // active only when status is 0
    };

    virtual ~AudioHardware() = default;

    // A device held by a property of `object`: the default input ('dIn ') or output
    // ('dOut') device of the system object. 0 when there is none.
    virtual PropertyRead<AudioObjectID> readDeviceID(
        AudioObjectID object, AudioObjectPropertySelector selector) const = 0;
    // The device's persistent unique identifier ('uid ').
    virtual PropertyRead<std::string> readDeviceUID(AudioObjectID device) const = 0;
    // The unique identifiers of an aggregate device's sub-devices ('grup').
    virtual PropertyRead<std::vector<std::string>> readSubDeviceUIDs(
        AudioObjectID device) const = 0;
    // The device's nominal sample rate in Hz ('nsrt').
    virtual PropertyRead<double> readNominalSampleRate(AudioObjectID device) const = 0;
    // The stream format of a process tap ('tfmt').
    virtual PropertyRead<AudioStreamBasicDescription> readTapFormat(AudioObjectID tap) const = 0;
    // The process object of a process identifier ('id2p' on the system object).
    virtual PropertyRead<AudioObjectID> readProcessObject(std::int32_t processID) const = 0;

    // Calls `listener` on `queue` whenever the property changes, until the registration
    // is removed.
    virtual ListenerInstallation addPropertyListener(AudioObjectID object,
                                                     AudioObjectPropertySelector selector,
                                                     Scheduler& queue,
                                                     PropertyListener listener) = 0;
};

}  // namespace kavo
