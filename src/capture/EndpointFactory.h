#pragma once

#include <functional>
#include <memory>

#include "audio/EchoCanceller.h"
#include "audio/endpoints/CaptureEndpoint.h"

namespace kavo {

// How a capture session gets its endpoints: a fresh one for every arming and rebuild.
// The application builds the platform's microphone and system tap; tests build fakes.
// The two functions may be called at the same time from different threads.
struct EndpointFactory {
    // The argument says whether the microphone should use voice processing.
    std::function<std::unique_ptr<CaptureEndpoint>(bool voiceProcessing)> makeMicrophone;
    std::function<std::unique_ptr<CaptureEndpoint>()> makeSystemAudio;
    // The echo canceller of the microphone against the system audio, one per capture;
    // empty where the platform has none. May throw; the capture then goes on without.
    std::function<std::unique_ptr<EchoCanceller>()> makeEchoCanceller = {};
};

}  // namespace kavo
