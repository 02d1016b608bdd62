#include "platform/linux/WebRtcEchoCanceller.h"

#include <fmt/format.h>
#include <webrtc/modules/audio_processing/include/audio_processing.h>

#include <algorithm>

namespace kavo::linux_platform {
namespace {

void check(int status, const char* step) {
    if (status != webrtc::AudioProcessing::kNoError) {
        throw EchoCancellerError(
            fmt::format("Echo cancellation could not be set up ({}: error {})", step, status));
    }
}

}  // namespace

WebRtcEchoCanceller::WebRtcEchoCanceller() {
    // The module's configuration takes ownership of the options it is given.
    webrtc::Config config;
    config.Set<webrtc::ExtendedFilter>(new webrtc::ExtendedFilter(true));
    config.Set<webrtc::DelayAgnostic>(new webrtc::DelayAgnostic(true));
    config.Set<webrtc::ExperimentalAgc>(new webrtc::ExperimentalAgc(false));
    processing_.reset(webrtc::AudioProcessing::Create(config));
    if (!processing_) throw EchoCancellerError("Echo cancellation could not be set up");

    const webrtc::StreamConfig mono(kSampleRate, 1);
    check(processing_->Initialize({{mono, mono, mono, mono}}), "initialize");
    webrtc::EchoCancellation& echo = *processing_->echo_cancellation();
    check(echo.enable_drift_compensation(false), "drift compensation");
    check(echo.set_suppression_level(webrtc::EchoCancellation::kLowSuppression),
          "suppression level");
    check(echo.Enable(true), "enable");
}

WebRtcEchoCanceller::~WebRtcEchoCanceller() = default;

void WebRtcEchoCanceller::process(float* nearEnd, const float* farEnd) noexcept {
    const webrtc::StreamConfig mono(kSampleRate, 1);
    if (!reportedDelay_) {
        delay_.add(nearEnd, farEnd);
        const auto estimate = delay_.delayMilliseconds();
        if (!estimate) return;
        reportedDelay_ = std::max(0, *estimate - kDelayMarginMs);
    }
    std::copy_n(farEnd, kFrameSize, far_.data());
    float* far = far_.data();
    processing_->ProcessReverseStream(&far, mono, mono, &far);
    processing_->set_stream_delay_ms(*reportedDelay_);
    processing_->ProcessStream(&nearEnd, mono, mono, &nearEnd);
}

}  // namespace kavo::linux_platform
