#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "audio/conference/ConferenceActivitySource.h"
#include "base/Clock.h"
#include "base/Defaults.h"
#include "base/Log.h"
#include "base/Scheduler.h"

namespace kavo {

class CaptureController;

// Starts a recording by itself once a conferencing application has held the microphone
// for 3 seconds, and stops a recording it started once none has held it for 20 seconds.
// Re-decides on every activity change and on a timer, so the delays hold without new
// events. It never touches the capture machinery itself; the hooks do. Main thread only.
class MeetingAutoCapture : public std::enable_shared_from_this<MeetingAutoCapture> {
public:
    static constexpr const char* kEnabledKey = "brindle.meetings.desktop.autoCaptureEnabled";
    static constexpr Duration kStartDelay = std::chrono::seconds(3);
    static constexpr Duration kStopDelay = std::chrono::seconds(20);
    static constexpr Duration kTimerLeeway = std::chrono::milliseconds(100);

    struct Hooks {
        // Starts a capture marked as automatic.
        std::function<void()> startCapture;
        std::function<void()> stopCapture;
        std::function<bool()> isCapturing;
        // The running capture was started by this component.
        std::function<bool()> startedAutomatically;
        std::function<bool()> isSignedIn;

        // Hooks that drive the capture controller.
        static Hooks forController(CaptureController& controller, std::function<bool()> isSignedIn);
    };

    using EnabledObserver = std::function<void(bool)>;

    // `interval` is the decision timer's period; without one arm() does nothing.
    static std::shared_ptr<MeetingAutoCapture> create(ConferenceActivitySource& source,
                                                      Defaults& defaults, Hooks hooks,
                                                      const Clock& clock, Scheduler& main,
                                                      std::optional<Duration> interval);

private:
    struct PrivateTag {};

public:
    MeetingAutoCapture(PrivateTag, ConferenceActivitySource& source, Defaults& defaults,
                       Hooks hooks, const Clock& clock, Scheduler& main,
                       std::optional<Duration> interval);
    MeetingAutoCapture(const MeetingAutoCapture&) = delete;
    MeetingAutoCapture& operator=(const MeetingAutoCapture&) = delete;
    ~MeetingAutoCapture();

    // Takes over the source's change handler, starts it and starts the decision timer.
    void arm();

    bool isEnabled() const { return isEnabled_; }
    // Stores the switch; setting the same value again changes nothing.
    void setEnabled(bool enabled);
    void setOnEnabledChange(EnabledObserver observer) { onEnabledChange_ = std::move(observer); }

    const ConferenceActivity& activity() const { return activity_; }
    bool isArmed() const { return isArmed_; }

    void handleActivity(const ConferenceActivity& incoming);
    void evaluate(WallTime now);

private:
    ConferenceActivitySource& source_;
    Defaults& defaults_;
    const Hooks hooks_;
    const Clock& clock_;
    Scheduler& main_;
    const std::optional<Duration> interval_;
    bool isEnabled_;
    EnabledObserver onEnabledChange_;
    TimerHandle timer_;
    ConferenceActivity activity_;
    std::optional<WallTime> activeSince_;
    std::optional<WallTime> inactiveSince_;
    bool isArmed_ = false;
    bool wasSignedIn_ = false;
    Logger log_{"MeetingAutoCapture"};
};

}  // namespace kavo
