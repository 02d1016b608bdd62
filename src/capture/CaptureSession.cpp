#include "capture/CaptureSession.h"

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <future>
#include <thread>
#include <utility>
#include <vector>

#include "base/SerialQueue.h"
#include "capture/files/CapturesDirectory.h"
#include "capture/files/SidecarTimestamp.h"

namespace kavo {
namespace {

std::string describe(const std::exception& error) {
    return error.what();
}

std::int64_t wholeMilliseconds(Duration duration) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(duration).count();
}

std::string joined(const std::vector<std::string>& parts, std::string_view separator) {
    std::string text;
    for (const auto& part : parts) {
        if (!text.empty()) text += separator;
        text += part;
    }
    return text;
}

std::uint64_t nanoseconds(Duration duration) {
    return static_cast<std::uint64_t>(duration.count());
}

// Whether any sample of the buffer reaches above the floor; stops at the first that does.
bool audible(const float* frames, std::int64_t count, float floor) noexcept {
    for (std::int64_t i = 0; i < count; ++i) {
        if (frames[i] > floor || frames[i] < -floor) return true;
    }
    return false;
}

// Runs `task` on `queue` and waits, carrying its exception back to the caller whatever
// the queue does with one.
void syncRethrowing(Scheduler& queue, const std::function<void()>& task) {
    std::exception_ptr failure;
    queue.sync([&] {
        try {
            task();
        } catch (...) {
            failure = std::current_exception();
        }
    });
    if (failure) std::rethrow_exception(failure);
}

}  // namespace

std::shared_ptr<CaptureSession> CaptureSession::create(Environment environment) {
    return std::make_shared<CaptureSession>(PrivateTag{}, std::move(environment));
}

CaptureSession::CaptureSession(PrivateTag, Environment environment)
    : captureId_(environment.captureId.empty() ? makeCaptureId() : environment.captureId),
      directory_(std::move(environment.directory)),
      account_(std::move(environment.account)),
      factory_(std::move(environment.factory)),
      clock_(environment.clock),
      usesTimers_(environment.usesTimers),
      echoCancellation_(environment.echoCancellation),
      ownedControl_(environment.control ? nullptr : std::make_unique<SerialQueue>(kControlLabel)),
      control_(environment.control ? environment.control : ownedControl_.get()),
      mixerQueue_(environment.mixerQueue),
      watch_(environment.devices, *control_) {}

CaptureSession::~CaptureSession() {
    teardown();
    // The last reference may go in a task of our own queue, which cannot wait for itself:
    // let another thread finish the queue once that task is done.
    if (ownedControl_ && ownedControl_->isCurrent()) {
        std::thread([queue = std::move(ownedControl_)] {}).detach();
    }
}

std::optional<std::filesystem::path> CaptureSession::audioURL() const {
    std::lock_guard lock(publishedMutex_);
    return audioURL_;
}

std::optional<std::filesystem::path> CaptureSession::sidecarURL() const {
    std::lock_guard lock(publishedMutex_);
    return sidecarURL_;
}

std::optional<WallTime> CaptureSession::startedAt() const {
    std::lock_guard lock(publishedMutex_);
    return startedAt_;
}

std::optional<CaptureArtifacts> CaptureSession::artifacts() const {
    std::lock_guard lock(publishedMutex_);
    if (!audioURL_ || !sidecarURL_) return std::nullopt;
    return CaptureArtifacts{*audioURL_, *sidecarURL_};
}

std::optional<CaptureSidecar> CaptureSession::sidecar() const {
    std::lock_guard lock(publishedMutex_);
    return sidecar_;
}

std::optional<std::string> CaptureSession::failure() const {
    std::lock_guard lock(publishedMutex_);
    return failure_;
}

double CaptureSession::pausedSeconds() const {
    std::lock_guard lock(publishedMutex_);
    return pausedSecondsLocked();
}

double CaptureSession::pausedSecondsLocked() const {
    if (!pausedAt_) return pausedBefore_;
    return pausedBefore_ + static_cast<double>(clock_.hostTime() - *pausedAt_) / 1e9;
}

CaptureCondition CaptureSession::condition() const {
    std::lock_guard lock(publishedMutex_);
    return condition_;
}

void CaptureSession::publishCondition(const std::function<void(CaptureCondition&)>& change) {
    std::lock_guard lock(publishedMutex_);
    change(condition_);
}

