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
            return std::make_unique<PulseSourceEndpoint>(*pulse_,
                                                         PulseSourceEndpoint::Role::systemAudio);
        },
        .makeEchoCanceller = []() -> std::unique_ptr<EchoCanceller> {
            return std::make_unique<WebRtcEchoCanceller>();
        },
    };
}

}  // namespace kavo::linux_platform
