#include "support/SignalThread.h"

#include <cmath>
#include <numbers>
#include <utility>

#include "support/AudioCallbackScope.h"

namespace kavo::testing {

float Waveform::sample(std::int64_t frame, std::uint32_t channel, double sampleRate) const {
    switch (kind) {
        case Kind::silence:
            return 0.0f;
        case Kind::constant:
            return amplitude;
        case Kind::sine: {
            const double phase =
                std::fmod(static_cast<double>(frame) * frequency / sampleRate, 1.0);
            return amplitude * static_cast<float>(std::sin(2.0 * std::numbers::pi * phase));
        }
        case Kind::custom:
            return custom ? custom(frame, channel) : 0.0f;
    }
    return 0.0f;
}

SignalThread::SignalThread(DeviceStream stream, const Clock& clock, Pacing pacing, Deliver deliver)
    : stream_(std::move(stream)),
      clock_(clock),
      pacing_(pacing),
      deliver_(std::move(deliver)),
      startHostTime_(clock.hostTime()),
      nanosecondsPerFrame_(1e9 / (stream_.sampleRate * (1.0 + stream_.clockOffsetPpm * 1e-6))),
      samples_(static_cast<std::size_t>(stream_.framesPerBuffer * stream_.channels)) {
    if (stream_.interleaved) {
        buffers_.push_back({stream_.channels,
                            static_cast<std::uint32_t>(samples_.size() * sizeof(float)),
                            samples_.data()});
    } else {
        for (std::uint32_t c = 0; c < stream_.channels; ++c) {
            buffers_.push_back({1,
                                static_cast<std::uint32_t>(stream_.framesPerBuffer * sizeof(float)),
                                samples_.data() + c * stream_.framesPerBuffer});
        }
    }
    thread_ = std::thread([this] { run(); });
}

SignalThread::~SignalThread() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

std::uint64_t SignalThread::hostTimeOfFrame(std::int64_t frame) const {
    return startHostTime_ + static_cast<std::uint64_t>(
                                std::llround(static_cast<double>(frame) * nanosecondsPerFrame_));
}

std::int64_t SignalThread::framesDelivered() const {
    std::lock_guard lock(mutex_);
    return delivered_;
}

void SignalThread::deliverUntil(std::uint64_t hostTime) {
    std::unique_lock lock(mutex_);
    targetHostTime_ = std::max(targetHostTime_, hostTime);
    const std::uint64_t ticket = ++requested_;
    wake_.notify_all();
    served_.wait(lock, [&] { return servedUpTo_ >= ticket || stopping_; });
}

void SignalThread::deliverBuffers(std::int64_t count) {
    std::unique_lock lock(mutex_);
    extraBuffers_ += count;
    const std::uint64_t ticket = ++requested_;
    wake_.notify_all();
    served_.wait(lock, [&] { return servedUpTo_ >= ticket || stopping_; });
}

void SignalThread::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        if (pacing_ == Pacing::followClock) {
            wake_.wait_for(lock, std::chrono::milliseconds(1),
                           [&] { return stopping_ || requested_ > servedUpTo_; });
        } else {
            wake_.wait(lock, [&] { return stopping_ || requested_ > servedUpTo_; });
        }
        if (stopping_) return;
        const std::uint64_t serving = requested_;
        std::int64_t extra = std::exchange(extraBuffers_, 0);
        const std::uint64_t target = pacing_ == Pacing::followClock
                                         ? std::max(clock_.hostTime(), targetHostTime_)
                                         : targetHostTime_;
        lock.unlock();
        for (; extra > 0; --extra) deliverNext();
        while (hostTimeOfFrame(nextFrame_ + stream_.framesPerBuffer) <= target) deliverNext();
        lock.lock();
        delivered_ = nextFrame_;
        servedUpTo_ = serving;
        served_.notify_all();
    }
}

void SignalThread::deliverNext() {
    const std::int64_t frames = stream_.framesPerBuffer;
    for (std::int64_t f = 0; f < frames; ++f) {
        for (std::uint32_t c = 0; c < stream_.channels; ++c) {
            const float value = stream_.waveform.sample(nextFrame_ + f, c, stream_.sampleRate);
            const std::int64_t index =
                stream_.interleaved ? f * stream_.channels + c : c * frames + f;
            samples_[static_cast<std::size_t>(index)] = value;
        }
    }
    {
        AudioCallbackScope scope;
        deliver_(AudioBufferList{buffers_}, hostTimeOfFrame(nextFrame_));
    }
    nextFrame_ += frames;
}

}  // namespace kavo::testing
