#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "audio/endpoints/ListenerRegistration.h"
#include "base/Log.h"
#include "base/SerialQueue.h"
#include "platform/linux/PulseContext.h"
#include "platform/linux/PulseRecordStream.h"

namespace kavo::linux_platform {

// The recordings of every sink's monitor while the system audio is recorded: one feeds the
// recording, the others are read and their audio dropped, so that a change of output only
// changes which one feeds it. The server moves what plays to a new default output at once,
// and a new recording stream takes it a tenth of a second to deliver (PipeWire has its
// session manager link it first): the far side of a call would lose all of that. The
// standing-by starts with the first attach() and follows the sinks that come and go. Only
// on PipeWire: PulseAudio delivers a new stream's first audio at once, and its sinks render
// ahead, so that a monitor standing by has already been handed the next block without
// the player the server just moved there.
//
// Standing by, the pool also follows a change of the default output itself, as soon as the
// server tells: the recording is fed the new output's monitor, from the moment the server
// told on (each standby stream keeps its recent past), while the capture session is still
// being told; the endpoint that then takes over gets the same stream from where its
// predecessor left off.
class PulseMonitorPool {
public:
    static constexpr const char* kQueueLabel = "brindle.meetings.desktop.monitor-pool";
    static constexpr const char* kFeedingName = "Kavo Meetings system audio";
    static constexpr const char* kStandbyName = "Kavo Meetings standby";

    // Who takes a monitor's audio: its handlers are called on the main loop thread, onData
    // as PulseRecordStream's, onFailed when the stream failed (the sink went away).
    struct Receiver {
        PulseRecordStream::DataHandler onData;
        std::function<void()> onFailed;
    };

    // `pulse` outlives the pool.
    explicit PulseMonitorPool(PulseContext& pulse);
    PulseMonitorPool(const PulseMonitorPool&) = delete;
    PulseMonitorPool& operator=(const PulseMonitorPool&) = delete;
    ~PulseMonitorPool();

    // Feeds the audio of `monitor`, recorded at its rate and channels, to `receiver` until
    // detach(); `receiver` lives until then. Throws PulseError when it cannot be recorded.
    void attach(const PulseDeviceInfo& monitor, const Receiver& receiver);
    // Hands `receiver` what is held of its monitor, and feeds it no more.
    void detach(const Receiver& receiver);

    // Waits until the news received so far has been followed.
    void flush() {
        queue_.sync([] {});
    }

private:
    struct Standby {
        std::uint32_t rate = 0;
        std::uint32_t channels = 0;
        // Under the main loop lock: who takes the audio; else the recent past, in a ring
        // (the newest of `kept` frames end at `keptEnd`, heard by `keptUntil`), and whether
        // all of it since a receiver went is there for the next one.
        const Receiver* receiver = nullptr;
        std::vector<float> kept;
        std::size_t keptFrames = 0;
        std::size_t keptEnd = 0;
        std::uint64_t keptUntil = 0;
        bool holding = false;
        std::atomic<bool> failed{false};
        std::unique_ptr<PulseRecordStream> stream;
    };

    std::unique_ptr<Standby> open(const PulseDeviceInfo& monitor, const char* name);
    // On the main loop thread: feeds or keeps a buffer.
    static void take(Standby& standby, const float* samples, std::size_t frames,
                     std::uint64_t hostTime) noexcept;
    // Under the main loop lock: hands the receiver what is kept from host time `since` on,
    // and forgets what is kept.
    static void handOver(Standby& standby, std::uint64_t since) noexcept;
    // Under the main loop lock: `to` feeds the recording now, and nothing else keeps audio
    // for it.
    void feedFrom(Standby& to, const Receiver& receiver, std::uint64_t since);
    // On the queue: a stream for every monitor, none for a monitor gone or a stream failed.
    void refresh();
    // On the queue: feeds the recording from the default output's monitor, if it stands by.
    void followDefault(std::uint64_t toldAt);

    PulseContext& pulse_;
    // The server is PulseAudio itself: monitors render ahead, and no stream stands by.
    const bool rendersAhead_;
    std::mutex mutex_;
    // Under mutex_; each then under the main loop lock where it says so.
    std::map<std::string, std::unique_ptr<Standby>> streams_;
    bool standingBy_ = false;
    bool closing_ = false;
    ListenerRegistration events_;
    Logger log_{"PulseMonitorPool"};
    // Last: its thread stops before what it reaches goes away.
    SerialQueue queue_{kQueueLabel};
};

}  // namespace kavo::linux_platform
