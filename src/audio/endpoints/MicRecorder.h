#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "audio/MonoDownmixer.h"
#include "audio/endpoints/AudioEngine.h"
#include "audio/endpoints/AudioHardware.h"
#include "audio/endpoints/CaptureEndpoint.h"
#include "audio/endpoints/MicError.h"
#include "audio/endpoints/RebuildSignal.h"
#include "base/Clock.h"
#include "base/Log.h"
#include "base/Scheduler.h"

namespace kavo {

// The microphone: the default input device through the audio engine, voice-processed
// when asked for and available, raw otherwise. Watches its own health: a voice-processed
// input that delivers a full second of exact zeros, or an input route that changes rate
// under a running graph, asks to be rebuilt. After a change of default input it can
// follow the new device in place (repoint()).
class MicRecorder final : public CaptureEndpoint {
public:
    static constexpr std::uint32_t kTapBufferFrames = 1024;

    // The voice-processing graph: the client and tap formats are mono float at the route
    // rate; the render format is what the output node then takes.
    struct GraphFormats {
        AudioFormat client;
        AudioFormat render;
        AudioFormat tap;
    };

    // `hardware` and `utility` (where diagnostic lookups and their log lines go, since
    // they may block) must outlive the recorder and the work it posts.
    MicRecorder(bool voiceProcessing, std::unique_ptr<AudioEngine> engine,
                const AudioHardware& hardware, const Clock& clock, Scheduler& utility);
    MicRecorder(const MicRecorder&) = delete;
    MicRecorder& operator=(const MicRecorder&) = delete;
    ~MicRecorder() override;

    // Throws MicError.
    double prepare() override;
    // Throws MicError when the new voice graph cannot be built.
    std::optional<double> repoint() override;
    // Throws MicError.
    void start(Sink sink) override;
    void stop() override;
    void setOnNeedsRebuild(RebuildHandler handler) override;
    RebuildHandler onNeedsRebuild() const override;

    bool voiceProcessingRequested() const { return voiceProcessingRequested_; }
    bool voiceProcessingActive() const;
    bool isRunning() const;
    double routeRate() const;
    std::optional<AudioFormat> tapFormat() const;
    std::optional<GraphFormats> graphFormats() const;
    // Of the first buffer since creation or the last re-point; 0 and none until then.
    std::uint64_t firstBufferHostTime() const;
    std::optional<WallTime> firstBufferWallClock() const;
    // Waits until the rebuild requests made so far have reached onNeedsRebuild.
    void flushRebuildRequests() { signal_.flush(); }

private:
    // Shared with the configuration observer, which may be called on another thread while
    // the recorder goes away. Recursive: an engine may notify from inside our own calls.
    struct Lifeline {
        std::recursive_mutex mutex;
        MicRecorder* owner = nullptr;
    };

    void stopLocked();
    double currentRouteRate() const;
    AudioFormat buildVoiceGraph(double rate);
    void resetLiveness();
    void handleConfigurationChange();
    void handOn(EndpointRebuildReason reason);
    void logGraph() const;
    void logRepoint() const;
    void deliver(MonoDownmixer& downmixer, std::int64_t framesPerSecond,
                 const AudioBufferList& buffers, const AudioTimeStamp& time) noexcept;

    const bool voiceProcessingRequested_;
    const std::unique_ptr<AudioEngine> engine_;
    const AudioHardware& hardware_;
    const Clock& clock_;
    Scheduler& utility_;
    const std::shared_ptr<Lifeline> lifeline_;

    // Under the lifeline's mutex.
    std::optional<AudioFormat> tapFormat_;
    std::unique_ptr<MonoDownmixer> downmixer_;
    bool voiceProcessingActive_ = false;
    bool running_ = false;
    double routeRate_ = 0;
    ListenerRegistration configurationObserver_;
    bool rebuildReported_ = false;
    std::optional<GraphFormats> graphFormats_;

    // Read and written by the tap thread while a tap is installed; reset only while none is.
    Sink sink_;
    std::int64_t livenessFrames_ = 0;
    float livenessPeak_ = 0;
    bool livenessSettled_ = true;
    std::atomic<std::uint64_t> firstBufferHostTime_{0};
    std::atomic<std::uint64_t> firstBufferArrival_{0};

    mutable std::mutex handlerMutex_;
    RebuildHandler onNeedsRebuild_;
    Logger log_{"MicRecorder"};
    // Last, so that its thread has stopped before anything it reaches goes away.
    RebuildSignal signal_;
};

}  // namespace kavo
