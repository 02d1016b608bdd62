#include "platform/linux/PulseRecordStream.h"

#include <algorithm>
#include <cstring>

#include "base/Clock.h"

namespace kavo::linux_platform {
namespace {

// Each fragment wakes this process. 40 ms would wake it half as often, but a switched output
// then loses 30 ms of the far side on PulseAudio (10 ms with 20 ms) and up to 50 ms on
// PipeWire (30 ms).
constexpr std::uint64_t kFragmentMilliseconds = 20;
// Staging holds far more than one fragment: the server may hand over several at once,
// and a monitor's are held until they are heard.
constexpr std::uint64_t kStagingMilliseconds = 500;
// The most handed over at once, well within what an endpoint folds in one go.
constexpr std::uint64_t kDeliveryMilliseconds = 100;
// Held frames go this much before they are heard, rather than wake the loop again for
// the rounding of a frame.
constexpr std::uint64_t kReleaseSlackNanoseconds = 1'000'000ULL;
// How long the lowest estimate of the stream's place on the host clock is kept.
constexpr std::uint64_t kTimingWindowNanoseconds = 1'000'000'000ULL;

}  // namespace

PulseRecordStream::PulseRecordStream(PulseContext& pulse, Options options, DataHandler onData,
                                     EventHandler onEvent)
    : pulse_(pulse),
      options_(std::move(options)),
      onData_(std::move(onData)),
      onEvent_(std::move(onEvent)),
      frameBytes_(sizeof(float) * options_.channels) {
    if (options_.rate == 0 || options_.channels == 0 || options_.channels > PA_CHANNELS_MAX) {
        throw PulseError("The audio source " + options_.sourceName + " has no usable format");
    }
    stagingSamples_ =
        static_cast<std::size_t>(options_.rate * kStagingMilliseconds / 1000) * options_.channels;
    // Left unwritten: the memory is only taken as far as the server's deliveries reach,
    // rarely past a fragment or two.
    staging_ = std::make_unique_for_overwrite<float[]>(stagingSamples_);

    const pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, options_.rate,
                              static_cast<std::uint8_t>(options_.channels)};
    const PulseContext::Lock lock(pulse_);
    if (!pulse_.isReady()) throw PulseError("No audio server is running (the connection was lost)");
    stream_ = pa_stream_new(pulse_.context(), options_.streamName.c_str(), &spec, nullptr);
    if (stream_ == nullptr) {
        throw PulseError("Could not create a recording stream (" +
                         std::string(pa_strerror(pa_context_errno(pulse_.context()))) + ")");
    }
    pa_stream_set_state_callback(stream_, onState, this);
    pa_stream_set_read_callback(stream_, onRead, this);
    pa_stream_set_moved_callback(stream_, onMoved, this);
    pa_stream_set_suspended_callback(stream_, onSuspended, this);
    releaseTimer_ = pa_context_rttime_new(pulse_.context(), PA_USEC_INVALID, onRelease, this);

    pa_buffer_attr attributes{};
    attributes.maxlength = static_cast<std::uint32_t>(-1);
    attributes.tlength = static_cast<std::uint32_t>(-1);
    attributes.prebuf = static_cast<std::uint32_t>(-1);
    attributes.minreq = static_cast<std::uint32_t>(-1);
    attributes.fragsize =
        static_cast<std::uint32_t>(options_.rate * kFragmentMilliseconds / 1000 * frameBytes_);
    // Timing updates keep the transport, source and sink latencies current; the server's
    // interpolation is not used (see read()).
    auto flags =
        static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_AUTO_TIMING_UPDATE);
    if (options_.dontMove) flags = static_cast<pa_stream_flags_t>(flags | PA_STREAM_DONT_MOVE);

    std::string failure;
    if (pa_stream_connect_record(stream_, options_.sourceName.c_str(), &attributes, flags) < 0) {
        failure = pa_strerror(pa_context_errno(pulse_.context()));
    } else {
        const bool connected = pulse_.waitUntil([this] {
            const pa_stream_state_t state = pa_stream_get_state(stream_);
            return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
        });
        if (!connected || pa_stream_get_state(stream_) != PA_STREAM_READY) {
            failure = pa_strerror(pa_context_errno(pulse_.context()));
        }
    }
    if (!failure.empty()) {
        disconnect();
        throw PulseError("Could not record from " + options_.sourceName + " (" + failure + ")");
    }
}

PulseRecordStream::~PulseRecordStream() {
    const PulseContext::Lock lock(pulse_);
    // What is held waits only to be heard: it goes now, or a switch to another source
    // would lose it.
    release(SystemClock().hostTime(), true);
    disconnect();
}

