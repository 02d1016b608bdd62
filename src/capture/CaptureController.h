#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/Clock.h"
#include "base/Log.h"
#include "base/Scheduler.h"
#include "capture/CaptureCondition.h"
#include "capture/CaptureSession.h"
#include "capture/files/CaptureArtifacts.h"
#include "capture/files/CaptureSidecar.h"

namespace kavo {

// The owner of the current recording, as the menu and the automatic capture see it:
// starts and stops at most one capture session at a time, keeps the elapsed-time label
// current, remembers why the last start failed and hands every finished capture to
// `onFinished`. Its construction starts the one-time repair of WAVE files that a crash
// left incomplete. Used on the main thread only.
class CaptureController {
public:
    // The recording the controller drives; CaptureSession in the application.
    class Session {
    public:
        virtual ~Session() = default;
        // Returns the audio file; throws an error whose what() says why it failed.
        virtual std::filesystem::path start() = 0;
        virtual void stop() = 0;
        virtual std::optional<std::filesystem::path> audioURL() const = 0;
        virtual std::optional<std::filesystem::path> sidecarURL() const = 0;
        virtual std::optional<WallTime> startedAt() const = 0;
        // Why the recording ended by itself (a full disk), in the user's words; empty
        // while it runs as asked.
        virtual std::optional<std::string> failure() const { return std::nullopt; }
        // Writes no audio until resume(); the pause is counted in the sidecar.
        virtual void pause() = 0;
        virtual void resume() = 0;
        // Seconds spent paused so far, the running pause included.
        virtual double pausedSeconds() const = 0;
        virtual CaptureCondition condition() const = 0;
    };

    // A new, unstarted session for every start, made for the account signed in at that
    // moment (none when nobody is).
    using Owner = std::optional<CaptureSidecar::Account>;
    using SessionFactory = std::function<std::unique_ptr<Session>(const Owner& owner)>;
    // Repairs the incomplete WAVE files in a folder and returns those it repaired.
    using Repair = std::function<std::vector<std::filesystem::path>(const std::filesystem::path&)>;

    // The properties observers are told about.
    enum class Property { isRecording, elapsedLabel, lastError, startedAutomatically, condition };
    using Observer = std::function<void(Property)>;

    struct Environment {
        std::filesystem::path capturesDirectory;
        SessionFactory makeSession;
        // The main loop: the elapsed-time ticker runs here.
        Scheduler& main;
        // Wall time against each session's start date.
        const Clock& clock;
        // Empty: repairIncompleteCaptures.
        Repair repair = {};
        // Asked at every start: whom the new capture belongs to. Empty: nobody.
        std::function<Owner()> owner = {};
        // Called on the main loop once the launch repair is done, so that what it
        // repaired can be delivered.
        std::function<void()> onLaunchRepairFinished = {};
    };

    static constexpr Duration kTickInterval = std::chrono::seconds(1);
    static constexpr Duration kTickLeeway = std::chrono::milliseconds(100);
    static constexpr const char* kStartErrorPrefix = "Could not start recording: ";

    CaptureController(Environment environment,
                      std::function<void(const CaptureArtifacts&)> onFinished);
    CaptureController(const CaptureController&) = delete;
    CaptureController& operator=(const CaptureController&) = delete;
    // Waits for the launch repair; a running capture is dropped without a final sidecar.
    ~CaptureController();

    // Starts a capture unless one runs. `automatic` says the automatic capture asked.
    void start(bool automatic);
    // Stops the running capture and hands its files to `onFinished`; nothing when idle.
    // A capture that ends by itself is handed over the same way at the next tick, with
    // its reason as the last error.
    void stop();
    // Pauses or resumes the running capture; nothing when idle.
    void pause();
    void resume();

    bool isRecording() const { return isRecording_; }
    // The running capture's condition, refreshed every second and at once by pause and
    // resume; the idle value when not recording.
    const CaptureCondition& condition() const { return condition_; }
    bool isPaused() const { return condition_.paused; }
    const std::string& elapsedLabel() const { return elapsedLabel_; }
    const std::optional<std::string>& lastError() const { return lastError_; }
    bool startedAutomatically() const { return startedAutomatically_; }
    // The running capture, or null.
    const Session* session() const { return session_.get(); }

    // Called on the main thread after each property changes value; writing an equal
    // value calls nobody.
    void observe(Observer observer);

    // Blocks until the launch repair has finished.
    void waitForLaunchRepair();

private:
    void tick();
    void setIsRecording(bool value);
    void setElapsedLabel(std::string value);
    void setLastError(std::optional<std::string> value);
    void setStartedAutomatically(bool value);
    void setCondition(CaptureCondition value);
    void notify(Property property) const;

    Environment environment_;
    std::function<void(const CaptureArtifacts&)> onFinished_;
    bool isRecording_ = false;
    std::string elapsedLabel_ = "0:00";
    std::optional<std::string> lastError_;
    bool startedAutomatically_ = false;
    CaptureCondition condition_;
    std::unique_ptr<Session> session_;
    TimerHandle ticker_;
    std::vector<Observer> observers_;
    std::thread launchRepair_;
    Logger log_{"CaptureController"};
};

// Sessions of the application: each a CaptureSession made with `environment`, which
// must leave the capture id empty so that every capture gets a new one.
CaptureController::SessionFactory captureSessionFactory(CaptureSession::Environment environment);

}  // namespace kavo