std::shared_ptr<Mixer> CaptureSession::mixer() const {
    std::shared_ptr<Mixer> mixer;
    control().sync([&] { mixer = mixer_; });
    return mixer;
}

void CaptureSession::updateSidecar(const std::function<void(CaptureSidecar&)>& change) {
    std::lock_guard lock(publishedMutex_);
    if (sidecar_) change(*sidecar_);
}

std::filesystem::path CaptureSession::start() {
    std::filesystem::path url;
    syncRethrowing(control(), [&] { url = startOnControl(); });
    return url;
}

void CaptureSession::stop() noexcept {
    control().sync([this] { finalizeOnControl(); });
}

std::filesystem::path CaptureSession::startOnControl() {
    if (state() != CaptureState::idle) {
        if (auto url = audioURL()) return *url;
        throw CaptureCancelledError();
    }
    if (finished_) throw CaptureCancelledError();
    state_ = CaptureState::arming;
    try {
        createCapturesDirectory(directory_);
        const WallTime now = clock_.now();
        const auto audio = directory_ / captureAudioFileName(captureId_);
        const auto sidecarFile = directory_ / captureSidecarFileName(captureId_);

        // Told on the mixer's queue; the capture ends on the control queue.
        auto onFailure = [weak = weak_from_this()](const WavWriter::WriterError& error) {
            auto self = weak.lock();
            if (!self) return;
            self->control().post([weak, detail = error.description()] {
                if (auto session = weak.lock()) session->endAfterWriteFailure(detail);
            });
        };
        writer_ = std::make_shared<WavWriter>(audio, kSampleRate, kChannels, kBitsPerSample,
                                              PosixFileIO::system(), std::move(onFailure));
        micChannel_ = std::make_shared<Mixer::Channel>("mic", Mixer::kOutputRate);
        systemChannel_ = std::make_shared<Mixer::Channel>("system", Mixer::kOutputRate);
        Mixer::HostClock hostClock = [&clock = clock_] { return clock.hostTime(); };
        std::vector<std::shared_ptr<Mixer::Channel>> channels{micChannel_, systemChannel_};
        mixer_ = mixerQueue_ ? Mixer::create(std::move(channels), writer_, std::move(hostClock),
                                             *mixerQueue_)
                             : Mixer::create(std::move(channels), writer_, std::move(hostClock));
        if (echoCancellation_ && factory_.makeEchoCanceller) {
            try {
                mixer_->cancelEcho(factory_.makeEchoCanceller(), micChannel_, systemChannel_);
            } catch (const std::exception& error) {
                log_.error("Echo cancellation unavailable ({}); recording the raw microphone",
                           describe(error));
            }
        }
        {
            std::lock_guard lock(publishedMutex_);
            startedAt_ = now;
            audioURL_ = audio;
            sidecarURL_ = sidecarFile;
            CaptureSidecar fresh;
            fresh.captureId = captureId_;
            fresh.audioFileName = audio.filename().string();
            fresh.startedAt = SidecarTimestamp::format(now);
            fresh.sampleRateHz = kSampleRate;
            fresh.channels = kChannels;
            fresh.bitsPerSample = kBitsPerSample;
            fresh.account = account_;
            sidecar_ = std::move(fresh);
        }
        armEndpoints();
    } catch (...) {
        teardown();
        state_ = CaptureState::idle;
        throw;
    }

    watch_.takeSnapshot();
    if (!watch_.lastSnapshot().defaultInputUID) {
        log_.error("No microphone on this computer; the microphone channel records silence");
        updateSidecar([at = SidecarTimestamp::format(clock_.now())](CaptureSidecar& sidecar) {
            sidecar.deviceEvents.push_back(
                {.at = at,
                 .kind = "deviceChange",
                 .detail = std::string(DeviceWatch::kNoMicrophoneDetail)});
        });
        publishCondition([](CaptureCondition& condition) { condition.noMicrophone = true; });
    }
    silenceWatchedFrom_ = clock_.hostTime();
    silenceTimer_ =
        control().every(kSilenceCheckInterval, kSilenceCheckLeeway, [weak = weak_from_this()] {
            if (auto self = weak.lock()) self->watchSilence();
        });
    followOutputForEchoCancellation();
    mixer_->start(usesTimers_);
    watch_.install([weak = weak_from_this()](std::string_view name) {
        if (auto self = weak.lock()) self->handleDeviceNotification(name);
    });
    startSidecarTimer();
    writeSidecar();
    state_ = CaptureState::running;
    const auto audio = *audioURL();
    log_.info("Capture {} running -> {}", captureId_, audio.filename().string());
    return audio;
}

