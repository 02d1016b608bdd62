#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "base/Clock.h"
#include "base/SerialQueue.h"

namespace kavo::testing {

// What a fake device hears and how it delivers: a mono sine (silence at frequency 0) in
// buffers of a fixed size, from a clock that may run off the host clock.
struct DeviceStream {
    double sampleRate = 48'000;
    std::int64_t framesPerBuffer = 480;
    // Positive: the device produces that many more frames per million than its nominal
    // rate says, measured on the host clock.
    double clockOffsetPpm = 0;
    double frequency = 0;
    float amplitude = 0;
    // When set, the sample of each frame instead of the sine.
    std::function<float(std::int64_t frame)> signal;
};

// Plays a DeviceStream on its own thread, as a sound card would: each buffer, stamped with its
// first frame's host time, handed over in an AudioCallbackScope once its last frame is due.
class SignalThread {
public:
    using Deliver =
        std::function<void(const float* samples, std::int64_t frames, std::uint64_t hostTime)>;

    // Frame 0 is captured at the clock's host time now.
    SignalThread(DeviceStream stream, const Clock& clock, Deliver deliver);

    // Delivers every buffer whose last frame is due by `hostTime`; returns when done.
    void deliverUntil(std::uint64_t hostTime);

private:
    std::uint64_t hostTimeOfFrame(std::int64_t frame) const;
    void deliverNext();

    const DeviceStream stream_;
    const Deliver deliver_;
    const std::uint64_t startHostTime_;
    const double nanosecondsPerFrame_;
    // The delivery thread's own.
    std::int64_t nextFrame_ = 0;
    std::vector<float> samples_;
    // Last, so that it ends first.
    SerialQueue thread_{"signal-thread"};
};

}  // namespace kavo::testing
