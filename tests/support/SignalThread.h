#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "audio/AudioBufferList.h"
#include "base/Clock.h"

namespace kavo::testing {

// What a fake device hears, sample by sample.
struct Waveform {
    enum class Kind { silence, sine, constant, custom };

    Kind kind = Kind::silence;
    double frequency = 0;
    float amplitude = 0;
    // For Kind::custom: the sample of a frame on a channel.
    std::function<float(std::int64_t frame, std::uint32_t channel)> custom;

    static Waveform silence() { return {}; }
    static Waveform sine(double frequency, float amplitude = 0.5f) {
        return {Kind::sine, frequency, amplitude, {}};
    }
    static Waveform constant(float value) { return {Kind::constant, 0, value, {}}; }
    static Waveform from(std::function<float(std::int64_t, std::uint32_t)> generator) {
        return {Kind::custom, 0, 0, std::move(generator)};
    }

    float sample(std::int64_t frame, std::uint32_t channel, double sampleRate) const;
};

// How a fake device delivers: its format, buffer size and a clock that may run off the
// host clock by some parts per million.
struct DeviceStream {
    double sampleRate = 48'000;
    std::uint32_t channels = 1;
    bool interleaved = true;  // false: one buffer per channel
    std::int64_t framesPerBuffer = 480;
    // Positive: the device produces that many more frames per million than its nominal
    // rate says, measured on the host clock.
    double clockOffsetPpm = 0;
    Waveform waveform;
};

// Plays a DeviceStream on a thread of its own, as a sound card would: buffer after buffer,
// each stamped with the host time of its first frame and handed over once its last frame
// is due. Each hand-over runs inside an AudioCallbackScope.
class SignalThread {
public:
    using Deliver = std::function<void(const AudioBufferList& buffers, std::uint64_t hostTime)>;

    enum class Pacing {
        followClock,  // delivers as the clock advances, checking every millisecond
        onDemand,     // delivers only when deliverUntil() or deliverBuffers() asks
    };

    // Frame 0 is captured at the clock's host time now.
    SignalThread(DeviceStream stream, const Clock& clock, Pacing pacing, Deliver deliver);
    SignalThread(const SignalThread&) = delete;
    SignalThread& operator=(const SignalThread&) = delete;
    ~SignalThread();

    // Delivers every buffer whose last frame is due by `hostTime`; returns when done.
    void deliverUntil(std::uint64_t hostTime);
    // Delivers `count` more buffers whatever the clock says; returns when done.
    void deliverBuffers(std::int64_t count);

    // The host time at which the device captures `frame`.
    std::uint64_t hostTimeOfFrame(std::int64_t frame) const;
    std::int64_t framesDelivered() const;
    const DeviceStream& stream() const { return stream_; }

private:
    void run();
    void deliverNext();

    const DeviceStream stream_;
    const Clock& clock_;
    const Pacing pacing_;
    const Deliver deliver_;
    const std::uint64_t startHostTime_;
    const double nanosecondsPerFrame_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable served_;
    bool stopping_ = false;
    std::uint64_t targetHostTime_ = 0;
    std::int64_t extraBuffers_ = 0;
    std::uint64_t requested_ = 0;
    std::uint64_t servedUpTo_ = 0;
    std::int64_t delivered_ = 0;

    // The delivery thread's own.
    std::int64_t nextFrame_ = 0;
    std::vector<float> samples_;
    std::vector<AudioBuffer> buffers_;

    std::thread thread_;
};

}  // namespace kavo::testing