void CaptureSession::armEndpoints() {
    struct Half {
        std::unique_ptr<CaptureEndpoint> endpoint;
        double rate = 0;
        std::exception_ptr failure;
    };
    const auto prepareHalf = [](std::function<std::unique_ptr<CaptureEndpoint>()> make) {
        Half half;
        try {
            half.endpoint = make();
            if (!half.endpoint) throw Error("no capture endpoint could be made");
            half.rate = half.endpoint->prepare();
        } catch (...) {
            half.failure = std::current_exception();
        }
        return half;
    };

    const bool voiceProcessing = micVoiceProcessing_;
    auto microphoneHalf = std::async(std::launch::async, prepareHalf, [this, voiceProcessing] {
        return factory_.makeMicrophone(voiceProcessing);
    });
    Half system = prepareHalf([this] { return factory_.makeSystemAudio(); });
    Half microphone = microphoneHalf.get();

    const auto stopBoth = [&] {
        if (microphone.endpoint) microphone.endpoint->stop();
        if (system.endpoint) system.endpoint->stop();
    };
    if (microphone.failure) {
        stopBoth();
        std::rethrow_exception(microphone.failure);
    }
    if (system.failure) {
        stopBoth();
        std::rethrow_exception(system.failure);
    }

    try {
        reconfigure(micChannel_, microphone.rate);
        reconfigure(systemChannel_, system.rate);
    } catch (...) {
        stopBoth();
        throw;
    }

    micEndpoint_ = std::move(microphone.endpoint);
    systemEndpoint_ = std::move(system.endpoint);
    try {
        startEndpoint(*micEndpoint_, EndpointScope::microphone, micChannel_);
        startEndpoint(*systemEndpoint_, EndpointScope::systemAudio, systemChannel_);
    } catch (...) {
        stopEndpoints();
        throw;
    }
}

void CaptureSession::startEndpoint(CaptureEndpoint& endpoint, EndpointScope scope,
                                   const std::shared_ptr<Mixer::Channel>& channel) {
    endpoint.setOnNeedsRebuild([weak = weak_from_this(), scope](EndpointRebuildReason reason) {
        auto self = weak.lock();
        if (!self) return;
        self->control().post([weak, reason, scope] {
            if (auto session = weak.lock()) session->requestRebuild(reason, scope);
        });
    });
    auto delivered = std::make_shared<DeliveryMarks>();
    marks(scope) = delivered;
    const double rate = channel->sampleRate();
    endpoint.start([weak = std::weak_ptr<Mixer::Channel>(channel), delivered, sound = heard(scope),
                    rate](const float* frames, std::int64_t count, std::uint64_t hostTime) {
        if (delivered->first.load(std::memory_order_relaxed) == 0)
            delivered->first.store(hostTime, std::memory_order_release);
        const std::uint64_t end =
            hostTime + static_cast<std::uint64_t>(static_cast<double>(count) * 1e9 / rate);
        delivered->lastEnd.store(end, std::memory_order_release);
        if (audible(frames, count, kNoiseFloor)) sound->store(end, std::memory_order_release);
        if (auto target = weak.lock()) target->deliver(frames, count, hostTime);
    });
}

void CaptureSession::reconfigure(const std::shared_ptr<Mixer::Channel>& channel, double rate) {
    syncRethrowing(mixer_->queue(), [&] { channel->reconfigure(rate); });
}

void CaptureSession::stopEndpoints() {
    if (micEndpoint_) micEndpoint_->stop();
    if (systemEndpoint_) systemEndpoint_->stop();
    micEndpoint_.reset();
    systemEndpoint_.reset();
}

void CaptureSession::closeAudio() {
    if (mixer_) mixer_->stop();
    if (!writer_) return;
    try {
        writer_->close();
    } catch (const std::exception& error) {
        // The file keeps its audio with sizes of 0; the launch repair deals with it.
        log_.error("Audio file could not be closed: {}", describe(error));
    }
}

