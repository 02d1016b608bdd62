#pragma once

#include <memory>

#include "audio/endpoints/OwnProcessObject.h"
#include "base/Clock.h"
#include "base/Scheduler.h"
#include "capture/EndpointFactory.h"
#include "platform/linux/PulseAudioHardware.h"
#include "platform/linux/PulseContext.h"
#include "platform/linux/PulseProcessTapHardware.h"

namespace kavo::linux_platform {

// The program's audio platform on the audio server: the one connection, the hardware and
// taps made through it, and the endpoints a capture session asks for. Everything handed
// out must be gone before this is.
class PulseAudioPlatform {
public:
    // Connects; throws PulseError naming the cause when there is no server. `clock` and
    // `utility` (where the microphone's diagnostics run) outlive the platform.
    PulseAudioPlatform(const Clock& clock, Scheduler& utility);
    PulseAudioPlatform(const PulseAudioPlatform&) = delete;
    PulseAudioPlatform& operator=(const PulseAudioPlatform&) = delete;
    ~PulseAudioPlatform();

    PulseContext& pulse() { return *pulse_; }
    PulseAudioHardware& hardware() { return *hardware_; }
    PulseProcessTapHardware& taps() { return *taps_; }

    // A raw microphone (voice processing is not available, and says so) and the system
    // audio of the default output.
    EndpointFactory endpointFactory();

private:
    const Clock& clock_;
    Scheduler& utility_;
    std::unique_ptr<PulseContext> pulse_;
    std::unique_ptr<PulseAudioHardware> hardware_;
    std::unique_ptr<PulseProcessTapHardware> taps_;
    std::unique_ptr<OwnProcessObject> ownProcess_;
};

}  // namespace kavo::linux_platform
