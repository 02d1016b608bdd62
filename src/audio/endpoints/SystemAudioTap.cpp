#include "audio/endpoints/SystemAudioTap.h"

#include <cmath>

#include "base/SerialQueue.h"
#include "base/Uuid.h"

namespace kavo {
namespace {

bool isUsableTapFormat(const AudioStreamBasicDescription& format) {
    return format.formatID == kAudioFormatLinearPCM &&
           (format.formatFlags & kAudioFormatFlagIsFloat) != 0 && format.bitsPerChannel == 32 &&
           format.channelsPerFrame != 0 && std::isfinite(format.sampleRate) &&
           format.sampleRate > 0;
}

}  // namespace

SystemAudioTap::SystemAudioTap(Platform platform)
    : SystemAudioTap(platform, std::make_unique<SerialQueue>(kQueueLabel),
                     std::make_unique<SerialQueue>(kControlLabel)) {}

SystemAudioTap::SystemAudioTap(Platform platform, Scheduler& queue, Scheduler& control)
    : SystemAudioTap(platform, nullptr, nullptr) {
    queue_ = &queue;
    control_ = &control;
}

SystemAudioTap::SystemAudioTap(Platform platform, std::unique_ptr<SerialQueue> ownedQueue,
                               std::unique_ptr<SerialQueue> ownedControl)
    : hardware_(platform.hardware),
      taps_(platform.taps),
      ownProcess_(platform.ownProcess),
      clock_(platform.clock),
      ownedQueue_(std::move(ownedQueue)),
      ownedControl_(std::move(ownedControl)),
      queue_(ownedQueue_.get()),
      control_(ownedControl_.get()),
      lifeline_(std::make_shared<Lifeline>()),
      signal_([this](EndpointRebuildReason reason) { handOn(reason); }) {
    lifeline_->owner = this;
}

SystemAudioTap::~SystemAudioTap() {
    std::lock_guard lock(lifeline_->mutex);
    stopLocked();
    lifeline_->owner = nullptr;
}

double SystemAudioTap::prepare() {
    std::lock_guard lock(lifeline_->mutex);
    createTap();

    const auto read = hardware_.readTapFormat(tapID_);
    if (!read.ok()) {
        teardown();
        throw TapError::tapFormatUnreadable(read.status);
    }
    const AudioStreamBasicDescription format = read.value;
    if (!isUsableTapFormat(format)) {
        teardown();
        throw TapError::unsupportedTapFormat(format);
    }
    format_ = format;
    preparedRate_ = format.sampleRate;
    downmixer_ = std::make_unique<MonoDownmixer>(
        static_cast<std::int64_t>(std::floor(format.sampleRate * 0.25)));

    const auto aggregate = taps_.createAggregateDevice(aggregateDescription());
    if (aggregate.status != kAudioNoError) {
        teardown();
        throw TapError::aggregateCreationFailed(aggregate.status);
    }
    aggregateID_ = aggregate.device;

    installFormatListener(tapID_, audio_property::kTapFormat);
    installFormatListener(aggregateID_, audio_property::kNominalSampleRate);
    log_.info("Tap ready: {:f} Hz {} ch interleaved={}", format.sampleRate, format.channelsPerFrame,
              format.isInterleaved());
    return format.sampleRate;
}

void SystemAudioTap::createTap() {
    TapDescription description{.mix = TapDescription::Mix::mono,
                               .excludedProcesses = {},
                               .name = kTapName,
                               .isPrivate = true,
                               .muteBehavior = TapDescription::kMuteBehaviorUnmuted,
                               .uuid = makeUuid()};
    if (const auto own = ownProcess_.get()) {
        description.excludedProcesses.push_back(*own);
    } else {
        log_.notice("Could not resolve our own process object; tap will not exclude us");
    }
    auto created = taps_.createProcessTap(description);
    if (created.status != kAudioNoError) {
        log_.notice("Mono global tap unavailable on this route; falling back to stereo");
        description.mix = TapDescription::Mix::stereo;
        description.uuid = makeUuid();
        created = taps_.createProcessTap(description);
        if (created.status != kAudioNoError) {
            throw TapError::tapCreationFailed(created.status, created.failureReason);
        }
    }
    tapID_ = created.tap;
    tapUUID_ = description.uuid;
}

AggregateDeviceDescription SystemAudioTap::aggregateDescription() const {
    return {.name = kAggregateName,
            .uid = std::string(kAggregateUIDPrefix) + makeUuid(),
            .isPrivate = true,
            .stacked = false,
            .tapAutoStart = true,
            .subDevices = {},
            .taps = {{.uid = tapUUID_, .drift = true}}};
}

void SystemAudioTap::installFormatListener(AudioObjectID object,
                                           AudioObjectPropertySelector selector) {
    if (object == kAudioObjectUnknown) return;
    auto installed =
        hardware_.addPropertyListener(object, selector, *control_, [lifeline = lifeline_] {
            std::lock_guard lock(lifeline->mutex);
            if (lifeline->owner != nullptr) lifeline->owner->handleRateChange();
        });
    if (installed.status != kAudioNoError) {
        log_.notice("Could not observe property {} on object {} (OSStatus {})", selector, object,
                    installed.status);
        return;
    }
    formatListeners_.push_back({object, selector, std::move(installed.registration)});
}

void SystemAudioTap::start(Sink sink) {
    std::lock_guard lock(lifeline_->mutex);
    if (running_) return;
    if (!format_ || !downmixer_) throw TapError::notPrepared();

    // A procedure left by a start whose device did not start is not reused.
    if (procID_) {
        taps_.destroyIOProc(aggregateID_, *procID_);
        procID_.reset();
    }
    sink_ = std::move(sink);
    MonoDownmixer* downmixer = downmixer_.get();
    // The procedure is destroyed before the endpoint goes, so the block never outlives it.
    const auto created = taps_.createIOProc(
        aggregateID_, *queue_,
        [this, downmixer](const AudioTimeStamp& now, const AudioBufferList& input,
                          const AudioTimeStamp& inputTime, AudioBufferList& /*output*/) {
            deliver(*downmixer, now, input, inputTime);
        });
    if (created.status != kAudioNoError || !created.proc) {
        throw TapError::ioProcCreationFailed(created.status);
    }
    procID_ = created.proc;
    const OSStatus started = taps_.startDevice(aggregateID_, *procID_);
    if (started != kAudioNoError) throw TapError::deviceStartFailed(started);
    running_ = true;
}

void SystemAudioTap::deliver(MonoDownmixer& downmixer, const AudioTimeStamp& now,
                             const AudioBufferList& input,
                             const AudioTimeStamp& inputTime) noexcept {
    if (!sink_) return;
    const std::span<const float> mono = downmixer.downmix(input);
    if (mono.empty()) return;
    std::uint64_t hostTime = 0;
    if (inputTime.hostTimeValid) {
        hostTime = inputTime.hostTime;
    } else if (now.hostTimeValid) {
        hostTime = now.hostTime;
    } else {
        hostTime = clock_.hostTime();
    }
    if (firstBufferHostTime_.load(std::memory_order_relaxed) == 0) {
        firstBufferArrival_.store(clock_.hostTime(), std::memory_order_relaxed);
        firstBufferHostTime_.store(hostTime, std::memory_order_release);
    }
    sink_(mono.data(), static_cast<std::int64_t>(mono.size()), hostTime);
}

void SystemAudioTap::handleRateChange() {
    if (!running_ || rebuildReported_ || !(preparedRate_ > 0)) return;
    const auto tapFormat = hardware_.readTapFormat(tapID_);
    const double tapRate = tapFormat.ok() ? tapFormat.value.sampleRate : 0;
    double aggregateRate = 0;
    if (aggregateID_ != kAudioObjectUnknown) {
        const auto nominal = hardware_.readNominalSampleRate(aggregateID_);
        if (nominal.ok()) aggregateRate = nominal.value;
    }
    const auto moved = [this](double rate) {
        return rate > 0 && std::fabs(rate - preparedRate_) > 0.5;
    };
    if (moved(tapRate) || moved(aggregateRate)) {
        rebuildReported_ = true;
        log_.error(
            "Output route moved {:f} Hz -> tap {:f} Hz, aggregate {:f} Hz under a running tap; "
            "rebuilding",
            preparedRate_, tapRate, aggregateRate);
        signal_.raise(EndpointRebuildReason::routeFormatChanged);
    }
}

void SystemAudioTap::stop() {
    std::lock_guard lock(lifeline_->mutex);
    stopLocked();
}

void SystemAudioTap::stopLocked() {
    if (procID_ && aggregateID_ != kAudioObjectUnknown) taps_.stopDevice(aggregateID_, *procID_);
    running_ = false;
    sink_ = nullptr;
    teardown();
}

void SystemAudioTap::teardown() {
    for (auto& listener : formatListeners_) listener.registration.remove();
    formatListeners_.clear();
    if (procID_ && aggregateID_ != kAudioObjectUnknown) taps_.destroyIOProc(aggregateID_, *procID_);
    procID_.reset();
    if (aggregateID_ != kAudioObjectUnknown) taps_.destroyAggregateDevice(aggregateID_);
    aggregateID_ = kAudioObjectUnknown;
    if (tapID_ != kAudioObjectUnknown) taps_.destroyProcessTap(tapID_);
    tapID_ = kAudioObjectUnknown;
    tapUUID_.clear();
    format_.reset();
    preparedRate_ = 0;
    downmixer_.reset();
}

void SystemAudioTap::setOnNeedsRebuild(RebuildHandler handler) {
    std::lock_guard lock(handlerMutex_);
    onNeedsRebuild_ = std::move(handler);
}

CaptureEndpoint::RebuildHandler SystemAudioTap::onNeedsRebuild() const {
    std::lock_guard lock(handlerMutex_);
    return onNeedsRebuild_;
}

void SystemAudioTap::handOn(EndpointRebuildReason reason) {
    if (const RebuildHandler handler = onNeedsRebuild()) handler(reason);
}

AudioObjectID SystemAudioTap::tapID() const {
    std::lock_guard lock(lifeline_->mutex);
    return tapID_;
}

AudioObjectID SystemAudioTap::aggregateID() const {
    std::lock_guard lock(lifeline_->mutex);
    return aggregateID_;
}

bool SystemAudioTap::isRunning() const {
    std::lock_guard lock(lifeline_->mutex);
    return running_;
}

double SystemAudioTap::preparedRate() const {
    std::lock_guard lock(lifeline_->mutex);
    return preparedRate_;
}

std::optional<AudioStreamBasicDescription> SystemAudioTap::format() const {
    std::lock_guard lock(lifeline_->mutex);
    return format_;
}

std::size_t SystemAudioTap::formatListenerCount() const {
    std::lock_guard lock(lifeline_->mutex);
    return formatListeners_.size();
}

std::uint64_t SystemAudioTap::firstBufferHostTime() const {
    return firstBufferHostTime_.load(std::memory_order_acquire);
}

std::optional<WallTime> SystemAudioTap::firstBufferWallClock() const {
    if (firstBufferHostTime() == 0) return std::nullopt;
    // Only the host time is read on the audio thread; the date follows from it.
    const std::uint64_t arrival = firstBufferArrival_.load(std::memory_order_relaxed);
    const std::uint64_t now = clock_.hostTime();
    return clock_.now() - Duration{static_cast<Duration::rep>(now - std::min(arrival, now))};
}

}  // namespace kavo
