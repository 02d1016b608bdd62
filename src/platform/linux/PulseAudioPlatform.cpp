#include "platform/linux/PulseAudioPlatform.h"

#include "platform/linux/PulseSourceEndpoint.h"
#include "platform/linux/WebRtcEchoCanceller.h"

namespace kavo::linux_platform {

PulseAudioPlatform::PulseAudioPlatform()
    : pulse_(std::make_unique<PulseContext>()),
      devices_(std::make_unique<PulseDeviceWatch>(*pulse_)) {}

EndpointFactory PulseAudioPlatform::endpointFactory() {
    return EndpointFactory{
        .makeMicrophone = [this](bool) -> std::unique_ptr<CaptureEndpoint> {
            return std::make_unique<PulseSourceEndpoint>(*pulse_,
                                                         PulseSourceEndpoint::Role::microphone);
        },
        .makeSystemAudio = [this]() -> std::unique_ptr<CaptureEndpoint> {
            return std::make_unique<PulseSourceEndpoint>(
                *pulse_, PulseSourceEndpoint::Role::systemAudio, monitors());
        },
        .makeEchoCanceller = []() -> std::unique_ptr<EchoCanceller> {
            return std::make_unique<WebRtcEchoCanceller>();
        },
    };
}

std::shared_ptr<PulseMonitorPool> PulseAudioPlatform::monitors() {
    const std::lock_guard lock(monitorsMutex_);
    auto pool = monitors_.lock();
    if (!pool) {
        pool = std::make_shared<PulseMonitorPool>(*pulse_);
        monitors_ = pool;
    }
    return pool;
}

}  // namespace kavo::linux_platform
