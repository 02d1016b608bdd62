#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "audio/AudioRing.h"
#include "audio/EchoCanceller.h"
#include "audio/PCMSink.h"
#include "audio/PeakLimiter.h"
#include "audio/Resampling.h"
#include "base/Error.h"
#include "base/Log.h"
#include "base/Scheduler.h"

namespace kavo {

class SerialQueue;

// Turns the capture sources of one recording into one 16 000 Hz mono 16-bit stream.
// Driven by the host clock, not by the sources: each tick writes exactly the frames the
// clock says are due since start. Every source lands by the host times of its buffers:
// audio captured at host time h becomes output frame (h - start) × 16 000 plus a fixed
// delay that leaves room for each source's delivery latency, so that sounds heard at one
// instant by both sources land together whatever the sources' start-up and latency. A
// source that delivered too little is padded with counted silence; one whose ring
// overflowed gets silence in place of the lost frames; every ten seconds each source is
// spliced at zero crossings back to where its host times say, so that a source clock
// running slightly fast or slow, or a stream that lost audio, stays aligned.
//
// The echo of the far side in the microphone is cancelled here, against the system audio
// of the same output frames: only at this stage do both sources run at one rate, on the
// host clock, with drift corrected, so that the echo trails its reference by the room's
// delay alone and that delay stays put.
class Mixer : public std::enable_shared_from_this<Mixer> {
public:
    class Channel;
    // Monotonic host time in nanoseconds.
    using HostClock = std::function<std::uint64_t()>;

    static constexpr double kOutputRate = 16'000.0;
    // Five seconds of output: the most one tick writes and the size of each scratch buffer.
    static constexpr std::int64_t kMaxFramesPerTick = 80'000;
    static constexpr const char* kQueueLabel = "brindle.meetings.desktop.mixer";

    // A mixer ticking on a serial queue of its own.
    static std::shared_ptr<Mixer> create(std::vector<std::shared_ptr<Channel>> channels,
                                         std::shared_ptr<PCMSink> sink, HostClock clock);
    // A mixer ticking on `queue`, which must outlive it (a manual scheduler in tests).
    static std::shared_ptr<Mixer> create(std::vector<std::shared_ptr<Channel>> channels,
                                         std::shared_ptr<PCMSink> sink, HostClock clock,
                                         Scheduler& queue);

    Mixer(const Mixer&) = delete;
    Mixer& operator=(const Mixer&) = delete;
    ~Mixer();

    // From start() on, `canceller` removes from `nearEnd` the echo of `farEnd`, both among
    // the channels, while the cancellation is on. Before start() only.
    void cancelEcho(std::unique_ptr<EchoCanceller> canceller, std::shared_ptr<Channel> nearEnd,
                    std::shared_ptr<Channel> farEnd);
    // Turns the cancellation on (the default) or off from the next tick; any thread.
    void setEchoCancellation(bool on) { echoOn_.store(on, std::memory_order_relaxed); }
    bool hasEchoCanceller() const { return canceller_ != nullptr; }
    bool echoCancellationOn() const {
        return canceller_ && echoOn_.load(std::memory_order_relaxed);
    }
    // Output frames whose microphone had its echo cancelled; readable from any thread.
    std::int64_t echoCancelledFrames() const {
        return echoCancelledFrames_.load(std::memory_order_relaxed);
    }

    // With `runTimer` false the owner drives tick() on queue() itself.
    void start(bool runTimer = true);
    // One mixing step; on queue() only.
    void tick();
    // Cancels the timer and writes everything due up to now. Waits on queue(), so call it
    // from elsewhere (or from the queue itself, where it runs in place).
    void stop();
    // Writes everything due up to now, then writes nothing until resume(): the sources
    // keep delivering, and what they deliver meanwhile is dropped, so no ring overflows and
    // the output resumes where it stopped, with each source's latency as before. Wait on
    // queue() like stop().
    void pause();
    void resume();
    bool isPaused() const { return paused_.load(std::memory_order_acquire); }

    // Where ticks and channel reconfiguration run.
    Scheduler& queue() const { return *queue_; }
    bool isRunning() const { return running_.load(std::memory_order_acquire); }
    // Output frames handed to the sink since start; readable from any thread.
    std::int64_t framesWritten() const { return framesWritten_.load(std::memory_order_acquire); }
    const std::vector<std::shared_ptr<Channel>>& channels() const { return channels_; }
    // The channels' summaries joined by single spaces.
    std::string summary() const;