void CaptureSession::teardown() {
    noteTimer_.cancel();
    pendingNote_.reset();
    pendingRebuild_.cancel();
    pendingRequest_.reset();
    watch_.remove();
    sidecarTimer_.cancel();
    silenceTimer_.cancel();
    stopEndpoints();
    closeAudio();
    mixer_.reset();
    writer_.reset();
    micChannel_.reset();
    systemChannel_.reset();
}

void CaptureSession::startSidecarTimer() {
    sidecarTimer_ = control().every(kSidecarInterval, kSidecarLeeway, [weak = weak_from_this()] {
        if (auto self = weak.lock()) self->refreshSidecar();
    });
}

double CaptureSession::writtenSeconds() const {
    if (!writer_) return 0.0;
    return static_cast<double>(writer_->audioBytesWritten()) /
           static_cast<double>(kSampleRate * kChannels * kBitsPerSample / 8);
}

void CaptureSession::endAfterWriteFailure(const std::string& detail) {
    const CaptureState current = state();
    if (current != CaptureState::running && current != CaptureState::rebuilding) return;
    log_.error("Capture {} ends by itself: {}", captureId_, detail);
    finalizeOnControl();
}

void CaptureSession::refreshSidecar() {
    const double duration = writtenSeconds();
    const double paused = pausedSeconds();
    const bool echoCancelled = mixer_ && mixer_->echoCancelledFrames() > 0;
    updateSidecar([duration, paused, echoCancelled](CaptureSidecar& sidecar) {
        sidecar.durationSeconds = duration;
        sidecar.pausedSeconds = paused;
        sidecar.echoCancelled = echoCancelled;
    });
    writeSidecar();
}

void CaptureSession::writeSidecar() {
    std::optional<CaptureSidecar> snapshot;
    std::optional<std::filesystem::path> url;
    {
        std::lock_guard lock(publishedMutex_);
        snapshot = sidecar_;
        url = sidecarURL_;
    }
    if (!snapshot || !url) return;
    try {
        snapshot->write(*url);
    } catch (const std::exception& error) {
        log_.error("Sidecar write failed: {}", describe(error));
    }
}

void CaptureSession::finalizeOnControl() {
    const CaptureState current = state();
    if (current != CaptureState::running && current != CaptureState::rebuilding) return;
    state_ = CaptureState::stopping;
    settleNote(true);
    pendingRebuild_.cancel();
    pendingRequest_.reset();
    watch_.remove();
    sidecarTimer_.cancel();
    silenceTimer_.cancel();
    if (silentSide_) endSilentStretch(clock_.hostTime());
    stopEndpoints();

    state_ = CaptureState::finalizing;
    closeAudio();
    if (const int error = writer_ ? writer_->failedErrno() : 0; error != 0) {
        const double seconds = writtenSeconds();
        std::lock_guard lock(publishedMutex_);
        failure_ =
            error == ENOSPC || error == EDQUOT
                ? fmt::format(
                      "The disk is full: the recording stopped and keeps the {:.1f} s "
                      "written until then.",
                      seconds)
                : fmt::format(
                      "The recording stopped and keeps the {:.1f} s written until then: {}",
                      seconds,
                      WavWriter::WriterError::writeFailed(writer_->url().string(), error).what());
    }

    const WallTime now = clock_.now();
    double paused = 0;
    {
        std::lock_guard lock(publishedMutex_);
        paused = pausedSecondsLocked();
        pausedBefore_ = paused;
        pausedAt_.reset();
        condition_ = CaptureCondition{};
    }
    updateSidecar([&](CaptureSidecar& sidecar) {
        sidecar.endedAt = SidecarTimestamp::format(now);
        sidecar.pausedSeconds = paused;
        // What the file holds, which is less than was mixed when a write failed.
        sidecar.durationSeconds = writtenSeconds();
        if (!mixer_) return;
        sidecar.echoCancelled = mixer_->echoCancelledFrames() > 0;
        std::vector<CaptureSidecar::SourceStats> sources;
        for (const auto& channel : mixer_->channels()) {
            sources.push_back({.name = channel->name(),
                               .sampleRateHz = static_cast<std::int64_t>(channel->sampleRate()),
                               .totalFrames = channel->emittedFrames() + channel->underrunFrames(),
                               .underrunFrames = channel->underrunFrames(),
                               .droppedSourceFrames = channel->droppedSourceFrames(),
                               .lastRealFrame = channel->lastRealFrame()});
        }
        sidecar.sources = std::move(sources);
    });
    writeSidecar();

    if (const auto finished = sidecar()) {
        for (const auto& source : finished->silentSources()) {
            log_.error("Capture {}: source {} recorded essentially nothing", captureId_, source);
        }
    }
    log_.info("Capture {} finalized: {}", captureId_, mixer_ ? mixer_->summary() : std::string{});

    micChannel_.reset();
    systemChannel_.reset();
    mixer_.reset();
    writer_.reset();
    finished_ = true;
    state_ = CaptureState::idle;
}

