#include "capture/MeetingAutoCapture.h"

#include <fmt/format.h>

#include <chrono>

#include "capture/CaptureController.h"

namespace kavo {

namespace {

// "a, b" in ascending order, "none" for no application.
std::string describe(const ConferenceActivity& activity) {
    if (activity.apps.empty()) return "none";
    return fmt::format("{}", fmt::join(activity.apps, ", "));
}

long long wholeSeconds(Duration elapsed) {
    return std::chrono::duration_cast<std::chrono::seconds>(elapsed).count();
}

}  // namespace

MeetingAutoCapture::Hooks MeetingAutoCapture::Hooks::forController(
    CaptureController& controller, std::function<bool()> isSignedIn) {
    return {[&controller] { controller.start(true); }, [&controller] { controller.stop(); },
            [&controller] { return controller.isRecording(); },
            [&controller] { return controller.startedAutomatically(); }, std::move(isSignedIn)};
}

std::shared_ptr<MeetingAutoCapture> MeetingAutoCapture::create(ConferenceActivitySource& source,
                                                               Defaults& defaults, Hooks hooks,
                                                               const Clock& clock, Scheduler& main,
                                                               std::optional<Duration> interval) {
    return std::make_shared<MeetingAutoCapture>(PrivateTag{}, source, defaults, std::move(hooks),
                                                clock, main, interval);
}

MeetingAutoCapture::MeetingAutoCapture(PrivateTag, ConferenceActivitySource& source,
                                       Defaults& defaults, Hooks hooks, const Clock& clock,
                                       Scheduler& main, std::optional<Duration> interval)
    : source_(source),
      defaults_(defaults),
      hooks_(std::move(hooks)),
      clock_(clock),
      main_(main),
      interval_(interval),
      isEnabled_(defaults.boolValue(kEnabledKey).value_or(true)) {}

MeetingAutoCapture::~MeetingAutoCapture() = default;

void MeetingAutoCapture::arm() {
    if (!interval_) return;
    // The source's handler holds this weakly: it may outlive this object.
    const std::weak_ptr<MeetingAutoCapture> weak = weak_from_this();
    source_.setOnChange([weak](const ConferenceActivity& activity) {
        if (auto self = weak.lock()) self->handleActivity(activity);
    });
    source_.start();
    handleActivity(source_.current());
    timer_ = main_.every(*interval_, kTimerLeeway, [weak] {
        if (auto self = weak.lock()) self->evaluate(self->clock_.now());
    });
}

void MeetingAutoCapture::setEnabled(bool enabled) {
    if (enabled == isEnabled_) return;
    isEnabled_ = enabled;
    defaults_.setBool(kEnabledKey, enabled);
    if (!enabled) {
        isArmed_ = false;
    } else if (!activity_.apps.empty() && !hooks_.isCapturing()) {
        activeSince_ = clock_.now();
        isArmed_ = true;
    }
    log_.notice("Automatic recording {}", enabled ? "enabled" : "disabled");
    if (onEnabledChange_) onEnabledChange_(enabled);
}

void MeetingAutoCapture::handleActivity(const ConferenceActivity& incoming) {
    // The platform's watch reports conferencing applications only.
    ConferenceActivity filtered = incoming;
    if (filtered == activity_) return;

    const bool wasEmpty = activity_.apps.empty();
    activity_ = std::move(filtered);
    const WallTime now = clock_.now();
    if (activity_.apps.empty()) {
        activeSince_.reset();
        inactiveSince_ = now;
    } else {
        inactiveSince_.reset();
        // A change from one set of applications to another continues the same run.
        if (wasEmpty) {
            activeSince_ = now;
            isArmed_ = true;
        }
    }
    evaluate(now);
}

void MeetingAutoCapture::evaluate(WallTime now) {
    const bool capturing = hooks_.isCapturing();
    const bool signedIn = hooks_.isSignedIn();

    if (signedIn != wasSignedIn_) {
        wasSignedIn_ = signedIn;
        // A call already under way when the user signs in is recorded from then on.
        if (signedIn && !activity_.apps.empty() && !capturing) {
            activeSince_ = now;
            isArmed_ = true;
        }
    }

    if (!capturing) {
        if (!isEnabled_ || !signedIn || !isArmed_ || activity_.apps.empty() || !activeSince_)
            return;
        const Duration held = now - *activeSince_;
        if (held < kStartDelay) return;
        isArmed_ = false;
        log_.notice("Auto-start: {} held the microphone for {} s", describe(activity_),
                    wholeSeconds(held));
        hooks_.startCapture();
        return;
    }

    // A capture started by hand also uses up the arming.
    isArmed_ = false;
    if (!hooks_.startedAutomatically() || !activity_.apps.empty() || !inactiveSince_) return;
    const Duration silent = now - *inactiveSince_;
    if (silent < kStopDelay) return;
    inactiveSince_.reset();
    log_.notice("Auto-stop: no conferencing app has held the microphone for {} s",
                wholeSeconds(silent));
    hooks_.stopCapture();
}

}  // namespace kavo