    // Each sample × 32767 to the nearest integer, halves away from zero, clamped to 16 bits;
    // NaN becomes silence.
    static void convertToInt16(const float* samples, std::int16_t* into,
                               std::int64_t count) noexcept;

private:
    struct PrivateTag {};

public:
    Mixer(PrivateTag, std::vector<std::shared_ptr<Channel>> channels, std::shared_ptr<PCMSink> sink,
          HostClock clock, std::shared_ptr<SerialQueue> ownedQueue, Scheduler* queue);

private:
    // Writes what is due; while cancelling, whole canceller frames only unless `last`.
    void writeDue(bool last);
    void mixDue(std::int64_t count, bool cancelling);
    void cancel(std::int64_t count) noexcept;

    const std::vector<std::shared_ptr<Channel>> channels_;
    const std::shared_ptr<PCMSink> sink_;
    const HostClock clock_;
    std::shared_ptr<SerialQueue> ownedQueue_;
    Scheduler* const queue_;
    TimerHandle timer_;
    std::uint64_t startHostTime_ = 0;
    std::uint64_t lastDriftHostTime_ = 0;
    const std::uint64_t driftIntervalTicks_;
    std::atomic<std::int64_t> framesWritten_{0};
    std::atomic<bool> running_{false};
    std::atomic<bool> paused_{false};
    std::uint64_t pausedAtHostTime_ = 0;
    // Each channel's backlog when the pause began: what a channel keeps of its newest
    // frames while paused.
    std::vector<std::int64_t> pausedBacklogs_;
    PeakLimiter limiter_;
    std::vector<float> mixScratch_;
    std::vector<float> addScratch_;
    std::vector<std::int16_t> intScratch_;
    std::unique_ptr<EchoCanceller> canceller_;
    std::shared_ptr<Channel> nearEnd_;
    std::shared_ptr<Channel> farEnd_;
    std::vector<float> nearScratch_;
    std::vector<float> farScratch_;
    std::atomic<bool> echoOn_{true};
    std::atomic<std::int64_t> echoCancelledFrames_{0};
    Logger log_{"Mixer"};
};

// A channel rate the mixer cannot take.
class MixerError : public Error {
public:
    using Error::Error;
};

// One source of the mix. Its producer (an endpoint's audio thread) only calls deliver();
// everything else runs on the mixer's queue. Shared by the mixer and the capture session.
class Mixer::Channel {
public:
    static constexpr double kMinSampleRate = 1'000.0;
    static constexpr double kMaxSampleRate = 384'000.0;
    // Output frames by which audio lands after the host time it was captured at: room for
    // a source's delivery latency, so that reading does not run ahead of the source. 200 ms:
    // after an output switch a PipeWire monitor's host times can run 50-70 ms ahead of its
    // deliveries, and with 100 ms the far side then ran dry in scattered 10 ms pieces.
    static constexpr std::int64_t kAlignmentDelay = 3'200;
    static constexpr std::int64_t kDeadBand = 16;
    // A misalignment beyond this is a step (audio lost or a stream restarted), corrected
    // whole at once; below it, drift, corrected by at most kMaxCorrection.
    static constexpr std::int64_t kStepThreshold = 320;
    // Host times further off than this (five seconds of output) are not believed.
    static constexpr std::int64_t kMaxMisalignment = 80'000;
    static constexpr std::int64_t kMaxCorrection = 160;
    static constexpr std::int64_t kSplicePiece = 16;
    static constexpr std::int64_t kSpliceSearch = 320;

    // Throws MixerError for a rate outside kMinSampleRate...kMaxSampleRate.
    Channel(std::string name, double sampleRate);
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    // Producer, on the audio thread: notes the buffer's host time (the capture instant of
    // its first frame) and writes the frames into the ring. Never locks, allocates or waits.
    void deliver(const float* frames, std::int64_t count, std::uint64_t hostTime) noexcept;

    // Moves what the ring holds into the backlog, then, when the rate changed by more than
    // 0.5 Hz, switches ring and resampler to it. The backlog and counters carry over; the
    // next delivery is aligned afresh by its host time (the source restarted). Only while
    // the producer is not delivering. Throws MixerError, changing nothing, for a rate out
    // of range.
    void reconfigure(double sampleRate);

    // How many output frames later than its host times say the newest delivered buffer
    // will land, for output that started at `outputStart`; nothing before the first
    // delivery since the start or the last reconfigure, or when the host times are not
    // believable.
    std::optional<std::int64_t> misalignment(std::uint64_t outputStart) const;
    // Once per tick, after the drain: the first buffer of a (re)started source is put in
    // place at once; later, misalignment() is noted for correctDrift().
    void align(std::uint64_t outputStart);

