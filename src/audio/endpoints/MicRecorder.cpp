#include "audio/endpoints/MicRecorder.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <string>
#include <vector>

namespace kavo {
namespace {

// A quarter of a second of frames: far above any tap buffer, allocated before the tap
// exists.
std::int64_t downmixCapacity(double rate) {
    return static_cast<std::int64_t>(std::floor(rate * 0.25));
}

bool usableRate(double rate) {
    return std::isfinite(rate) && rate > 0;
}

std::string uidText(const PropertyRead<std::string>& uid) {
    return uid.ok() ? uid.value : "none";
}

}  // namespace

MicRecorder::MicRecorder(bool voiceProcessing, std::unique_ptr<AudioEngine> engine,
                         const AudioHardware& hardware, const Clock& clock, Scheduler& utility)
    : voiceProcessingRequested_(voiceProcessing),
      engine_(std::move(engine)),
      hardware_(hardware),
      clock_(clock),
      utility_(utility),
      lifeline_(std::make_shared<Lifeline>()),
      signal_([this](EndpointRebuildReason reason) { handOn(reason); }) {
    lifeline_->owner = this;
}

MicRecorder::~MicRecorder() {
    std::lock_guard lock(lifeline_->mutex);
    stopLocked();
    lifeline_->owner = nullptr;
}

double MicRecorder::prepare() {
    std::lock_guard lock(lifeline_->mutex);
    if (voiceProcessingRequested_) {
        try {
            engine_->setVoiceProcessingEnabled(true);
            engine_->setOtherAudioDucking(AudioEngine::DuckingConfiguration{
                .enableAdvancedDucking = false,
                .duckingLevel = AudioEngine::DuckingConfiguration::kLevelMin});
            voiceProcessingActive_ = true;
        } catch (const std::exception& error) {
            log_.notice("Voice processing unavailable ({}); capturing raw microphone",
                        error.what());
        }
    }
    routeRate_ = currentRouteRate();

    AudioFormat tap;
    if (voiceProcessingActive_) {
        tap = buildVoiceGraph(routeRate_);
    } else {
        engine_->connectMainMixerToOutput(std::nullopt);
        tap = engine_->inputNodeOutputFormat();
    }
    if (!usableRate(tap.sampleRate)) throw MicError::formatUnsupported(tap);
    tapFormat_ = tap;
    downmixer_ = std::make_unique<MonoDownmixer>(downmixCapacity(tap.sampleRate));
    return tap.sampleRate;
}

void MicRecorder::start(Sink sink) {
    std::lock_guard lock(lifeline_->mutex);
    if (running_) return;
    if (!tapFormat_ || !downmixer_) throw MicError::notPrepared();

    sink_ = std::move(sink);
    resetLiveness();
    MonoDownmixer* downmixer = downmixer_.get();
    const auto framesPerSecond = static_cast<std::int64_t>(std::floor(tapFormat_->sampleRate));
    // The engine stops calling before removeInputTap() returns, and the recorder removes
    // the tap before it goes, so the block never outlives it.
    engine_->installInputTap(kTapBufferFrames, *tapFormat_,
                             [this, downmixer, framesPerSecond](const AudioBufferList& buffers,
                                                                const AudioTimeStamp& time) {
                                 deliver(*downmixer, framesPerSecond, buffers, time);
                             });
    try {
        engine_->prepare();
        engine_->start();
    } catch (const std::exception& error) {
        engine_->removeInputTap();
        sink_ = nullptr;
        throw MicError::engineStartFailed(error.what());
    }
    running_ = true;
    configurationObserver_ = engine_->observeConfigurationChanges([lifeline = lifeline_] {
        std::lock_guard observerLock(lifeline->mutex);
        if (lifeline->owner != nullptr) lifeline->owner->handleConfigurationChange();
    });
    logGraph();
    // A route change between prepare() and now would otherwise go unnoticed.
    handleConfigurationChange();
}

void MicRecorder::deliver(MonoDownmixer& downmixer, std::int64_t framesPerSecond,
                          const AudioBufferList& buffers, const AudioTimeStamp& time) noexcept {
    if (!sink_) return;
    const std::span<const float> mono = downmixer.downmix(buffers);
    if (mono.empty()) return;
    const std::uint64_t hostTime = time.hostTimeValid ? time.hostTime : clock_.hostTime();
    if (firstBufferHostTime_.load(std::memory_order_relaxed) == 0) {
        firstBufferArrival_.store(clock_.hostTime(), std::memory_order_relaxed);
        firstBufferHostTime_.store(hostTime, std::memory_order_release);
    }
    const auto count = static_cast<std::int64_t>(mono.size());
    if (!livenessSettled_) {
        float peak = livenessPeak_;
        for (const float sample : mono) peak = std::max(peak, std::fabs(sample));
        livenessPeak_ = peak;
        livenessFrames_ += count;
        if (livenessFrames_ >= framesPerSecond) {
            livenessSettled_ = true;
            if (livenessPeak_ == 0.0f) signal_.raise(EndpointRebuildReason::voiceProcessingSilent);
        }
    }
    sink_(mono.data(), count, hostTime);
}

void MicRecorder::handleConfigurationChange() {
    if (!running_ || rebuildReported_) return;
    const double rate = currentRouteRate();
    if (rate > 0 && std::fabs(rate - routeRate_) > 0.5) {
        rebuildReported_ = true;
        log_.error("Input route moved {:f} Hz -> {:f} Hz under a running graph; rebuilding",
                   routeRate_, rate);
        signal_.raise(EndpointRebuildReason::routeFormatChanged);
    }
}

std::optional<double> MicRecorder::repoint() {
    std::lock_guard lock(lifeline_->mutex);
    if (!running_ || !tapFormat_) return std::nullopt;

    configurationObserver_.remove();
    engine_->stop();
    engine_->removeInputTap();
    running_ = false;
    sink_ = nullptr;
    logRepoint();

    const double rate = currentRouteRate();
    if (!(rate > 0)) {
        log_.error("Input route reported {:f} Hz on re-point; rebuilding instead", rate);
        return std::nullopt;
    }
    AudioFormat tap;
    if (graphFormats_) {
        tap = buildVoiceGraph(rate);
        const GraphFormats& graph = *graphFormats_;
        if (std::fabs(graph.client.sampleRate - graph.render.sampleRate) >= 0.5 ||
            std::fabs(graph.client.sampleRate - graph.tap.sampleRate) >= 0.5) {
            log_.error(
                "Re-pointed voice graph disagrees with itself (client {:f} Hz, render {:f} Hz); "
                "rebuilding instead",
                graph.client.sampleRate, graph.render.sampleRate);
            return std::nullopt;
        }
    } else {
        engine_->connectMainMixerToOutput(std::nullopt);
        tap = engine_->inputNodeOutputFormat();
    }
    if (!usableRate(tap.sampleRate)) {
        log_.error("Re-pointed graph has no usable tap format ({}); rebuilding instead",
                   tap.description());
        return std::nullopt;
    }
    routeRate_ = rate;
    tapFormat_ = tap;
    downmixer_ = std::make_unique<MonoDownmixer>(downmixCapacity(tap.sampleRate));
    rebuildReported_ = false;
    resetLiveness();
    firstBufferHostTime_.store(0, std::memory_order_relaxed);
    firstBufferArrival_.store(0, std::memory_order_relaxed);
    return tap.sampleRate;
}

void MicRecorder::stop() {
    std::lock_guard lock(lifeline_->mutex);
    stopLocked();
}

void MicRecorder::stopLocked() {
    configurationObserver_.remove();
    if (!running_ && !engine_->isRunning()) {
        sink_ = nullptr;
        return;
    }
    engine_->stop();
    engine_->removeInputTap();
    running_ = false;
    sink_ = nullptr;
}

void MicRecorder::setOnNeedsRebuild(RebuildHandler handler) {
    std::lock_guard lock(handlerMutex_);
    onNeedsRebuild_ = std::move(handler);
}

CaptureEndpoint::RebuildHandler MicRecorder::onNeedsRebuild() const {
    std::lock_guard lock(handlerMutex_);
    return onNeedsRebuild_;
}

void MicRecorder::handOn(EndpointRebuildReason reason) {
    if (reason == EndpointRebuildReason::voiceProcessingSilent) {
        log_.error("Voice processing delivered a full second of digital zeros; rebuilding raw");
    }
    if (const RebuildHandler handler = onNeedsRebuild()) handler(reason);
}

double MicRecorder::currentRouteRate() const {
    const double rate = engine_->inputNodeInputFormat().sampleRate;
    return rate > 0 ? rate : engine_->inputNodeOutputFormat().sampleRate;
}

AudioFormat MicRecorder::buildVoiceGraph(double rate) {
    if (!(rate > 0)) throw MicError::routeRateUnusable(rate);
    const std::optional<AudioFormat> client = AudioFormat::monoFloat(rate);
    if (!client) throw MicError::routeRateUnusable(rate);
    engine_->connectMainMixerToOutput(*client);
    graphFormats_ = GraphFormats{*client, engine_->outputNodeInputFormat(), *client};
    return *client;
}

void MicRecorder::resetLiveness() {
    livenessFrames_ = 0;
    livenessPeak_ = 0;
    // Only a voice-processed microphone can go silent by itself.
    livenessSettled_ = !voiceProcessingActive_;
}

void MicRecorder::logGraph() const {
    utility_.post([log = log_, voiceProcessing = engine_->isVoiceProcessingEnabled(),
                   route = routeRate_, inputIn = engine_->inputNodeInputFormat().description(),
                   inputOut = engine_->inputNodeOutputFormat().description(),
                   outputIn = engine_->outputNodeInputFormat().description(),
                   outputOut = engine_->outputNodeOutputFormat().description(),
                   tap = tapFormat_->description()] {
        log.info(
            "Microphone graph: voiceProcessing={} route={:f} inputNode.input={} "
            "inputNode.output={} outputNode.input={} outputNode.output={} tap={}",
            voiceProcessing, route, inputIn, inputOut, outputIn, outputOut, tap);
    });
}

void MicRecorder::logRepoint() const {
    utility_.post([log = log_, &hardware = hardware_, device = engine_->inputDevice()] {
        const auto subDevices = hardware.readSubDeviceUIDs(device);
        const auto defaultInput =
            hardware.readDeviceID(kAudioObjectSystemObject, audio_property::kDefaultInputDevice);
        const AudioObjectID defaultID =
            defaultInput.ok() ? defaultInput.value : kAudioObjectUnknown;
        const std::string defaultUID =
            defaultID != kAudioObjectUnknown ? uidText(hardware.readDeviceUID(defaultID)) : "none";
        log.info(
            "Re-pointing microphone: inputUnit device={} uid={} subDevices={} defaultInput={} "
            "uid={}",
            device, uidText(hardware.readDeviceUID(device)),
            subDevices.ok() ? fmt::format("{}", fmt::join(subDevices.value, ",")) : std::string{},
            defaultID, defaultUID);
    });
}

bool MicRecorder::voiceProcessingActive() const {
    std::lock_guard lock(lifeline_->mutex);
    return voiceProcessingActive_;
}

bool MicRecorder::isRunning() const {
    std::lock_guard lock(lifeline_->mutex);
    return running_;
}

double MicRecorder::routeRate() const {
    std::lock_guard lock(lifeline_->mutex);
    return routeRate_;
}

std::optional<AudioFormat> MicRecorder::tapFormat() const {
    std::lock_guard lock(lifeline_->mutex);
    return tapFormat_;
}

std::optional<MicRecorder::GraphFormats> MicRecorder::graphFormats() const {
    std::lock_guard lock(lifeline_->mutex);
    return graphFormats_;
}

std::uint64_t MicRecorder::firstBufferHostTime() const {
    return firstBufferHostTime_.load(std::memory_order_acquire);
}

std::optional<WallTime> MicRecorder::firstBufferWallClock() const {
    if (firstBufferHostTime() == 0) return std::nullopt;
    // Only the host time is read on the audio thread; the date follows from it.
    const std::uint64_t arrival = firstBufferArrival_.load(std::memory_order_relaxed);
    const std::uint64_t now = clock_.hostTime();
    return clock_.now() - Duration{static_cast<Duration::rep>(now - std::min(arrival, now))};
}

}  // namespace kavo