void CaptureSession::pause() {
    control().sync([this] {
        const CaptureState current = state();
        if ((current != CaptureState::running && current != CaptureState::rebuilding) ||
            condition().paused)
            return;
        mixer_->pause();
        if (silentSide_) endSilentStretch(clock_.hostTime());
        {
            std::lock_guard lock(publishedMutex_);
            pausedAt_ = clock_.hostTime();
            condition_.paused = true;
        }
        log_.info("Capture {} paused after {:.1f} s of audio", captureId_, writtenSeconds());
        refreshSidecar();
    });
}

void CaptureSession::resume() {
    control().sync([this] {
        const CaptureState current = state();
        if ((current != CaptureState::running && current != CaptureState::rebuilding) ||
            !condition().paused)
            return;
        mixer_->resume();
        double pausedFor = 0;
        {
            std::lock_guard lock(publishedMutex_);
            const double paused = pausedSecondsLocked();
            pausedFor = paused - pausedBefore_;
            pausedBefore_ = paused;
            pausedAt_.reset();
            condition_.paused = false;
        }
        // What a side did not deliver while paused says nothing about it now.
        silenceWatchedFrom_ = clock_.hostTime();
        log_.info("Capture {} resumed after a pause of {:.1f} s", captureId_, pausedFor);
        refreshSidecar();
    });
}

WallTime CaptureSession::wallTimeAt(std::uint64_t hostTime) const {
    const std::uint64_t now = clock_.hostTime();
    const auto ago = now > hostTime ? now - hostTime : 0;
    return clock_.now() - std::chrono::duration_cast<WallTime::duration>(
                              std::chrono::nanoseconds(static_cast<std::int64_t>(ago)));
}

