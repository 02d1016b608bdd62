#include "support/FakeAudioEngine.h"

#include <algorithm>
#include <utility>

#include "base/Error.h"
#include "support/AudioCallbackScope.h"

namespace kavo::testing {
namespace {

AudioFormat monoFloat(double rate) {
    return {rate, 1, AudioFormat::SampleType::float32, false};
}

}  // namespace

FakeAudioEngine::FakeAudioEngine(const Clock& clock, double routeRate)
    : clock_(clock),
      inputInput_(monoFloat(routeRate)),
      inputOutput_(monoFloat(routeRate)),
      outputInput_({48'000, 2, AudioFormat::SampleType::float32, false}),
      outputOutput_({48'000, 2, AudioFormat::SampleType::float32, false}) {}

FakeAudioEngine::~FakeAudioEngine() {
    takeSignal().reset();
}

void FakeAudioEngine::setRouteRate(double rate) {
    std::lock_guard lock(mutex_);
    inputInput_ = monoFloat(rate);
    inputOutput_ = monoFloat(rate);
}

void FakeAudioEngine::setInputNodeFormats(AudioFormat input, AudioFormat output) {
    std::lock_guard lock(mutex_);
    inputInput_ = input;
    inputOutput_ = output;
}

void FakeAudioEngine::moveRoute(double rate) {
    setRouteRate(rate);
    postConfigurationChange();
}

void FakeAudioEngine::postConfigurationChange() {
    std::vector<std::shared_ptr<std::function<void()>>> handlers;
    {
        std::lock_guard lock(observers_->mutex);
        for (const auto& observer : observers_->list) handlers.push_back(observer.handler);
    }
    for (const auto& handler : handlers) (*handler)();
}

void FakeAudioEngine::refuseVoiceProcessing(std::string reason) {
    std::lock_guard lock(mutex_);
    voiceProcessingRefusal_ = std::move(reason);
}

void FakeAudioEngine::failNextStart(std::string reason) {
    std::lock_guard lock(mutex_);
    startFailure_ = std::move(reason);
}

void FakeAudioEngine::setRenderRate(std::optional<double> rate) {
    std::lock_guard lock(mutex_);
    renderRate_ = rate;
}

void FakeAudioEngine::setInputDevice(AudioObjectID device) {
    std::lock_guard lock(mutex_);
    inputDevice_ = device;
}

void FakeAudioEngine::setStream(Waveform waveform, double clockOffsetPpm,
                                std::int64_t framesPerBuffer, bool hostTimeValid) {
    std::lock_guard lock(mutex_);
    waveform_ = std::move(waveform);
    clockOffsetPpm_ = clockOffsetPpm;
    framesPerBuffer_ = framesPerBuffer;
    hostTimeValid_ = hostTimeValid;
}

void FakeAudioEngine::setPacing(SignalThread::Pacing pacing) {
    std::lock_guard lock(mutex_);
    pacing_ = pacing;
}

bool FakeAudioEngine::deliverNow(const std::vector<float>& interleaved, std::uint32_t channels,
                                 AudioTimeStamp time) {
    {
        std::lock_guard lock(mutex_);
        if (!running_) return false;
    }
    const AudioBuffer buffer{channels,
                             static_cast<std::uint32_t>(interleaved.size() * sizeof(float)),
                             interleaved.data()};
    std::lock_guard delivery(deliveryMutex_);
    if (!tap_) return false;
    AudioCallbackScope scope;
    tap_(AudioBufferList{std::span<const AudioBuffer>(&buffer, 1)}, time);
    return true;
}

void FakeAudioEngine::deliverUntil(std::uint64_t hostTime) {
    std::lock_guard lock(mutex_);
    if (signal_) signal_->deliverUntil(hostTime);
}

void FakeAudioEngine::deliverBuffers(std::int64_t count) {
    std::lock_guard lock(mutex_);
    if (signal_) signal_->deliverBuffers(count);
}

std::uint64_t FakeAudioEngine::hostTimeOfFrame(std::int64_t frame) const {
    std::lock_guard lock(mutex_);
    return signal_ ? signal_->hostTimeOfFrame(frame) : 0;
}

bool FakeAudioEngine::tapInstalled() const {
    std::lock_guard lock(deliveryMutex_);
    return static_cast<bool>(tap_);
}

std::uint32_t FakeAudioEngine::tapBufferFrames() const {
    std::lock_guard lock(mutex_);
    return tapBufferFrames_;
}

std::optional<AudioFormat> FakeAudioEngine::tapFormat() const {
    std::lock_guard lock(mutex_);
    return tapFormat_;
}

std::vector<std::optional<AudioFormat>> FakeAudioEngine::connections() const {
    std::lock_guard lock(mutex_);
    return connections_;
}

std::optional<AudioEngine::DuckingConfiguration> FakeAudioEngine::ducking() const {
    std::lock_guard lock(mutex_);
    return ducking_;
}

int FakeAudioEngine::startCount() const {
    std::lock_guard lock(mutex_);
    return starts_;
}

int FakeAudioEngine::stopCount() const {
    std::lock_guard lock(mutex_);
    return stops_;
}

std::size_t FakeAudioEngine::observerCount() const {
    std::lock_guard lock(observers_->mutex);
    return observers_->list.size();
}

void FakeAudioEngine::setVoiceProcessingEnabled(bool enabled) {
    std::lock_guard lock(mutex_);
    if (enabled && !voiceProcessingRefusal_.empty()) throw Error(voiceProcessingRefusal_);
    voiceProcessing_ = enabled;
}

bool FakeAudioEngine::isVoiceProcessingEnabled() const {
    std::lock_guard lock(mutex_);
    return voiceProcessing_;
}

void FakeAudioEngine::setOtherAudioDucking(const DuckingConfiguration& configuration) {
    std::lock_guard lock(mutex_);
    ducking_ = configuration;
}

AudioFormat FakeAudioEngine::inputNodeInputFormat() const {
    std::lock_guard lock(mutex_);
    return inputInput_;
}

AudioFormat FakeAudioEngine::inputNodeOutputFormat() const {
    std::lock_guard lock(mutex_);
    return inputOutput_;
}

AudioFormat FakeAudioEngine::outputNodeInputFormat() const {
    std::lock_guard lock(mutex_);
    return outputInput_;
}

AudioFormat FakeAudioEngine::outputNodeOutputFormat() const {
    std::lock_guard lock(mutex_);
    return outputOutput_;
}

void FakeAudioEngine::connectMainMixerToOutput(const std::optional<AudioFormat>& format) {
    std::lock_guard lock(mutex_);
    connections_.push_back(format);
    if (!format) {
        outputInput_ = outputOutput_;
        return;
    }
    outputInput_ = *format;
    if (renderRate_) outputInput_.sampleRate = *renderRate_;
}

void FakeAudioEngine::installInputTap(std::uint32_t bufferFrames, const AudioFormat& format,
                                      TapBlock block) {
    {
        std::lock_guard lock(mutex_);
        tapBufferFrames_ = bufferFrames;
        tapFormat_ = format;
    }
    std::lock_guard delivery(deliveryMutex_);
    tap_ = std::move(block);
}

void FakeAudioEngine::removeInputTap() {
    std::lock_guard delivery(deliveryMutex_);
    tap_ = nullptr;
}

AudioObjectID FakeAudioEngine::inputDevice() const {
    std::lock_guard lock(mutex_);
    return inputDevice_;
}

void FakeAudioEngine::start() {
    std::lock_guard lock(mutex_);
    if (!startFailure_.empty()) throw Error(std::exchange(startFailure_, {}));
    running_ = true;
    ++starts_;
    if (!tapFormat_ || signal_) return;
    DeviceStream stream{.sampleRate = tapFormat_->sampleRate,
                        .channels = tapFormat_->channelCount,
                        .interleaved = tapFormat_->interleaved || tapFormat_->channelCount == 1,
                        .framesPerBuffer = framesPerBuffer_,
                        .clockOffsetPpm = clockOffsetPpm_,
                        .hostTimeValid = hostTimeValid_,
                        .waveform = waveform_};
    signal_ = std::make_unique<SignalThread>(
        std::move(stream), clock_, pacing_,
        [this](const AudioBufferList& buffers, const AudioTimeStamp& time) {
            std::lock_guard delivery(deliveryMutex_);
            if (tap_) tap_(buffers, time);
        });
}

std::unique_ptr<SignalThread> FakeAudioEngine::takeSignal() {
    std::lock_guard lock(mutex_);
    return std::move(signal_);
}

void FakeAudioEngine::stop() {
    // Joined outside the lock: a delivery under way may still be reading the tap.
    takeSignal().reset();
    std::lock_guard lock(mutex_);
    if (running_) ++stops_;
    running_ = false;
}

bool FakeAudioEngine::isRunning() const {
    std::lock_guard lock(mutex_);
    return running_;
}

ListenerRegistration FakeAudioEngine::observeConfigurationChanges(std::function<void()> handler) {
    std::lock_guard lock(observers_->mutex);
    const std::uint64_t id = observers_->nextID++;
    observers_->list.push_back({id, std::make_shared<std::function<void()>>(std::move(handler))});
    return ListenerRegistration([weak = std::weak_ptr<Observers>(observers_), id] {
        if (const auto observers = weak.lock()) {
            std::lock_guard observersLock(observers->mutex);
            std::erase_if(observers->list, [id](const Observer& o) { return o.id == id; });
        }
    });
}

}  // namespace kavo::testing