void PulseRecordStream::disconnect() noexcept {
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    pa_stream_set_read_callback(stream_, nullptr, nullptr);
    pa_stream_set_moved_callback(stream_, nullptr, nullptr);
    pa_stream_set_suspended_callback(stream_, nullptr, nullptr);
    pa_stream_disconnect(stream_);
    pa_stream_unref(stream_);
    stream_ = nullptr;
    if (releaseTimer_ != nullptr)
        pa_threaded_mainloop_get_api(pulse_.mainloop())->time_free(releaseTimer_);
    releaseTimer_ = nullptr;
}

std::string PulseRecordStream::sourceName() const {
    const PulseContext::Lock lock(pulse_);
    const char* name = pa_stream_get_device_name(stream_);
    return name != nullptr ? name : options_.sourceName;
}

void PulseRecordStream::flush() {
    const PulseContext::Lock lock(pulse_);
    release(SystemClock().hostTime(), true);
}

void PulseRecordStream::rename(const std::string& name) {
    const PulseContext::Lock lock(pulse_);
    if (pa_operation* operation = pa_stream_set_name(stream_, name.c_str(), nullptr, nullptr))
        pa_operation_unref(operation);
}

void PulseRecordStream::onRead(pa_stream* /*stream*/, std::size_t /*bytes*/, void* self) {
    static_cast<PulseRecordStream*>(self)->read();
}