void CaptureSession::watchSilence() {
    const CaptureState current = state();
    if ((current != CaptureState::running && current != CaptureState::rebuilding) ||
        condition().paused)
        return;
    const std::uint64_t now = clock_.hostTime();
    const std::uint64_t mic =
        std::max(micHeard_->load(std::memory_order_acquire), silenceWatchedFrom_);
    const std::uint64_t system =
        std::max(systemHeard_->load(std::memory_order_acquire), silenceWatchedFrom_);
    if (silentSide_) {
        const std::uint64_t latest = *silentSide_ == CaptureSide::microphone ? mic : system;
        if (latest > silentSince_) endSilentStretch(latest);
        return;
    }

    const std::uint64_t window = nanoseconds(kSilentSideAfter);
    // Silent for the whole window, while the other side was heard after it fell silent
    // and within the window.
    const auto silentAgainst = [&](std::uint64_t own, std::uint64_t other) {
        return now - own >= window && other > own && now - other < window;
    };
    std::optional<CaptureSide> side;
    // Without a microphone its silence is already said; it is no reason to warn again.
    if (!condition().noMicrophone && silentAgainst(mic, system)) side = CaptureSide::microphone;
    if (silentAgainst(system, mic)) side = CaptureSide::systemAudio;
    if (!side) return;

    silentSide_ = side;
    silentSince_ = *side == CaptureSide::microphone ? mic : system;
    const std::string source(channelName(*side));
    const auto seconds = static_cast<long long>((now - silentSince_) / 1'000'000'000ULL);
    log_.notice(
        "Capture {}: source {} has delivered only silence for {} s while the other "
        "side was heard",
        captureId_, source, seconds);
    updateSidecar([&](CaptureSidecar& sidecar) {
        if (!sidecar.silentStretches) sidecar.silentStretches.emplace();
        sidecar.silentStretches->push_back(
            {.source = source,
             .from = SidecarTimestamp::format(wallTimeAt(silentSince_)),
             .until = std::nullopt});
    });
    publishCondition([side](CaptureCondition& condition) { condition.silentSide = side; });
    writeSidecar();
}

void CaptureSession::endSilentStretch(std::uint64_t end) {
    if (!silentSide_) return;
    const std::string source(channelName(*silentSide_));
    const auto seconds =
        static_cast<long long>((end > silentSince_ ? end - silentSince_ : 0) / 1'000'000'000ULL);
    log_.notice("Capture {}: source {} silent for {} s", captureId_, source, seconds);
    const std::string until = SidecarTimestamp::format(wallTimeAt(end));
    updateSidecar([&](CaptureSidecar& sidecar) {
        if (sidecar.silentStretches && !sidecar.silentStretches->empty())
            sidecar.silentStretches->back().until = until;
    });
    silentSide_.reset();
    publishCondition([](CaptureCondition& condition) { condition.silentSide.reset(); });
    writeSidecar();
}

void CaptureSession::handleDeviceNotification(std::string_view name) {
    const CaptureState current = state();
    if (current != CaptureState::running && current != CaptureState::rebuilding) return;
    auto change = watch_.handle(name, clock_.now());
    followOutputForEchoCancellation();
    if (!change) return;
    publishCondition([noMicrophone = !watch_.lastSnapshot().defaultInputUID](
                         CaptureCondition& condition) { condition.noMicrophone = noMicrophone; });
    updateSidecar([&](CaptureSidecar& sidecar) {
        sidecar.deviceEvents.insert(sidecar.deviceEvents.end(), change->events.begin(),
                                    change->events.end());
    });
    requestRebuild(EndpointRebuildReason::deviceChanged, change->scope);
}

// Another microphone hears the far side another way: a canceller that learnt the last
// one's echo would take the new one's speech for echo and suppress it until it relearns.
void CaptureSession::renewEchoCanceller() {
    if (!mixer_ || !mixer_->hasEchoCanceller() || !factory_.makeEchoCanceller) return;
    try {
        mixer_->cancelEcho(factory_.makeEchoCanceller(), micChannel_, systemChannel_);
    } catch (const std::exception& error) {
        log_.error("Echo cancellation could not start afresh ({}); it goes on as it was",
                   describe(error));
    }
}

void CaptureSession::followOutputForEchoCancellation() {
    if (!mixer_ || !mixer_->hasEchoCanceller()) return;
    const bool wasOn = mixer_->echoCancellationOn();
    mixer_->setEchoCancellation(!watch_.lastSnapshot().outputIsPersonal);
    const bool on = mixer_->echoCancellationOn();
    if (on != wasOn || !mixer_->isRunning()) {
        if (on) {
            log_.info("Echo cancellation on");
        } else {
            log_.info("Echo cancellation off: the output is a headset or headphones");
        }
    }
}

void CaptureSession::requestRebuild(EndpointRebuildReason reason, EndpointScope scope) {
    // The server moves what plays to a new default output at once: its successor is
    // recorded at once too, or the far side is lost for the whole debounce. Changes that
    // follow are merged and debounced as ever.
    const std::uint64_t now = clock_.hostTime();
    const auto debounce = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(kRebuildDebounce).count());
    if (reason == EndpointRebuildReason::deviceChanged && !pendingRequest_ &&
        scope.contains(EndpointScope::systemAudio) &&
        (!lastImmediateRebuild_ || now - *lastImmediateRebuild_ >= debounce)) {
        lastImmediateRebuild_ = now;
        performRebuild({reason, EndpointScope::systemAudio});
        scope = scope.subtracting(EndpointScope::systemAudio);
        if (scope.isEmpty()) return;
    }
    if (!pendingRequest_) {
        pendingRequest_ = RebuildRequest{reason, scope};
    } else {
        pendingRequest_->scope |= scope;
        if (reason == EndpointRebuildReason::voiceProcessingSilent)
            pendingRequest_->reason = reason;
    }
    pendingRebuild_ = control().after(kRebuildDebounce, [weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self || !self->pendingRequest_) return;
        self->pendingRebuild_ = TimerHandle{};
        const RebuildRequest request = *std::exchange(self->pendingRequest_, std::nullopt);
        self->performRebuild(request);
    });
}

