#pragma once

#include <memory>
#include <mutex>

#include "capture/EndpointFactory.h"
#include "platform/linux/PulseContext.h"
#include "platform/linux/PulseDeviceWatch.h"
#include "platform/linux/PulseMonitorPool.h"

namespace kavo::linux_platform {

// The program's audio platform on the audio server: the one connection, the watch of its
// default devices, and the endpoints a capture session asks for. Everything handed out
// must be gone before this is.
class PulseAudioPlatform {
public:
    // Connects; throws PulseError naming the cause when there is no server.
    PulseAudioPlatform();
    PulseAudioPlatform(const PulseAudioPlatform&) = delete;
    PulseAudioPlatform& operator=(const PulseAudioPlatform&) = delete;
    ~PulseAudioPlatform() = default;

    PulseContext& pulse() { return *pulse_; }
    PulseDeviceWatch& devices() { return *devices_; }

    // The default source as the microphone (raw: the echo is cancelled in the mixer, so
    // the argument is not used), the monitor of the default sink as the system audio, and
    // the WebRTC echo canceller. The system audio endpoints alive at one time share one
    // pool of monitor recordings.
    EndpointFactory endpointFactory();

private:
    std::shared_ptr<PulseMonitorPool> monitors();

    std::mutex monitorsMutex_;
    std::weak_ptr<PulseMonitorPool> monitors_;
    std::unique_ptr<PulseContext> pulse_;
    std::unique_ptr<PulseDeviceWatch> devices_;
};

}  // namespace kavo::linux_platform
