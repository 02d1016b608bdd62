#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "audio/endpoints/AudioHardware.h"
#include "audio/endpoints/AudioObjects.h"

namespace kavo {

namespace audio_property {
inline constexpr AudioObjectPropertySelector kProcessObjectList = fourCharCode("prs#");
inline constexpr AudioObjectPropertySelector kProcessBundleID = fourCharCode("pbid");
inline constexpr AudioObjectPropertySelector kProcessIsRunningInput = fourCharCode("piri");
}  // namespace audio_property

// The audio hardware's processes, as the conference monitor reads and watches them: the
// list of processes using audio, each one's bundle identifier and whether it is running
// audio input right now.
class AudioProcessList {
public:
    virtual ~AudioProcessList() = default;

    // The process objects of the system ('prs#'), in the system's order.
    virtual PropertyRead<std::vector<AudioObjectID>> readProcessObjects() const = 0;
    // The process object of a process identifier ('id2p'); 0 when there is none.
    virtual PropertyRead<AudioObjectID> readProcessObject(std::int32_t processID) const = 0;
    // The bundle identifier of a process ('pbid').
    virtual PropertyRead<std::string> readBundleIdentifier(AudioObjectID process) const = 0;
    // Non-zero while the process runs audio input ('piri').
    virtual PropertyRead<std::uint32_t> readIsRunningInput(AudioObjectID process) const = 0;

    // Calls `listener` on `queue` whenever the property changes ('prs#' on the system
    // object, 'piri' on a process), until the registration is removed.
    virtual AudioHardware::ListenerInstallation addPropertyListener(
        AudioObjectID object, AudioObjectPropertySelector selector, Scheduler& queue,
        AudioHardware::PropertyListener listener) = 0;
};

}  // namespace kavo
