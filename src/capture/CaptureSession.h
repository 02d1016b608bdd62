#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "audio/Mixer.h"
#include "audio/endpoints/CaptureEndpoint.h"
#include "audio/endpoints/EndpointRebuildReason.h"
#include "base/Clock.h"
#include "base/Error.h"
#include "base/Log.h"
#include "base/Scheduler.h"
#include "capture/AudioDevices.h"
#include "capture/CaptureCondition.h"
#include "capture/CaptureState.h"
#include "capture/DeviceWatch.h"
#include "capture/EndpointFactory.h"
#include "capture/EndpointScope.h"
#include "capture/files/CaptureArtifacts.h"
#include "capture/files/CaptureSidecar.h"
#include "capture/files/WavWriter.h"

namespace kavo {

class SerialQueue;

// start() on a session that has already recorded and has no file to return.
class CaptureCancelledError : public Error {
public:
    CaptureCancelledError() : Error("The operation was cancelled.") {}
};

// One recording: the microphone and the system audio, each through its own mixer
// channel, mixed into one WAVE file with a sidecar beside it. Keeps recording across
// changes of the default devices and of device formats by rebuilding only the endpoint
// concerned while the mixer and the file keep running.
//
// All state belongs to a serial control queue: start() and stop() enter it
// synchronously; device notifications, endpoint rebuild requests and timers enter it
// asynchronously and hold the session weakly. The audio path never passes through it.
// A session records once; the caller discards it after stop().
class CaptureSession : public std::enable_shared_from_this<CaptureSession> {
public:
    static constexpr const char* kControlLabel = "brindle.meetings.desktop.capture";
    static constexpr int kSampleRate = 16'000;
    static constexpr int kChannels = 1;
    static constexpr int kBitsPerSample = 16;
    static constexpr Duration kSidecarInterval = std::chrono::seconds(30);
    static constexpr Duration kSidecarLeeway = std::chrono::seconds(1);
    static constexpr Duration kRebuildDebounce = std::chrono::milliseconds(300);
    // How long a rebuild note waits for the first audio of the rebuilt endpoints, which
    // ends the gap it states, and how often it looks.
    static constexpr Duration kGapWait = std::chrono::seconds(3);
    static constexpr Duration kGapPoll = std::chrono::milliseconds(10);
    // Below this peak a buffer counts as silence: about -70 dBFS, under the hiss of a live
    // microphone in a quiet room and above what a muted or dead input delivers.
    static constexpr float kNoiseFloor = 0.000316f;
    // A side that has delivered only silence this long while the other side was heard is
    // reported, until it is heard again.
    static constexpr Duration kSilentSideAfter = std::chrono::seconds(30);
    static constexpr Duration kSilenceCheckInterval = std::chrono::seconds(1);
    static constexpr Duration kSilenceCheckLeeway = std::chrono::milliseconds(100);

    // What a session works with. `devices`, `clock` and the schedulers outlive it.
    struct Environment {
        // Where the audio and sidecar files go; created by start().
        std::filesystem::path directory;
        EndpointFactory factory;
        // The default devices, watched while recording.
        AudioDevices& devices;
        // Host time for the mixer, gaps and debounce; dates for the sidecar.
        const Clock& clock;
        // Null: a serial queue of the session's own, labelled kControlLabel.
        Scheduler* control = nullptr;
        // Null: the mixer ticks on a queue of its own.
        Scheduler* mixerQueue = nullptr;
        // False: the mixer runs no timer and its owner drives Mixer::tick().
        bool usesTimers = true;
        // Empty: a new random capture id.
        std::string captureId = {};
        // Recorded in the sidecar: the account that is to deliver the capture.
        std::optional<CaptureSidecar::Account> account = {};
        // The user's setting: cancel the far side's echo in the microphone (while the
        // output is not a headset or headphones).
        bool echoCancellation = true;
    };

    static std::shared_ptr<CaptureSession> create(Environment environment);

    CaptureSession(const CaptureSession&) = delete;
    CaptureSession& operator=(const CaptureSession&) = delete;
    // A session dropped while recording stops its endpoints and closes its file without
    // writing a final sidecar.
    ~CaptureSession();