void CaptureSession::performRebuild(RebuildRequest request) {
    if (state() != CaptureState::running || request.scope.isEmpty() || !micChannel_ ||
        !systemChannel_) {
        return;
    }
    settleNote(true);
    state_ = CaptureState::rebuilding;
    if (request.reason == EndpointRebuildReason::voiceProcessingSilent) micVoiceProcessing_ = false;

    const std::uint64_t t0 = clock_.hostTime();
    const bool microphone = request.scope.contains(EndpointScope::microphone);
    const bool systemAudio = request.scope.contains(EndpointScope::systemAudio);
    PendingNote note{.request = request,
                     .microphone = std::nullopt,
                     .systemAudio = std::nullopt,
                     .total = {},
                     .microphoneGap = {.before = marks(EndpointScope::microphone), .fresh = {}},
                     .systemAudioGap = {.before = marks(EndpointScope::systemAudio), .fresh = {}},
                     .deadline = 0};
    std::optional<RebuildOutcome> micOutcome;
    std::optional<RebuildOutcome> systemOutcome;
    if (microphone && systemAudio) {
        auto micHalf = std::async(std::launch::async, [this, reason = request.reason] {
            return rebuildMicrophone(reason);
        });
        systemOutcome = rebuildSystemAudio();
        micOutcome = micHalf.get();
    } else if (microphone) {
        micOutcome = rebuildMicrophone(request.reason);
    } else if (systemAudio) {
        systemOutcome = rebuildSystemAudio();
    }
    state_ = CaptureState::running;

    const std::uint64_t done = clock_.hostTime();
    note.total = Duration{static_cast<Duration::rep>(done - t0)};
    note.deadline =
        done + static_cast<std::uint64_t>(
                   std::chrono::duration_cast<std::chrono::nanoseconds>(kGapWait).count());
    const auto measure = [this](const std::optional<RebuildOutcome>& outcome, EndpointScope scope,
                                GapMeasure& gap) {
        // The predecessor has stopped: its last audio is in. Without audio before, or
        // without a started endpoint now, there is no gap to measure.
        gap.lastEnd = gap.before ? gap.before->lastEnd.load(std::memory_order_acquire) : 0;
        if (outcome && !outcome->failure && gap.lastEnd != 0 && marks(scope) != gap.before)
            gap.fresh = marks(scope);
    };
    measure(micOutcome, EndpointScope::microphone, note.microphoneGap);
    measure(systemOutcome, EndpointScope::systemAudio, note.systemAudioGap);
    note.microphone = std::move(micOutcome);
    note.systemAudio = std::move(systemOutcome);
    pendingNote_ = std::move(note);
    settleNote(false);
}

void CaptureSession::settleNote(bool now) {
    noteTimer_.cancel();
    if (!pendingNote_) return;
    const auto heard = [](const GapMeasure& gap) {
        return !gap.fresh || gap.fresh->first.load(std::memory_order_acquire) != 0;
    };
    if (!now && clock_.hostTime() < pendingNote_->deadline &&
        !(heard(pendingNote_->microphoneGap) && heard(pendingNote_->systemAudioGap))) {
        noteTimer_ = control().after(kGapPoll, [weak = weak_from_this()] {
            if (auto self = weak.lock()) self->settleNote(false);
        });
        return;
    }
    writeNote(*std::exchange(pendingNote_, std::nullopt));
}

void CaptureSession::writeNote(PendingNote note) {
    const std::uint64_t now = clock_.hostTime();
    const auto realGap = [now](const GapMeasure& gap, std::optional<RebuildOutcome>& outcome) {
        if (!gap.fresh || !outcome) return;
        const std::uint64_t first = gap.fresh->first.load(std::memory_order_acquire);
        // Still nothing: the gap is at least as long as the wait.
        const std::uint64_t end = first != 0 ? first : now;
        outcome->gap =
            Duration{static_cast<Duration::rep>(end > gap.lastEnd ? end - gap.lastEnd : 0)};
    };
    realGap(note.microphoneGap, note.microphone);
    realGap(note.systemAudioGap, note.systemAudio);
    const auto& micOutcome = note.microphone;
    const auto& systemOutcome = note.systemAudio;
    const std::string summary =
        rebuildSummary(note.request, micOutcome ? &*micOutcome : nullptr,
                       systemOutcome ? &*systemOutcome : nullptr, note.total);
    const WallTime wallNow = clock_.now();
    updateSidecar([&](CaptureSidecar& sidecar) {
        sidecar.deviceEvents.push_back(
            {.at = SidecarTimestamp::format(wallNow), .kind = "rebuild", .detail = summary});
    });
    writeSidecar();

    std::vector<std::string> failures;
    if (micOutcome && micOutcome->failure) failures.push_back(*micOutcome->failure);
    if (systemOutcome && systemOutcome->failure) failures.push_back(*systemOutcome->failure);
    if (failures.empty()) {
        log_.notice("Rebuilt {}", summary);
    } else {
        log_.error("Rebuild {} incomplete: {}", summary, joined(failures, "; "));
    }
}

