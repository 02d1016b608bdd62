#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "base/Clock.h"

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
};

// Plays a DeviceStream on a thread of its own, as a sound card would: buffer after buffer,
// each stamped with the host time of its first frame and handed over, inside an
// AudioCallbackScope, once deliverUntil() has reached the time its last frame is due.
class SignalThread {
public:
    using Deliver =
        std::function<void(const float* samples, std::int64_t frames, std::uint64_t hostTime)>;

    // Frame 0 is captured at the clock's host time now.
    SignalThread(DeviceStream stream, const Clock& clock, Deliver deliver);
    SignalThread(const SignalThread&) = delete;
    SignalThread& operator=(const SignalThread&) = delete;
    ~SignalThread();

    // Delivers every buffer whose last frame is due by `hostTime`; returns when done.
    void deliverUntil(std::uint64_t hostTime);

private:
    std::uint64_t hostTimeOfFrame(std::int64_t frame) const;
    void run();
    void deliverNext();

    const DeviceStream stream_;
    const Deliver deliver_;
    const std::uint64_t startHostTime_;
    const double nanosecondsPerFrame_;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable served_;
    bool stopping_ = false;
    std::uint64_t targetHostTime_ = 0;
    std::uint64_t requested_ = 0;
    std::uint64_t servedUpTo_ = 0;

    // The delivery thread's own.
    std::int64_t nextFrame_ = 0;
    std::vector<float> samples_;

    std::thread thread_;
};

}  // namespace kavo::testing
