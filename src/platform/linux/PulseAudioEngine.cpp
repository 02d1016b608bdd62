#include "platform/linux/PulseAudioEngine.h"

#include <utility>

namespace kavo::linux_platform {

PulseAudioEngine::PulseAudioEngine(PulseContext& pulse, PulseAudioHardware& hardware)
    : pulse_(pulse), hardware_(hardware) {
    // A source that changes (its rate, its port, its suspension) or goes may change what
    // the running stream records; the recorder reads the route again and decides.
    sourceEvents_ =
        pulse_.addEventListener([this](pa_subscription_event_type_t facility,
                                       pa_subscription_event_type_t kind, std::uint32_t) {
            if (facility == PA_SUBSCRIPTION_EVENT_SOURCE && kind != PA_SUBSCRIPTION_EVENT_NEW &&
                running_.load()) {
                postConfigurationChange();
            }
        });
}

PulseAudioEngine::~PulseAudioEngine() {
    sourceEvents_.remove();
    stop();
    {
        std::lock_guard lock(observers_->mutex);
        observers_->handler = nullptr;
    }
}

void PulseAudioEngine::setVoiceProcessingEnabled(bool enabled) {
    if (enabled) throw Error("Voice processing is not available with this audio server");
}

std::optional<PulseDeviceInfo> PulseAudioEngine::bindLocked() const {
    if (stream_ && bound_) {
        if (auto live = pulse_.sourceInfo(bound_->name)) bound_ = std::move(live);
        return bound_;
    }
    bound_.reset();
    if (const auto name = hardware_.defaultSourceName()) bound_ = pulse_.sourceInfo(*name);
    return bound_;
}

AudioFormat PulseAudioEngine::boundFormat() const {
    std::lock_guard lock(mutex_);
    const auto source = bindLocked();
    if (!source) return AudioFormat{0, 0, AudioFormat::SampleType::float32, true};
    return AudioFormat{static_cast<double>(source->rate), source->channels,
                       AudioFormat::SampleType::float32, true};
}

AudioFormat PulseAudioEngine::inputNodeInputFormat() const {
    return boundFormat();
}

AudioFormat PulseAudioEngine::inputNodeOutputFormat() const {
    return boundFormat();
}

// There is no output graph: the microphone is recorded and nothing is played.
AudioFormat PulseAudioEngine::outputNodeInputFormat() const {
    return boundFormat();
}

AudioFormat PulseAudioEngine::outputNodeOutputFormat() const {
    return boundFormat();
}

void PulseAudioEngine::installInputTap(std::uint32_t /*bufferFrames*/, const AudioFormat& format,
                                       TapBlock block) {
    std::lock_guard lock(mutex_);
    tapFormat_ = format;
    tap_ = std::make_shared<TapBlock>(std::move(block));
}

std::unique_ptr<PulseRecordStream> PulseAudioEngine::takeStream() {
    std::lock_guard lock(mutex_);
    running_.store(false);
    return std::move(stream_);
}

void PulseAudioEngine::removeInputTap() {
    // Dropping the stream waits out a delivery under way.
    takeStream().reset();
    std::lock_guard lock(mutex_);
    tap_.reset();
    tapFormat_.reset();
}

AudioObjectID PulseAudioEngine::inputDevice() const {
    std::lock_guard lock(mutex_);
    return bound_ ? hardware_.sourceID(bound_->name) : kAudioObjectUnknown;
}

void PulseAudioEngine::prepare() {}

void PulseAudioEngine::start() {
    std::lock_guard lock(mutex_);
    if (stream_) return;
    if (!tap_ || !tapFormat_) throw PulseError("The microphone has no tap installed");
    if (!bound_) bindLocked();
    if (!bound_) throw PulseError("There is no microphone: the audio server has no default input");
    const auto channels =
        tapFormat_->channelCount != 0 ? tapFormat_->channelCount : bound_->channels;
    const auto rate = tapFormat_->sampleRate > 0
                          ? static_cast<std::uint32_t>(tapFormat_->sampleRate)
                          : bound_->rate;
    stream_ = std::make_unique<PulseRecordStream>(
        pulse_,
        PulseRecordStream::Options{.sourceName = bound_->name,
                                   .rate = rate,
                                   .channels = channels,
                                   .dontMove = false,
                                   .streamName = "Kavo Meetings microphone"},
        [tap = tap_](const AudioBufferList& buffers, const AudioTimeStamp& time) {
            (*tap)(buffers, time);
        },
        [this](PulseRecordStream::Event) { postConfigurationChange(); });
    running_.store(true);
    log_.info("Microphone recording from {} at {} Hz, {} ch", bound_->name, rate, channels);
}

void PulseAudioEngine::stop() {
    takeStream().reset();
    std::lock_guard lock(mutex_);
    bound_.reset();
}

bool PulseAudioEngine::isRunning() const {
    return running_.load();
}

std::string PulseAudioEngine::boundSource() const {
    std::lock_guard lock(mutex_);
    return bound_ ? bound_->name : std::string{};
}

ListenerRegistration PulseAudioEngine::observeConfigurationChanges(std::function<void()> handler) {
    {
        std::lock_guard lock(observers_->mutex);
        observers_->handler = std::move(handler);
    }
    return ListenerRegistration([observers = observers_] {
        std::lock_guard lock(observers->mutex);
        observers->handler = nullptr;
    });
}

void PulseAudioEngine::postConfigurationChange() {
    notifier_.post([observers = observers_] {
        std::function<void()> handler;
        {
            std::lock_guard lock(observers->mutex);
            handler = observers->handler;
        }
        if (handler) handler();
    });
}

}  // namespace kavo::linux_platform
