#include "audio/Mixer.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <thread>

#include "audio/ConverterResampler.h"
#include "audio/ThreeToOneDecimator.h"
#include "base/SerialQueue.h"

namespace kavo {
namespace {

// Host ticks are nanoseconds: numer/denom of the host timebase is 1/1.
constexpr double kTimebaseNumer = 1.0;
constexpr double kTimebaseDenom = 1.0;

constexpr std::uint64_t hostTicks(double secondsValue) {
    return static_cast<std::uint64_t>(secondsValue * 1e9 * kTimebaseDenom / kTimebaseNumer);
}

constexpr double hostSeconds(std::uint64_t ticks) {
    return static_cast<double>(ticks) * kTimebaseNumer / kTimebaseDenom / 1e9;
}

constexpr Duration kTickInterval = std::chrono::milliseconds(100);
constexpr Duration kTickLeeway = std::chrono::milliseconds(10);
constexpr double kDriftInterval = 10.0;
// Refused source frames stand in as at most this much silence per drain.
constexpr double kMaxSilenceSeconds = 5.0;
constexpr double kReadChunkSeconds = 0.25;
constexpr std::int64_t kPendingReserve = 32'000;
// Frames already mixed are dropped from the front of the backlog past this many.
constexpr std::int64_t kCompactThreshold = 16'000;

std::unique_ptr<Resampling> makeResampler(double sampleRate) {
    if (std::fabs(sampleRate - 48'000.0) < 0.5) {
        return std::make_unique<ThreeToOneDecimator>();
    }
    return std::make_unique<ConverterResampler>(sampleRate);
}

void checkRate(const std::string& name, double sampleRate) {
    if (!(sampleRate >= Mixer::Channel::kMinSampleRate &&
          sampleRate <= Mixer::Channel::kMaxSampleRate)) {
        throw MixerError(
            fmt::format("The {} source's sample rate of {} Hz is not supported", name, sampleRate));
    }
}

void addInto(float* __restrict sum, const float* __restrict add, std::int64_t count) {
    for (std::int64_t i = 0; i < count; ++i) {
        sum[i] += add[i];
    }
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Mixer

std::shared_ptr<Mixer> Mixer::create(std::vector<std::shared_ptr<Channel>> channels,
                                     std::shared_ptr<PCMSink> sink, HostClock clock) {
    auto queue = std::make_shared<SerialQueue>(kQueueLabel);
    Scheduler* scheduler = queue.get();
    return std::make_shared<Mixer>(PrivateTag{}, std::move(channels), std::move(sink),
                                   std::move(clock), std::move(queue), scheduler);
}

std::shared_ptr<Mixer> Mixer::create(std::vector<std::shared_ptr<Channel>> channels,
                                     std::shared_ptr<PCMSink> sink, HostClock clock,
                                     Scheduler& queue) {
    return std::make_shared<Mixer>(PrivateTag{}, std::move(channels), std::move(sink),
                                   std::move(clock), nullptr, &queue);
}

Mixer::Mixer(PrivateTag, std::vector<std::shared_ptr<Channel>> channels,
             std::shared_ptr<PCMSink> sink, HostClock clock,
             std::shared_ptr<SerialQueue> ownedQueue, Scheduler* queue)
    : channels_(std::move(channels)),
      sink_(std::move(sink)),
      clock_(std::move(clock)),
      ownedQueue_(std::move(ownedQueue)),
      queue_(queue),
      driftIntervalTicks_(hostTicks(kDriftInterval)),
      mixScratch_(kMaxFramesPerTick, 0.0f),
      addScratch_(kMaxFramesPerTick, 0.0f),
      intScratch_(kMaxFramesPerTick, 0) {
    if (channels_.empty()) {
        throw MixerError("The mixer needs at least one source");
    }
    if (std::any_of(channels_.begin(), channels_.end(), [](const auto& c) { return !c; }) ||
        !sink_ || !clock_) {
        throw MixerError("The mixer needs its sources, an output and a clock");
    }
}

Mixer::~Mixer() {
    timer_.cancel();
    // The last owner let go inside a tick on our own queue: that thread cannot join
    // itself, so another thread retires the queue once the tick has returned.
    if (ownedQueue_ && ownedQueue_->isCurrent()) {
        std::thread([queue = std::move(ownedQueue_)] {}).detach();
    }
}

void Mixer::cancelEcho(std::unique_ptr<EchoCanceller> canceller, std::shared_ptr<Channel> nearEnd,
                       std::shared_ptr<Channel> farEnd) {
    const auto isOurs = [this](const std::shared_ptr<Channel>& channel) {
        return std::find(channels_.begin(), channels_.end(), channel) != channels_.end();
    };
    if (!canceller || !isOurs(nearEnd) || !isOurs(farEnd) || nearEnd == farEnd) {
        throw MixerError("Echo cancellation needs a canceller and two of the mixer's sources");
    }
    queue_->sync([&] {
        nearScratch_.assign(kMaxFramesPerTick, 0.0f);
        farScratch_.assign(kMaxFramesPerTick, 0.0f);
        canceller_ = std::move(canceller);
        nearEnd_ = std::move(nearEnd);
        farEnd_ = std::move(farEnd);
    });
}

void Mixer::start(bool runTimer) {
    queue_->sync([this, runTimer] {
        if (running_.load(std::memory_order_relaxed)) {
            return;
        }
        startHostTime_ = clock_();
        lastDriftHostTime_ = startHostTime_;
        framesWritten_.store(0, std::memory_order_release);
        running_.store(true, std::memory_order_release);
        if (runTimer) {
            timer_ = queue_->every(kTickInterval, kTickLeeway, [weak = weak_from_this()] {
                if (auto self = weak.lock()) {
                    self->tick();
                }
            });
        }
    });
}

void Mixer::tick() {
    writeDue(false);
}

void Mixer::writeDue(bool last) {
    if (!running_.load(std::memory_order_relaxed)) {
        return;
    }
    const std::uint64_t now = clock_();
    if (paused_.load(std::memory_order_relaxed)) {
        for (std::size_t i = 0; i < channels_.size(); ++i) {
            channels_[i]->drainRing();
            channels_[i]->keepNewest(pausedBacklogs_[i]);
        }
        return;
    }
    const double elapsedSeconds = hostSeconds(now - startHostTime_);
    const std::int64_t target = std::llround(elapsedSeconds * kOutputRate);
    const std::int64_t due = target - framesWritten_.load(std::memory_order_relaxed);
    if (due < 1) {
        return;
    }
    const bool cancelling = echoCancellationOn();
    std::int64_t count = std::min(due, kMaxFramesPerTick);
    // The rest of a canceller frame waits for the next tick (kMaxFramesPerTick is whole
    // frames); the last one is cancelled padded with silence.
    if (cancelling && !last) {
        count -= count % EchoCanceller::kFrameSize;
        if (count < 1) {
            return;
        }
    }

    for (const auto& channel : channels_) {
        channel->drainRing();
        channel->align(startHostTime_);
    }
    // Measured after the drain and before the read, so the backlog includes this tick's
    // frames.
    if (now - lastDriftHostTime_ >= driftIntervalTicks_) {
        lastDriftHostTime_ = now;
        for (const auto& channel : channels_) {
            channel->correctDrift();
        }
    }
    mixDue(count, cancelling);
}

void Mixer::mixDue(std::int64_t count, bool cancelling) {
    std::fill_n(mixScratch_.data(), count, 0.0f);
    for (const auto& channel : channels_) {
        float* into = addScratch_.data();
        if (cancelling && channel == nearEnd_) {
            into = nearScratch_.data();
        } else if (cancelling && channel == farEnd_) {
            into = farScratch_.data();
        }
        channel->read(into, count);
        if (into == addScratch_.data()) {
            addInto(mixScratch_.data(), addScratch_.data(), count);
        }
    }
    if (cancelling) {
        cancel(count);
        addInto(mixScratch_.data(), nearScratch_.data(), count);
        addInto(mixScratch_.data(), farScratch_.data(), count);
        echoCancelledFrames_.fetch_add(count, std::memory_order_relaxed);
    }
    limiter_.process(mixScratch_.data(), count);
    convertToInt16(mixScratch_.data(), intScratch_.data(), count);
    sink_->append(intScratch_.data(), count);
    framesWritten_.fetch_add(count, std::memory_order_acq_rel);
}

void Mixer::cancel(std::int64_t count) noexcept {
    constexpr std::int64_t frame = EchoCanceller::kFrameSize;
    std::int64_t at = 0;
    for (; at + frame <= count; at += frame) {
        canceller_->process(nearScratch_.data() + at, farScratch_.data() + at);
    }
    if (at == count) {
        return;
    }
    std::array<float, frame> nearTail{};
    std::array<float, frame> farTail{};
    const std::int64_t rest = count - at;
    std::copy_n(nearScratch_.data() + at, rest, nearTail.data());
    std::copy_n(farScratch_.data() + at, rest, farTail.data());
    canceller_->process(nearTail.data(), farTail.data());
    std::copy_n(nearTail.data(), rest, nearScratch_.data() + at);
}

void Mixer::stop() {
    queue_->sync([this] {
        if (!running_.load(std::memory_order_relaxed)) {
            return;
        }
        timer_.cancel();
        timer_ = TimerHandle();
        writeDue(true);
        running_.store(false, std::memory_order_release);
        log_.info("Mixer stopped: frames={} {}", framesWritten_.load(std::memory_order_relaxed),
                  summary());
    });
}

void Mixer::pause() {
    queue_->sync([this] {
        if (!running_.load(std::memory_order_relaxed) || paused_.load(std::memory_order_relaxed))
            return;
        tick();
        pausedAtHostTime_ = clock_();
        pausedBacklogs_.clear();
        for (const auto& channel : channels_) pausedBacklogs_.push_back(channel->backlog());
        paused_.store(true, std::memory_order_release);
    });
}

void Mixer::resume() {
    queue_->sync([this] {
        if (!paused_.load(std::memory_order_relaxed)) return;
        tick();
        // The output clock skips the pause: what is due counts from the frames written.
        const std::uint64_t pausedFor = clock_() - pausedAtHostTime_;
        startHostTime_ += pausedFor;
        lastDriftHostTime_ += pausedFor;
        paused_.store(false, std::memory_order_release);
    });
}

// In double the product and the added half are exact, so the rounding is too.
void Mixer::convertToInt16(const float* __restrict samples, std::int16_t* __restrict into,
                           std::int64_t count) noexcept {
    for (std::int64_t i = 0; i < count; ++i) {
        double y = static_cast<double>(samples[i]) * 32767.0;
        y += std::copysign(0.5, y);
        y = y > 32767.0 ? 32767.0 : y;
        y = y < -32768.0 ? -32768.0 : y;
        into[i] =
            y == y ? static_cast<std::int16_t>(static_cast<std::int32_t>(y)) : std::int16_t{0};
    }
}

std::string Mixer::summary() const {
    std::string text;
    for (const auto& channel : channels_) {
        if (!text.empty()) {
            text += ' ';
        }
        text += channel->summary();
    }
    return text;
}

// ---------------------------------------------------------------------------------------
// Mixer::Channel

Mixer::Channel::Channel(std::string name, double sampleRate) : name_(std::move(name)) {
    checkRate(name_, sampleRate);
    setRate(sampleRate);
    pending_.reserve(kPendingReserve);
}

void Mixer::Channel::setRate(double sampleRate) {
    // Everything new is built before anything is replaced.
    auto ring =
        std::make_unique<AudioRing>(static_cast<std::int64_t>(std::floor(2.0 * sampleRate)));
    auto resampler = makeResampler(sampleRate);
    const auto chunk = static_cast<std::size_t>(std::floor(sampleRate * kReadChunkSeconds));
    std::vector<float> readChunk(chunk, 0.0f);
    std::vector<float> silence(chunk, 0.0f);
    sampleRate_ = sampleRate;
    ring_ = std::move(ring);
    resampler_ = std::move(resampler);
    readChunk_ = std::move(readChunk);
    silence_ = std::move(silence);
}

void Mixer::Channel::deliver(const float* frames, std::int64_t count,
                             std::uint64_t hostTime) noexcept {
    std::uint64_t unset = 0;
    firstHostTime_.compare_exchange_strong(unset, hostTime, std::memory_order_relaxed);
    const std::int64_t delivered = deliveredFrames_.load(std::memory_order_relaxed);
    const std::uint32_t sequence = stampSequence_.load(std::memory_order_relaxed);
    stampSequence_.store(sequence + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    stampFrame_.store(delivered, std::memory_order_relaxed);
    stampHostTime_.store(hostTime, std::memory_order_relaxed);
    stampSequence_.store(sequence + 2, std::memory_order_release);
    deliveredFrames_.store(delivered + count, std::memory_order_relaxed);
    ring_->write(frames, count);
}

std::optional<Mixer::Channel::Stamp> Mixer::Channel::stamp() const noexcept {
    for (int attempt = 0; attempt < 8; ++attempt) {
        const std::uint32_t before = stampSequence_.load(std::memory_order_acquire);
        if (before == 0) return std::nullopt;
        if (before % 2 != 0) continue;
        const Stamp stamp{stampFrame_.load(std::memory_order_relaxed),
                          stampHostTime_.load(std::memory_order_relaxed)};
        std::atomic_thread_fence(std::memory_order_acquire);
        if (stampSequence_.load(std::memory_order_relaxed) == before) return stamp;
    }
    return std::nullopt;
}

void Mixer::Channel::reconfigure(double sampleRate) {
    checkRate(name_, sampleRate);
    drainRing();
    if (std::fabs(sampleRate - sampleRate_) > 0.5) {
        setRate(sampleRate);
    }
    sourceBase_ = deliveredFrames_.load(std::memory_order_relaxed);
    producedBase_ = producedFrames_;
    aligned_ = false;
    notedCount_ = 0;
}

std::optional<std::int64_t> Mixer::Channel::misalignment(std::uint64_t outputStart) const {
    const auto newest = stamp();
    if (!newest || newest->frame < sourceBase_) return std::nullopt;
    const double resampled =
        static_cast<double>(producedBase_ + resampler_->delay()) +
        static_cast<double>(newest->frame - sourceBase_) * kOutputRate / sampleRate_;
    // Wraps to a negative difference for audio captured before the output started.
    const auto sinceStart = static_cast<std::int64_t>(newest->hostTime - outputStart);
    const double wanted =
        static_cast<double>(sinceStart) * kOutputRate / 1e9 + static_cast<double>(kAlignmentDelay);
    const std::int64_t late =
        std::llround(resampled + static_cast<double>(outputOffset()) - wanted);
    if (std::abs(late) > kMaxMisalignment) return std::nullopt;
    return late;
}

void Mixer::Channel::align(std::uint64_t outputStart) {
    const auto late = misalignment(outputStart);
    if (!late) return;
    if (aligned_) {
        if (notedCount_ < kNoted) noted_[notedCount_++] = *late;
        if (settling_ && notedCount_ == kSettleTicks) settle();
        return;
    }
    // Before its first frame the source was silence, so the cut or the pause at the front
    // needs no zero crossing.
    if (*late > 0) {
        const std::int64_t k = std::min(*late, backlog());
        dropFront(k);
        if (k < *late) return;  // the rest is still on its way
    } else if (*late < 0) {
        compactPending();
        pending_.insert(pending_.begin(), static_cast<std::size_t>(-*late), 0.0f);
    }
    aligned_ = true;
    settling_ = true;
    notedCount_ = 0;
    underrunsAtCheck_ = underrunFrames_;
}

void Mixer::Channel::drainRing() {
    const std::int64_t refused = ring_->takeDropped();
    if (refused >= 1) {
        droppedSourceFrames_ += refused;
        const auto cap = static_cast<std::int64_t>(std::floor(sampleRate_ * kMaxSilenceSeconds));
        feedSilence(std::min(refused, cap));
    }
    const auto chunk = static_cast<std::int64_t>(readChunk_.size());
    while (true) {
        const std::int64_t got = ring_->read(readChunk_.data(), chunk);
        if (got == 0) {
            break;
        }
        resample(readChunk_.data(), got);
    }
}

void Mixer::Channel::feedSilence(std::int64_t frames) {
    const auto chunk = static_cast<std::int64_t>(silence_.size());
    for (std::int64_t remaining = frames; remaining > 0;) {
        const std::int64_t k = std::min(chunk, remaining);
        resample(silence_.data(), k);
        remaining -= k;
    }
}

void Mixer::Channel::resample(const float* frames, std::int64_t count) {
    const auto before = static_cast<std::int64_t>(pending_.size());
    resampler_->process(frames, count, pending_);
    producedFrames_ += static_cast<std::int64_t>(pending_.size()) - before;
}

void Mixer::Channel::dropFront(std::int64_t amount) {
    compactPending();
    pending_.erase(pending_.begin(),
                   pending_.begin() +
                       std::min<std::int64_t>(amount, static_cast<std::int64_t>(pending_.size())));
}

void Mixer::Channel::read(float* into, std::int64_t count) {
    const std::int64_t k = std::clamp<std::int64_t>(backlog(), 0, std::max<std::int64_t>(count, 0));
    if (k >= 1) {
        std::copy_n(pending_.begin() + pendingRead_, k, into);
        pendingRead_ += k;
        emittedFrames_ += k;
        lastRealFrame_ = emittedFrames_ + underrunFrames_;
    }
    if (k < count) {
        std::fill(into + k, into + count, 0.0f);
        underrunFrames_ += count - k;
    }
    if (pendingRead_ >= kCompactThreshold) {
        compactPending();
    }
}

void Mixer::Channel::compactPending() {
    if (pendingRead_ < 1) {
        return;
    }
    pending_.erase(pending_.begin(), pending_.begin() + pendingRead_);
    pendingRead_ = 0;
}

void Mixer::Channel::keepNewest(std::int64_t frames) {
    compactPending();
    const auto excess =
        static_cast<std::int64_t>(pending_.size()) - std::max<std::int64_t>(frames, 0);
    if (excess > 0) pending_.erase(pending_.begin(), pending_.begin() + excess);
}

std::int64_t Mixer::Channel::takeNotedMedian() {
    std::array<std::int64_t, kNoted> noted = noted_;
    const auto middle = noted.begin() + static_cast<std::ptrdiff_t>(notedCount_ / 2);
    std::nth_element(noted.begin(), middle,
                     noted.begin() + static_cast<std::ptrdiff_t>(notedCount_));
    notedCount_ = 0;
    return *middle;
}

void Mixer::Channel::settle() {
    settling_ = false;
    const std::int64_t late = takeNotedMedian();
    if (std::abs(late) <= kDeadBand) return;
    compactPending();
    if (late > 0) {
        dropFrames(late);
    } else {
        insertFrames(-late);
    }
}

void Mixer::Channel::correctDrift() {
    const bool underran = underrunFrames_ > underrunsAtCheck_;
    underrunsAtCheck_ = underrunFrames_;
    if (!aligned_ || settling_ || notedCount_ == 0) {
        return;
    }
    const std::int64_t late = takeNotedMedian();
    if (std::abs(late) <= kDeadBand) {
        return;
    }
    compactPending();
    if (late > 0) {
        // Late is taken out gently, since what goes is audio; not at all while the source
        // underran: its latency exceeds the delay, and taking frames out would only make it
        // underrun again.
        if (underran) {
            return;
        }
        dropFrames(std::min(late, kMaxCorrection));
    } else {
        // Early by a step means audio was lost upstream: silence in its place, at once. Early
        // by less is a clock running slow: a few milliseconds of audio said twice.
        if (-late > kStepThreshold) {
            insertFrames(-late);
        } else {
            repeatFrames(std::min(-late, kMaxCorrection));
        }
    }
    ++driftCorrections_;
}

std::int64_t Mixer::Channel::zeroCrossing(const std::vector<float>& pending, std::int64_t limit) {
    const std::int64_t end =
        std::min({limit, kSpliceSearch, static_cast<std::int64_t>(pending.size())});
    for (std::int64_t i = 1; i < end; ++i) {
        const float before = pending[static_cast<std::size_t>(i - 1)];
        const float at = pending[static_cast<std::size_t>(i)];
        if ((before <= 0.0f && at >= 0.0f) || (before >= 0.0f && at <= 0.0f)) {
            return i;
        }
    }
    return 0;
}

void Mixer::Channel::dropFrames(std::int64_t amount) {
    for (std::int64_t remaining = amount; remaining > 0 && !pending_.empty();) {
        const std::int64_t k =
            std::min({remaining, static_cast<std::int64_t>(pending_.size()), kSplicePiece});
        const std::int64_t at =
            zeroCrossing(pending_, static_cast<std::int64_t>(pending_.size()) - k);
        pending_.erase(pending_.begin() + at, pending_.begin() + at + k);
        splicedFrames_ += k;
        remaining -= k;
    }
}

void Mixer::Channel::insertFrames(std::int64_t amount) {
    for (std::int64_t remaining = amount; remaining > 0;) {
        const std::int64_t k = std::min(remaining, kSplicePiece);
        const std::int64_t at = zeroCrossing(pending_, static_cast<std::int64_t>(pending_.size()));
        pending_.insert(pending_.begin() + at, static_cast<std::size_t>(k), 0.0f);
        splicedFrames_ -= k;
        remaining -= k;
    }
}

void Mixer::Channel::repeatFrames(std::int64_t amount) {
    const auto size = static_cast<std::int64_t>(pending_.size());
    const std::int64_t at = zeroCrossing(pending_, size - amount);
    if (size - at < amount) {
        insertFrames(amount);
        return;
    }
    pending_.insert(pending_.begin() + at, static_cast<std::size_t>(amount), 0.0f);
    std::copy_n(pending_.begin() + at + amount, amount, pending_.begin() + at);
    splicedFrames_ -= amount;
}

std::string Mixer::Channel::summary() const {
    return fmt::format("{}[rate={} underrun={} lastReal={} dropped={} backlog={} corrections={}]",
                       name_, static_cast<std::int64_t>(sampleRate_), underrunFrames_,
                       lastRealFrame_, droppedSourceFrames_, backlog(), driftCorrections_);
}

}  // namespace kavo
