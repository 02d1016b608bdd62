#include "platform/linux/PulseSourceEndpoint.h"

#include <array>

#include "audio/AudioBufferList.h"

namespace kavo::linux_platform {
namespace {

// Half a second of frames: far above the most a stream hands over at once.
constexpr std::uint32_t kDownmixMilliseconds = 500;

}  // namespace

PulseSourceEndpoint::PulseSourceEndpoint(PulseContext& pulse, Role role,
                                         std::shared_ptr<PulseMonitorPool> monitors)
    : pulse_(pulse),
      role_(role),
      receiver_{.onData = [this](const float* samples, std::size_t frames,
                                 std::uint64_t hostTime) { deliver(samples, frames, hostTime); },
                .onFailed = [this] { signal_.raise(EndpointRebuildReason::deviceChanged); }},
      monitors_(role == Role::systemAudio && !monitors ? std::make_shared<PulseMonitorPool>(pulse)
                                                       : std::move(monitors)),
      signal_([this](EndpointRebuildReason reason) { handOn(reason); }) {}

PulseSourceEndpoint::~PulseSourceEndpoint() {
    stop();
}

double PulseSourceEndpoint::prepare() {
    const auto server = pulse_.serverInfo();
    if (!server) throw PulseError("No audio server is running on this computer");
    std::optional<PulseDeviceInfo> source;
    if (role_ == Role::microphone) {
        source = pulse_.sourceInfo(server->defaultSourceName);
        if (!source || source->monitorOfSink != PA_INVALID_INDEX) {
            log_.notice("No microphone on this computer (default source {}); recording silence",
                        server->defaultSourceName.empty() ? "none" : server->defaultSourceName);
            source_.reset();
            return kSilentRate;
        }
    } else {
        const auto sink = pulse_.sinkInfo(server->defaultSinkName);
        if (!sink) throw PulseError("This computer has no audio output to record");
        source = pulse_.sourceInfo(sink->monitorSourceName);
        if (!source) throw PulseError("The audio output " + sink->name + " cannot be recorded");
    }
    source_ = source;
    rate_ = source->rate;
    channels_ = source->channels;
    if (rate_ == 0 || channels_ == 0)
        throw PulseError("The audio source " + source->name + " has no usable format");
    downmixer_ = std::make_unique<MonoDownmixer>(rate_ * kDownmixMilliseconds / 1000);
    return rate_;
}

void PulseSourceEndpoint::start(Sink sink) {
    if (stream_ || attached_ || !source_) return;
    sink_ = std::move(sink);
    try {
        if (role_ == Role::systemAudio) {
            monitors_->attach(*source_, receiver_);
            attached_ = true;
        } else {
            stream_ = std::make_unique<PulseRecordStream>(
                pulse_,
                PulseRecordStream::Options{.sourceName = source_->name,
                                           .rate = rate_,
                                           .channels = channels_,
                                           .dontMove = true,
                                           .streamName = "Kavo Meetings microphone"},
                receiver_.onData, [this](PulseRecordStream::Event event) {
                    if (event == PulseRecordStream::Event::failed) receiver_.onFailed();
                });
        }
    } catch (...) {
        sink_ = nullptr;
        throw;
    }
    log_.info("Recording {} from {} at {} Hz, {} channels",
              role_ == Role::microphone ? "the microphone" : "the system audio", source_->name,
              rate_, channels_);
}

void PulseSourceEndpoint::deliver(const float* samples, std::size_t frames,
                                  std::uint64_t hostTime) noexcept {
    const std::array<AudioBuffer, 1> buffers{AudioBuffer{
        channels_, static_cast<std::uint32_t>(frames * channels_ * sizeof(float)), samples}};
    const std::span<const float> mono = downmixer_->downmix(AudioBufferList{buffers});
    if (!mono.empty()) sink_(mono.data(), static_cast<std::int64_t>(mono.size()), hostTime);
}

void PulseSourceEndpoint::stop() {
    // No callback runs once the stream is gone or the pool feeds another.
    stream_.reset();
    if (std::exchange(attached_, false)) monitors_->detach(receiver_);
    sink_ = nullptr;
}

void PulseSourceEndpoint::setOnNeedsRebuild(RebuildHandler handler) {
    std::lock_guard lock(handlerMutex_);
    onNeedsRebuild_ = std::move(handler);
}

CaptureEndpoint::RebuildHandler PulseSourceEndpoint::onNeedsRebuild() const {
    std::lock_guard lock(handlerMutex_);
    return onNeedsRebuild_;
}

void PulseSourceEndpoint::handOn(EndpointRebuildReason reason) {
    log_.error("Recording from {} failed; rebuilding", source_ ? source_->name : "none");
    if (const RebuildHandler handler = onNeedsRebuild()) handler(reason);
}

}  // namespace kavo::linux_platform