// Host times. The server's own latency figure comes from a clock model that a source
// starting late (a null sink sleeps out the long block it rendered before anyone recorded
// it) throws off by more than half a second, and it recovers only slowly; its snapshots of
// the source's and the sink's latency are points anywhere on a sawtooth. What is exact is
// the count of frames: frame n lies n frames after frame 0. Where frame 0 lies is estimated
// at every read from the newest frame in hand, which the server sent as soon as its source
// handed it over: it was captured just before it arrived, less the transport. A monitor is
// handed a block as its sink renders it, and that is heard only when the sink has played
// what it keeps ahead: the configured latency later (the server counts a monitor's audio
// the same way, with the sink's latency of the moment). A late read only ever makes the
// estimate later, so the lowest estimate of a recent window is the best; the window moves
// on, so the estimate follows a source clock that drifts against the host's.
std::int64_t PulseRecordStream::framesToNanoseconds(std::uint64_t frames) const noexcept {
    return static_cast<std::int64_t>(frames / options_.rate * 1'000'000'000ULL +
                                     frames % options_.rate * 1'000'000'000ULL / options_.rate);
}

void PulseRecordStream::estimateFrameZero(std::uint64_t readTime,
                                          std::size_t readableBytes) noexcept {
    auto newest = static_cast<std::int64_t>(readTime);
    if (const pa_timing_info* timing = pa_stream_get_timing_info(stream_)) {
        newest -= static_cast<std::int64_t>(timing->transport_usec) * 1000;
        if (options_.rendersAhead)
            newest += static_cast<std::int64_t>(timing->configured_source_usec) * 1000;
    }
    const std::uint64_t inHand = (stagedBytes_ + readableBytes) / frameBytes_;
    const std::int64_t estimate = newest - framesToNanoseconds(framesDelivered_ + inHand);
    if (!timed_ || readTime - windowStart_ >= kTimingWindowNanoseconds) {
        previousWindowLowest_ = timed_ ? windowLowest_ : estimate;
        windowLowest_ = estimate;
        windowStart_ = readTime;
        timed_ = true;
    } else {
        windowLowest_ = std::min(windowLowest_, estimate);
    }
    frameZero_ = std::min(windowLowest_, previousWindowLowest_);
}

// Frames are handed over when they have been heard, as a sound card's would be: a
// monitor's block waits until its sink has played it, so whoever takes frames as they come
// takes both sides of a call in step.
void PulseRecordStream::read() noexcept {
    const std::uint64_t readTime = SystemClock().hostTime();
    const std::size_t readable = pa_stream_readable_size(stream_);
    if (readable == 0 || readable == static_cast<std::size_t>(-1)) return;
    estimateFrameZero(readTime, readable);
    const std::size_t capacityBytes = stagingSamples_ * sizeof(float);
    while (pa_stream_readable_size(stream_) > 0) {
        const void* data = nullptr;
        std::size_t bytes = 0;
        if (pa_stream_peek(stream_, &data, &bytes) < 0) return;
        if (bytes == 0) return;
        // A hole (no data) is not audio: pipewire-pulse reports one when its read index
        // jumps, and zeros in its place would both cut the far side and hold everything
        // after it back. Time without frames is the mixer's to fill, by its clock.
        if (data == nullptr) {
            pa_stream_drop(stream_);
            continue;
        }
        const auto* bytesIn = static_cast<const std::uint8_t*>(data);
        std::size_t offset = 0;
        while (offset < bytes) {
            // Full: what is held goes now rather than be lost.
            if (stagedBytes_ + frameBytes_ > capacityBytes) release(readTime, true);
            const std::size_t take = std::min(bytes - offset, capacityBytes - stagedBytes_);
            std::uint8_t* into = reinterpret_cast<std::uint8_t*>(staging_.get()) + stagedBytes_;
            std::memcpy(into, bytesIn + offset, take);
            stagedBytes_ += take;
            offset += take;
        }
        pa_stream_drop(stream_);
    }
    release(readTime, false);
}

void PulseRecordStream::onRelease(pa_mainloop_api* /*api*/, pa_time_event* /*event*/,
                                  const struct timeval* /*time*/, void* self) {
    static_cast<PulseRecordStream*>(self)->release(SystemClock().hostTime(), false);
}

void PulseRecordStream::release(std::uint64_t now, bool all) noexcept {
    const std::size_t maxFrames = options_.rate * kDeliveryMilliseconds / 1000;
    while (true) {
        const std::size_t staged = stagedBytes_ / frameBytes_;
        if (staged == 0) break;
        // Frames up to the one whose end is heard by now (give or take the rounding).
        const std::int64_t heard =
            static_cast<std::int64_t>(now + kReleaseSlackNanoseconds) - frameZero_;
        const std::int64_t dueTotal =
            heard <= 0 ? 0
                       : static_cast<std::int64_t>(static_cast<std::uint64_t>(heard) / 1000 *
                                                   options_.rate / 1'000'000);
        std::size_t due =
            dueTotal > static_cast<std::int64_t>(framesDelivered_)
                ? static_cast<std::size_t>(static_cast<std::uint64_t>(dueTotal) - framesDelivered_)
                : 0;
        if (all) due = staged;
        const std::size_t frames = std::min({due, staged, maxFrames});
        if (frames == 0) break;
        const std::int64_t at = frameZero_ + framesToNanoseconds(framesDelivered_);
        // A better estimate may move the clock back a little; a buffer still never starts
        // before the one before it.
        std::uint64_t hostTime = at > 0 ? static_cast<std::uint64_t>(at) : 0;
        if (lastHostTime_ != 0 && hostTime <= lastHostTime_) hostTime = lastHostTime_ + 1;
        lastHostTime_ = hostTime;
        deliver(frames, hostTime);
        framesDelivered_ += frames;
        const std::size_t used = frames * frameBytes_;
        const std::size_t left = stagedBytes_ - used;
        if (left > 0)
            std::memmove(staging_.get(), reinterpret_cast<std::uint8_t*>(staging_.get()) + used,
                         left);
        stagedBytes_ = left;
    }
    if (releaseTimer_ == nullptr) return;
    const std::size_t staged = stagedBytes_ / frameBytes_;
    if (staged == 0) {
        pa_context_rttime_restart(pulse_.context(), releaseTimer_, PA_USEC_INVALID);
        return;
    }
    // Wake when everything held has been heard: never in the past, where it would wake
    // at once to find nothing due.
    const std::int64_t end = frameZero_ + framesToNanoseconds(framesDelivered_ + staged);
    const std::uint64_t wake =
        std::max<std::int64_t>(end, static_cast<std::int64_t>(now + kReleaseSlackNanoseconds));
    pa_context_rttime_restart(pulse_.context(), releaseTimer_,
                              static_cast<pa_usec_t>(wake / 1000 + 1));
}

void PulseRecordStream::deliver(std::size_t frames, std::uint64_t hostTime) noexcept {
    onData_(staging_.get(), frames, hostTime);
}

void PulseRecordStream::onState(pa_stream* stream, void* self) {
    auto& recorder = *static_cast<PulseRecordStream*>(self);
    recorder.pulse_.signal();
    if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream)) && recorder.onEvent_)
        recorder.onEvent_(Event::failed);
}

void PulseRecordStream::onMoved(pa_stream* /*stream*/, void* self) {
    auto& recorder = *static_cast<PulseRecordStream*>(self);
    // Another source has other latencies: estimate afresh.
    recorder.timed_ = false;
    if (recorder.onEvent_) recorder.onEvent_(Event::moved);
}

void PulseRecordStream::onSuspended(pa_stream* /*stream*/, void* self) {
    auto& recorder = *static_cast<PulseRecordStream*>(self);
    // Frames stopped while time went on.
    recorder.timed_ = false;
    if (recorder.onEvent_) recorder.onEvent_(Event::suspended);
}

}  // namespace kavo::linux_platform
