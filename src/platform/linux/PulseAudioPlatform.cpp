#include "platform/linux/PulseAudioPlatform.h"

#include <unistd.h>

#include "audio/endpoints/MicRecorder.h"
#include "audio/endpoints/SystemAudioTap.h"
#include "platform/linux/PulseAudioEngine.h"

namespace kavo::linux_platform {

PulseAudioPlatform::PulseAudioPlatform(const Clock& clock, Scheduler& utility)
    : clock_(clock),
      utility_(utility),
      pulse_(std::make_unique<PulseContext>()),
      hardware_(std::make_unique<PulseAudioHardware>(*pulse_)),
      taps_(std::make_unique<PulseProcessTapHardware>(*pulse_, *hardware_)),
      ownProcess_(
          std::make_unique<OwnProcessObject>(*hardware_, static_cast<std::int32_t>(::getpid()))) {}

PulseAudioPlatform::~PulseAudioPlatform() {
    ownProcess_.reset();
    taps_.reset();
    hardware_.reset();
    pulse_.reset();
}

EndpointFactory PulseAudioPlatform::endpointFactory() {
    return EndpointFactory{
        .makeMicrophone = [this](bool voiceProcessing) -> std::unique_ptr<CaptureEndpoint> {
            return std::make_unique<MicRecorder>(
                voiceProcessing, std::make_unique<PulseAudioEngine>(*pulse_, *hardware_),
                *hardware_, clock_, utility_);
        },
        .makeSystemAudio = [this]() -> std::unique_ptr<CaptureEndpoint> {
            return std::make_unique<SystemAudioTap>(
                SystemAudioTap::Platform{*hardware_, *taps_, *ownProcess_, clock_});
        },
    };
}

}  // namespace kavo::linux_platform