    // Opens the files, arms both endpoints and starts mixing; returns the audio file.
    // While recording, returns the same file again. Throws what failed (FileError,
    // WavWriter::WriterError, the endpoint's own error as it came), after undoing
    // everything it had set up, or CaptureCancelledError once the session has recorded.
    std::filesystem::path start();
    // Stops the endpoints, writes the last frames, closes the audio file and writes the
    // final sidecar. Never fails; does nothing unless recording.
    void stop() noexcept;
    // Writes no audio until resume(). The endpoints keep running, so nothing of what
    // follows the pause is lost; the pause counts into the sidecar's pausedSeconds. Each
    // does nothing unless recording, and unless paused (resume) or not paused (pause).
    void pause();
    void resume();

    // Readable from any thread.
    CaptureState state() const { return state_.load(std::memory_order_acquire); }
    const std::string& captureId() const { return captureId_; }
    const std::filesystem::path& directory() const { return directory_; }
    // Set by start() and kept after stop().
    std::optional<std::filesystem::path> audioURL() const;
    std::optional<std::filesystem::path> sidecarURL() const;
    std::optional<WallTime> startedAt() const;
    // Both files, once start() has named them.
    std::optional<CaptureArtifacts> artifacts() const;
    // The in-memory sidecar; after stop() the finished capture's.
    std::optional<CaptureSidecar> sidecar() const;
    // Why the capture ended by itself before stop() was asked for (the disk filled up,
    // the file could not be written), in the user's words; empty otherwise. The capture
    // is finished then, with its files as after stop().
    std::optional<std::string> failure() const;
    // Seconds spent paused so far, the running pause included.
    double pausedSeconds() const;
    // Paused, without a microphone, a side gone silent; readable from any thread.
    CaptureCondition condition() const;
    // The running mixer (channel counters included); null when not recording.
    std::shared_ptr<Mixer> mixer() const;

    struct PrivateTag {};
    CaptureSession(PrivateTag, Environment environment);

private:
    struct RebuildRequest {
        EndpointRebuildReason reason;
        EndpointScope scope;
    };
    struct PreparedEndpoint {
        std::unique_ptr<CaptureEndpoint> endpoint;
        double rate = 0;
    };
    struct RebuildOutcome {
        Duration gap{0};
        std::optional<std::string> path;
        std::optional<std::string> failure;
    };
    // Host times of what one started endpoint delivered: its first buffer's, and the end
    // of its latest. Written on the endpoint's audio thread, read on the control queue.
    struct DeliveryMarks {
        std::atomic<std::uint64_t> first{0};
        std::atomic<std::uint64_t> lastEnd{0};
    };
    // The audio gap of one rebuilt endpoint: from the end of its predecessor's audio to
    // the first of its own.
    struct GapMeasure {
        std::shared_ptr<DeliveryMarks> before;
        std::shared_ptr<DeliveryMarks> fresh;
        std::uint64_t lastEnd = 0;
    };
    // A rebuild whose note waits for the rebuilt endpoints' first audio.
    struct PendingNote {
        RebuildRequest request;
        std::optional<RebuildOutcome> microphone;
        std::optional<RebuildOutcome> systemAudio;
        Duration total{0};
        GapMeasure microphoneGap;
        GapMeasure systemAudioGap;
        std::uint64_t deadline = 0;
    };

