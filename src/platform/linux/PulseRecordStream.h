#pragma once

#include <pulse/pulseaudio.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/linux/PulseContext.h"

namespace kavo::linux_platform {

// A float32 record stream on one named source, delivering interleaved buffers with a
// monotonic host time each: when the audio was captured or, for a monitor, heard. A buffer
// is handed over once that time has come, never before, until the stream is dropped; no
// callback runs after that.
class PulseRecordStream {
public:
    // Called on the main loop thread for every buffer of `frames` interleaved frames of
    // the stream's channels, heard at `hostTime`; must not lock, allocate or wait.
    using DataHandler =
        std::function<void(const float* samples, std::size_t frames, std::uint64_t hostTime)>;

    // Something happened to the stream that may change what it records: it moved to
    // another source, was suspended or resumed, or failed. Called on the main loop thread
    // with its lock held: it must only hand the news on.
    enum class Event { moved, suspended, failed };
    using EventHandler = std::function<void(Event event)>;

    struct Options {
        std::string sourceName;
        std::uint32_t rate = 0;
        std::uint32_t channels = 0;
        bool dontMove = false;
        // The source is the monitor of a sink that renders ahead of what it plays, as
        // PulseAudio's do: what it records is heard only the configured latency later.
        // PipeWire hands a monitor each cycle as its sink plays it.
        bool rendersAhead = false;
        std::string streamName = "Kavo Meetings capture";
    };

    // Connects and waits until the stream records; throws PulseError with the cause. When
    // dropped, hands over what it holds, on the dropping thread, and disconnects.
    PulseRecordStream(PulseContext& pulse, Options options, DataHandler onData,
                      EventHandler onEvent);
    PulseRecordStream(const PulseRecordStream&) = delete;
    PulseRecordStream& operator=(const PulseRecordStream&) = delete;
    ~PulseRecordStream();

    // The source the stream records from now (it may have moved).
    std::string sourceName() const;
    // Hands over everything held now, heard or not, on the calling thread.
    void flush();
    // Renames the stream as the server shows it.
    void rename(const std::string& name);

private:
    static void onRead(pa_stream* stream, std::size_t bytes, void* self);
    static void onState(pa_stream* stream, void* self);
    static void onMoved(pa_stream* stream, void* self);
    static void onSuspended(pa_stream* stream, void* self);

    static void onRelease(pa_mainloop_api* api, pa_time_event* event, const struct timeval* time,
                          void* self);

    // Silences every callback and ends the stream and its timer; the server lock is held.
    void disconnect() noexcept;
    void read() noexcept;
    // Where frame 0 of the stream lies on the host clock, from what is in hand now.
    void estimateFrameZero(std::uint64_t readTime, std::size_t readableBytes) noexcept;
    std::int64_t framesToNanoseconds(std::uint64_t frames) const noexcept;
    // Hands over the staged frames that have been heard by `now`, or all of them; arms the
    // release timer for the rest.
    void release(std::uint64_t now, bool all) noexcept;
    void deliver(std::size_t frames, std::uint64_t hostTime) noexcept;

    PulseContext& pulse_;
    const Options options_;
    const DataHandler onData_;
    const EventHandler onEvent_;
    const std::size_t frameBytes_;
    // Main loop thread only: what was read and not yet handed over, sized before the
    // stream starts, so reading never allocates.
    std::unique_ptr<float[]> staging_;
    std::size_t stagingSamples_ = 0;
    std::size_t stagedBytes_ = 0;
    // Main loop thread only: the host-time estimate. Frames delivered since the timing
    // began; where frame 0 lies; the lowest estimates of that in the current and the
    // previous window; when the current window began; the start of the last delivery.
    std::uint64_t framesDelivered_ = 0;
    bool timed_ = false;
    std::int64_t frameZero_ = 0;
    std::int64_t windowLowest_ = 0;
    std::int64_t previousWindowLowest_ = 0;
    std::uint64_t windowStart_ = 0;
    std::uint64_t lastHostTime_ = 0;
    pa_stream* stream_ = nullptr;
    // Wakes the main loop when held frames are heard; made with the stream.
    pa_time_event* releaseTimer_ = nullptr;
};

}  // namespace kavo::linux_platform