    // Moves the ring's frames, and silence standing in for frames it refused, through the
    // resampler into the backlog.
    void drainRing();
    // Passes `frames` source-rate zeros through the resampler.
    void feedSilence(std::int64_t frames);
    // Fills `into` with `count` frames from the backlog, zeros for what is missing.
    void read(float* into, std::int64_t count);
    // Forgets the frames already read.
    void compactPending();
    // Forgets all but the newest `frames` of the backlog (while the mixer is paused).
    void keepNewest(std::int64_t frames);
    // Splices the backlog back to where the host times noted since the last call say (their
    // median, against jitter): a step whole, drift by at most kMaxCorrection frames.
    void correctDrift();

    // Where a splice goes in `pending`: the first index i in 1..min(limit, 320)-1 where the
    // signal crosses or touches zero between i-1 and i; 0 when there is none.
    static std::int64_t zeroCrossing(const std::vector<float>& pending, std::int64_t limit);

    const std::string& name() const { return name_; }
    double sampleRate() const { return sampleRate_; }
    const AudioRing& ring() const { return *ring_; }
    const Resampling& resampler() const { return *resampler_; }
    // Host time of the first buffer delivered; 0 before.
    std::uint64_t firstHostTime() const { return firstHostTime_.load(std::memory_order_relaxed); }
    std::int64_t emittedFrames() const { return emittedFrames_; }
    std::int64_t underrunFrames() const { return underrunFrames_; }
    // All frames the channel contributed to the output, real or silent.
    std::int64_t totalFrames() const { return emittedFrames_ + underrunFrames_; }
    std::int64_t droppedSourceFrames() const { return droppedSourceFrames_; }
    std::int64_t lastRealFrame() const { return lastRealFrame_; }
    std::int64_t splicedFrames() const { return splicedFrames_; }
    std::int64_t driftCorrections() const { return driftCorrections_; }
    // Resampled frames waiting to be mixed.
    std::int64_t backlog() const {
        return static_cast<std::int64_t>(pending_.size()) - pendingRead_;
    }
    std::string summary() const;

private:
    struct Stamp {
        std::int64_t frame;  // source frames delivered before the stamped buffer
        std::uint64_t hostTime;
    };
    static constexpr std::size_t kNoted = 128;
    // A fresh stream's first host times can be off by its latency estimate settling, so
    // after a second of ticks the source is put where their median says.
    static constexpr std::size_t kSettleTicks = 10;

    std::optional<Stamp> stamp() const noexcept;
    // Output index of the next frame the backlog will give, less its resampled index.
    std::int64_t outputOffset() const { return totalFrames() - (producedFrames_ - backlog()); }
    void resample(const float* frames, std::int64_t count);
    // The median of the misalignments noted since the last look; forgets them.
    std::int64_t takeNotedMedian();
    void settle();
    void dropFront(std::int64_t amount);
    void setRate(double sampleRate);
    // Remove / insert `amount` frames in pieces at zero crossings near the front of a
    // compacted backlog.
    void dropFrames(std::int64_t amount);
    void insertFrames(std::int64_t amount);
    // Repeats the `amount` frames after a zero crossing near the front of the backlog, so
    // that a drift correction adds no hole (zeros where the backlog is too short).
    void repeatFrames(std::int64_t amount);

    const std::string name_;
    double sampleRate_ = 0.0;
    std::unique_ptr<AudioRing> ring_;
    std::unique_ptr<Resampling> resampler_;
    std::vector<float> readChunk_;
    std::vector<float> silence_;
    std::vector<float> pending_;
    std::int64_t pendingRead_ = 0;
    alignas(64) std::atomic<std::uint64_t> firstHostTime_{0};
    // The newest buffer's stamp, written by the producer alone: an odd sequence number
    // while it is being written, so that a reader takes frame and host time of one buffer.
    std::atomic<std::uint32_t> stampSequence_{0};
    std::atomic<std::int64_t> stampFrame_{0};
    std::atomic<std::uint64_t> stampHostTime_{0};
    std::atomic<std::int64_t> deliveredFrames_{0};
    alignas(64) std::int64_t emittedFrames_ = 0;
    // Resampled frames that entered the backlog, and where the current source began.
    std::int64_t producedFrames_ = 0;
    std::int64_t sourceBase_ = 0;
    std::int64_t producedBase_ = 0;
    bool aligned_ = false;
    bool settling_ = false;
    std::array<std::int64_t, kNoted> noted_{};
    std::size_t notedCount_ = 0;
    std::int64_t underrunsAtCheck_ = 0;
    std::int64_t underrunFrames_ = 0;
    std::int64_t droppedSourceFrames_ = 0;
    std::int64_t lastRealFrame_ = 0;
    std::int64_t splicedFrames_ = 0;
    std::int64_t driftCorrections_ = 0;
};

}  // namespace kavo
