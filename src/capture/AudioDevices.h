#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "audio/endpoints/ListenerRegistration.h"

namespace kavo {

// The default input and output devices by name, as a capture last saw them. An absent
// input means no microphone: none at all, or only a device that records what another
// plays (a monitor), which must never stand in for one.
struct AudioDeviceSnapshot {
    std::optional<std::string> defaultInputUID;
    std::optional<std::string> defaultOutputUID;
    // The default output plays into the user's ears (a headset or headphones): the
    // microphone hears none of it, so there is no echo to cancel.
    bool outputIsPersonal = false;

    bool operator==(const AudioDeviceSnapshot&) const = default;
};

// The computer's audio devices as a capture watches them: the defaults now, and news when
// they may have moved. The platform's device watch is one; unit tests use a fake.
class AudioDevices {
public:
    // What may have moved: "defaultInputDevice", "defaultOutputDevice" or "deviceList".
    using Notify = std::function<void(std::string_view what)>;

    virtual ~AudioDevices() = default;

    // The defaults now; may block on the platform.
    virtual AudioDeviceSnapshot defaults() const = 0;
    // Calls `notify` on a thread of the watch's own, where defaults() may be called, until
    // the registration goes.
    virtual ListenerRegistration observe(Notify notify) = 0;
};

}  // namespace kavo