    Scheduler& control() const { return *control_; }
    std::filesystem::path startOnControl();
    void finalizeOnControl();
    void armEndpoints();
    void startEndpoint(CaptureEndpoint& endpoint, EndpointScope scope,
                       const std::shared_ptr<Mixer::Channel>& channel);
    std::shared_ptr<DeliveryMarks>& marks(EndpointScope scope) {
        return scope == EndpointScope::microphone ? micMarks_ : systemMarks_;
    }
    void reconfigure(const std::shared_ptr<Mixer::Channel>& channel, double rate);
    void teardown();
    void stopEndpoints();
    // Lets the mixer write its last frames and closes the file.
    void closeAudio();
    void writeSidecar();
    // Ends the capture after its audio file could not be written; the reason is
    // published as failure().
    void endAfterWriteFailure(const std::string& detail);
    // Seconds of audio in the file.
    double writtenSeconds() const;
    void startSidecarTimer();
    void refreshSidecar();
    void handleDeviceNotification(std::string_view name);
    // Cancels the echo unless the output in the last snapshot is personal.
    void followOutputForEchoCancellation();
    void renewEchoCanceller();
    void requestRebuild(EndpointRebuildReason reason, EndpointScope scope);
    void performRebuild(RebuildRequest request);
    RebuildOutcome rebuildMicrophone(EndpointRebuildReason reason);
    RebuildOutcome rebuildSystemAudio();
    std::string rebuildSummary(const RebuildRequest& request, const RebuildOutcome* microphone,
                               const RebuildOutcome* systemAudio, Duration total) const;
    // Writes the pending rebuild note once the gaps are known or kGapWait has passed, or
    // at once when `now`.
    void settleNote(bool now);
    void writeNote(PendingNote note);
    void updateSidecar(const std::function<void(CaptureSidecar&)>& change);
    // Host time of the end of the latest buffer above the noise floor; 0 before one.
    using HeardMark = std::atomic<std::uint64_t>;
    const std::shared_ptr<HeardMark>& heard(EndpointScope scope) const {
        return scope == EndpointScope::microphone ? micHeard_ : systemHeard_;
    }
    void watchSilence();
    // Ends the running silent stretch at host time `end`.
    void endSilentStretch(std::uint64_t end);
    WallTime wallTimeAt(std::uint64_t hostTime) const;
    void publishCondition(const std::function<void(CaptureCondition&)>& change);
    // Seconds paused, with the running pause counted up to now; under publishedMutex_.
    double pausedSecondsLocked() const;

    const std::string captureId_;
    const std::filesystem::path directory_;
    const std::optional<CaptureSidecar::Account> account_;
    const EndpointFactory factory_;
    const Clock& clock_;
    const bool usesTimers_;
    const bool echoCancellation_;
    std::unique_ptr<SerialQueue> ownedControl_;
    Scheduler* control_;
    Scheduler* const mixerQueue_;
    DeviceWatch watch_;

    std::atomic<CaptureState> state_{CaptureState::idle};
    std::shared_ptr<WavWriter> writer_;
    std::shared_ptr<Mixer> mixer_;
    std::shared_ptr<Mixer::Channel> micChannel_;
    std::shared_ptr<Mixer::Channel> systemChannel_;
    std::unique_ptr<CaptureEndpoint> micEndpoint_;
    std::unique_ptr<CaptureEndpoint> systemEndpoint_;
    std::shared_ptr<DeliveryMarks> micMarks_;
    std::shared_ptr<DeliveryMarks> systemMarks_;
    std::optional<PendingNote> pendingNote_;
    TimerHandle noteTimer_;
    bool micVoiceProcessing_ = true;
    // Set once stop() has finished the capture: its files must not be opened again.
    bool finished_ = false;
    TimerHandle sidecarTimer_;
    TimerHandle pendingRebuild_;
    // When the system audio was last rebuilt at once; later changes wait the debounce.
    std::optional<std::uint64_t> lastImmediateRebuild_;
    std::optional<RebuildRequest> pendingRequest_;
    const std::shared_ptr<HeardMark> micHeard_ = std::make_shared<HeardMark>(0);
    const std::shared_ptr<HeardMark> systemHeard_ = std::make_shared<HeardMark>(0);
    TimerHandle silenceTimer_;
    // Silence before this host time (the start, the last resume) is not held against a side.
    std::uint64_t silenceWatchedFrom_ = 0;
    std::optional<CaptureSide> silentSide_;
    // Where the running silent stretch began: the end of the side's last sound.
    std::uint64_t silentSince_ = 0;

    // What other threads read: the files, the start date and the sidecar.
    mutable std::mutex publishedMutex_;
    std::optional<std::filesystem::path> audioURL_;
    std::optional<std::filesystem::path> sidecarURL_;
    std::optional<WallTime> startedAt_;
    std::optional<CaptureSidecar> sidecar_;
    std::optional<std::string> failure_;
    CaptureCondition condition_;
    // Host time the running pause began, and the seconds of the pauses before it.
    std::optional<std::uint64_t> pausedAt_;
    double pausedBefore_ = 0;

    Logger log_{"CaptureSession"};
};

}  // namespace kavo
