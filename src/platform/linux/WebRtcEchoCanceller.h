#pragma once

#include <array>
#include <memory>
#include <optional>

#include "audio/EchoCanceller.h"
#include "audio/EchoDelayEstimator.h"
#include "base/Error.h"

namespace webrtc {
class AudioProcessing;
}

namespace kavo::linux_platform {

// The echo canceller could not be set up; the recording then goes on without it.
class EchoCancellerError : public Error {
public:
    using Error::Error;
};

// Echo cancellation by the WebRTC audio processing module: its full canceller, which
// tracks the echo's delay by itself (the speakers play what the reference shows a
// server buffer later, and that buffer differs between devices) and adapts a filter long
// enough for a room's reverberation. Left alone it takes many seconds to find a delay
// beyond about 100 ms, and it heeds a reported delay only as it starts: so the module
// starts once a coarse estimate of ours has seen the delay in the first second or so of
// the far side's speech, and is told that delay. Until then the microphone passes
// unchanged. Nothing else of the module is on: no noise suppression, no gain control.
class WebRtcEchoCanceller final : public EchoCanceller {
public:
    static constexpr int kSampleRate = 16'000;
    // The filter reaches this far before the estimated delay.
    static constexpr int kDelayMarginMs = 20;

    // Throws EchoCancellerError.
    WebRtcEchoCanceller();
    WebRtcEchoCanceller(const WebRtcEchoCanceller&) = delete;
    WebRtcEchoCanceller& operator=(const WebRtcEchoCanceller&) = delete;
    ~WebRtcEchoCanceller() override;

    void process(float* nearEnd, const float* farEnd) noexcept override;

private:
    std::unique_ptr<webrtc::AudioProcessing> processing_;
    // The module takes arrays of channels; the reference it may not change is copied.
    std::array<float, kFrameSize> far_{};
    EchoDelayEstimator delay_;
    std::optional<int> reportedDelay_;
};

}  // namespace kavo::linux_platform
