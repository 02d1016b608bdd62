#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "audio/MonoDownmixer.h"
#include "audio/endpoints/AudioHardware.h"
#include "audio/endpoints/CaptureEndpoint.h"
#include "audio/endpoints/OwnProcessObject.h"
#include "audio/endpoints/ProcessTapHardware.h"
#include "audio/endpoints/RebuildSignal.h"
#include "audio/endpoints/TapError.h"
#include "base/Clock.h"
#include "base/Log.h"
#include "base/Scheduler.h"

namespace kavo {

class SerialQueue;

// Everything the computer plays, for the far side of a call: a global process tap that
// leaves this program out, wrapped in a private aggregate device whose IO procedure
// folds each buffer to mono. Asks to be rebuilt when the tap's or the device's rate
// moves under it; cannot follow a device change in place, so repoint() never succeeds.
class SystemAudioTap final : public CaptureEndpoint {
public:
    static constexpr const char* kQueueLabel = "brindle.meetings.desktop.system-tap";
    static constexpr const char* kControlLabel = "brindle.meetings.desktop.system-tap.control";
    // How the rest of the application recognises, and ignores, the devices made here.
    static constexpr std::string_view kAggregateUIDPrefix = "brindle.meetings.desktop.aggregate.";
    static constexpr const char* kTapName = "Kavo Meetings system tap";
    static constexpr const char* kAggregateName = "Kavo Meetings capture";

    // What the endpoint works with; all of it outlives the endpoint.
    struct Platform {
        AudioHardware& hardware;
        ProcessTapHardware& taps;
        OwnProcessObject& ownProcess;
        const Clock& clock;
    };

    // With its two serial queues of its own.
    explicit SystemAudioTap(Platform platform);
    // With `queue` (the IO procedure's) and `control` (the listeners'), which outlive it.
    SystemAudioTap(Platform platform, Scheduler& queue, Scheduler& control);
    SystemAudioTap(const SystemAudioTap&) = delete;
    SystemAudioTap& operator=(const SystemAudioTap&) = delete;
    ~SystemAudioTap() override;

    // Throws TapError; a failed preparation leaves no tap or device behind.
    double prepare() override;
    std::optional<double> repoint() override { return std::nullopt; }
    // Throws TapError.
    void start(Sink sink) override;
    // Stops and tears everything down; a further capture needs prepare() again.
    void stop() override;
    void setOnNeedsRebuild(RebuildHandler handler) override;
    RebuildHandler onNeedsRebuild() const override;

    AudioObjectID tapID() const;
    AudioObjectID aggregateID() const;
    bool isRunning() const;
    double preparedRate() const;
    std::optional<AudioStreamBasicDescription> format() const;
    std::size_t formatListenerCount() const;
    std::uint64_t firstBufferHostTime() const;
    std::optional<WallTime> firstBufferWallClock() const;
    // Waits until the rebuild requests made so far have reached onNeedsRebuild.
    void flushRebuildRequests() { signal_.flush(); }

private:
    // Shared with the listeners, which may run on `control` while the endpoint goes away.
    struct Lifeline {
        std::mutex mutex;
        SystemAudioTap* owner = nullptr;
    };

    struct FormatListener {
        AudioObjectID object;
        AudioObjectPropertySelector selector;
        ListenerRegistration registration;
    };

    SystemAudioTap(Platform platform, std::unique_ptr<SerialQueue> ownedQueue,
                   std::unique_ptr<SerialQueue> ownedControl);

    void createTap();
    AggregateDeviceDescription aggregateDescription() const;
    void installFormatListener(AudioObjectID object, AudioObjectPropertySelector selector);
    void handleRateChange();
    void stopLocked();
    void teardown();
    void handOn(EndpointRebuildReason reason);
    void deliver(MonoDownmixer& downmixer, const AudioTimeStamp& now, const AudioBufferList& input,
                 const AudioTimeStamp& inputTime) noexcept;

    AudioHardware& hardware_;
    ProcessTapHardware& taps_;
    OwnProcessObject& ownProcess_;
    const Clock& clock_;
    std::unique_ptr<SerialQueue> ownedQueue_;
    std::unique_ptr<SerialQueue> ownedControl_;
    Scheduler* queue_;
    Scheduler* control_;
    const std::shared_ptr<Lifeline> lifeline_;

    // Under the lifeline's mutex.
    AudioObjectID tapID_ = kAudioObjectUnknown;
    std::string tapUUID_;
    AudioObjectID aggregateID_ = kAudioObjectUnknown;
    std::optional<AudioDeviceIOProcID> procID_;
    std::optional<AudioStreamBasicDescription> format_;
    std::unique_ptr<MonoDownmixer> downmixer_;
    bool running_ = false;
    double preparedRate_ = 0;
    std::vector<FormatListener> formatListeners_;
    bool rebuildReported_ = false;

    // Read by the IO procedure while it runs; set and cleared only while it does not.
    Sink sink_;
    std::atomic<std::uint64_t> firstBufferHostTime_{0};
    std::atomic<std::uint64_t> firstBufferArrival_{0};

    mutable std::mutex handlerMutex_;
    RebuildHandler onNeedsRebuild_;
    Logger log_{"SystemAudioTap"};
    // Last, so that its thread has stopped before anything it reaches goes away.
    RebuildSignal signal_;
};

}  // namespace kavo