std::string CaptureSession::rebuildSummary(const RebuildRequest& request,
                                           const RebuildOutcome* microphone,
                                           const RebuildOutcome* systemAudio,
                                           Duration total) const {
    std::vector<std::string> parts;
    if (microphone) {
        std::string part =
            "microphone " + std::to_string(wholeMilliseconds(microphone->gap)) + " ms gap";
        if (microphone->path) part += " (" + *microphone->path + ")";
        parts.push_back(std::move(part));
    }
    if (systemAudio) {
        parts.push_back("systemAudio " + std::to_string(wholeMilliseconds(systemAudio->gap)) +
                        " ms gap");
    }
    return std::string(request.scope.description()) + " " + std::string(toString(request.reason)) +
           ": " + joined(parts, ", ") + ", " + std::to_string(wholeMilliseconds(total)) +
           " ms total";
}

CaptureSession::RebuildOutcome CaptureSession::rebuildMicrophone(EndpointRebuildReason reason) {
    const std::uint64_t t0 = clock_.hostTime();
    const auto gapSince = [&] {
        return Duration{static_cast<Duration::rep>(clock_.hostTime() - t0)};
    };

    if (reason != EndpointRebuildReason::voiceProcessingSilent && micEndpoint_) {
        try {
            if (const auto rate = micEndpoint_->repoint()) {
                reconfigure(micChannel_, *rate);
                startEndpoint(*micEndpoint_, EndpointScope::microphone, micChannel_);
                return {.gap = gapSince(), .path = "re-pointed", .failure = std::nullopt};
            }
        } catch (const std::exception& error) {
            log_.notice("Microphone could not be re-pointed in place ({}); rebuilding",
                        describe(error));
        }
    }

    RebuildOutcome outcome{.gap = {}, .path = "rebuilt", .failure = std::nullopt};
    if (micEndpoint_) micEndpoint_->stop();
    micEndpoint_.reset();
    std::unique_ptr<CaptureEndpoint> fresh;
    double rate = 0;
    try {
        fresh = factory_.makeMicrophone(micVoiceProcessing_);
        if (!fresh) throw Error("no capture endpoint could be made");
        rate = fresh->prepare();
        reconfigure(micChannel_, rate);
    } catch (const std::exception& error) {
        if (fresh) fresh->stop();
        outcome.failure = "microphone prepare: " + describe(error);
        outcome.gap = gapSince();
        return outcome;
    }
    try {
        startEndpoint(*fresh, EndpointScope::microphone, micChannel_);
        micEndpoint_ = std::move(fresh);
    } catch (const std::exception& error) {
        fresh->stop();
        outcome.failure = "microphone start: " + describe(error);
    }
    if (!outcome.failure && reason == EndpointRebuildReason::deviceChanged) renewEchoCanceller();
    outcome.gap = gapSince();
    return outcome;
}

CaptureSession::RebuildOutcome CaptureSession::rebuildSystemAudio() {
    std::unique_ptr<CaptureEndpoint> fresh;
    double rate = 0;
    try {
        fresh = factory_.makeSystemAudio();
        if (!fresh) throw Error("no capture endpoint could be made");
        rate = fresh->prepare();
    } catch (const std::exception& error) {
        if (fresh) fresh->stop();
        return {.gap = {}, .path = std::nullopt, .failure = "system prepare: " + describe(error)};
    }

    const std::uint64_t t0 = clock_.hostTime();
    RebuildOutcome outcome;
    if (systemEndpoint_) systemEndpoint_->stop();
    systemEndpoint_.reset();
    try {
        reconfigure(systemChannel_, rate);
        startEndpoint(*fresh, EndpointScope::systemAudio, systemChannel_);
        systemEndpoint_ = std::move(fresh);
    } catch (const std::exception& error) {
        fresh->stop();
        outcome.failure = "system start: " + describe(error);
    }
    outcome.gap = Duration{static_cast<Duration::rep>(clock_.hostTime() - t0)};
    return outcome;
}

}  // namespace kavo
