#include "support/SignalThread.h"

#include <cmath>
#include <numbers>
#include <utility>

#include "support/AudioCallbackScope.h"

namespace kavo::testing {

SignalThread::SignalThread(DeviceStream stream, const Clock& clock, Deliver deliver)
    : stream_(stream),
      deliver_(std::move(deliver)),
      startHostTime_(clock.hostTime()),
      nanosecondsPerFrame_(1e9 / (stream_.sampleRate * (1.0 + stream_.clockOffsetPpm * 1e-6))),
      samples_(static_cast<std::size_t>(stream_.framesPerBuffer)) {
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

void SignalThread::deliverUntil(std::uint64_t hostTime) {
    std::unique_lock lock(mutex_);
    targetHostTime_ = std::max(targetHostTime_, hostTime);
    const std::uint64_t ticket = ++requested_;
    wake_.notify_all();
    served_.wait(lock, [&] { return servedUpTo_ >= ticket || stopping_; });
}

void SignalThread::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return stopping_ || requested_ > servedUpTo_; });
        if (stopping_) return;
        const std::uint64_t serving = requested_;
        const std::uint64_t target = targetHostTime_;
        lock.unlock();
        while (hostTimeOfFrame(nextFrame_ + stream_.framesPerBuffer) <= target) deliverNext();
        lock.lock();
        servedUpTo_ = serving;
        served_.notify_all();
    }
}

void SignalThread::deliverNext() {
    for (std::size_t f = 0; f < samples_.size(); ++f) {
        const double phase =
            std::fmod(static_cast<double>(nextFrame_ + static_cast<std::int64_t>(f)) *
                          stream_.frequency / stream_.sampleRate,
                      1.0);
        samples_[f] =
            stream_.amplitude * static_cast<float>(std::sin(2.0 * std::numbers::pi * phase));
    }
    {
        const AudioCallbackScope scope;
        deliver_(samples_.data(), stream_.framesPerBuffer, hostTimeOfFrame(nextFrame_));
    }
    nextFrame_ += stream_.framesPerBuffer;
}

}  // namespace kavo::testing
