#include "support/SignalThread.h"

#include <cmath>
#include <numbers>
#include <utility>

#include "support/AudioCallbackScope.h"

namespace kavo::testing {

SignalThread::SignalThread(DeviceStream stream, const Clock& clock, Deliver deliver)
    : stream_(std::move(stream)),
      deliver_(std::move(deliver)),
      startHostTime_(clock.hostTime()),
      nanosecondsPerFrame_(1e9 / (stream_.sampleRate * (1.0 + stream_.clockOffsetPpm * 1e-6))),
      samples_(static_cast<std::size_t>(stream_.framesPerBuffer)) {}

std::uint64_t SignalThread::hostTimeOfFrame(std::int64_t frame) const {
    return startHostTime_ + static_cast<std::uint64_t>(
                                std::llround(static_cast<double>(frame) * nanosecondsPerFrame_));
}

void SignalThread::deliverUntil(std::uint64_t hostTime) {
    thread_.sync([&] {
        while (hostTimeOfFrame(nextFrame_ + stream_.framesPerBuffer) <= hostTime) deliverNext();
    });
}

void SignalThread::deliverNext() {
    for (std::size_t f = 0; f < samples_.size(); ++f) {
        if (stream_.signal) {
            samples_[f] = stream_.signal(nextFrame_ + static_cast<std::int64_t>(f));
            continue;
        }
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
