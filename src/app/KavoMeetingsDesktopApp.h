#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "account/AuthService.h"
#include "account/SessionController.h"
#include "app/MenuModel.h"
#include "app/Notifier.h"
#include "audio/conference/ConferenceActivitySource.h"
#include "base/Clock.h"
#include "base/Defaults.h"
#include "base/Log.h"
#include "base/Scheduler.h"
#include "capture/CaptureController.h"
#include "capture/EchoCancellationSetting.h"
#include "capture/MeetingAutoCapture.h"
#include "delivery/CaptureDelivery.h"
#include "net/HTTPTransport.h"
#include "support/ProblemReportForm.h"
#include "support/SupportEnvironment.h"
#include "support/UpdateChecker.h"
#include "upload/UploadQueue.h"

namespace kavo {

// The application: builds every long-lived object once, in launch order, wires them
// together, starts the session's launch sequence and answers the menu. The menu is a
// pure function of the objects' state and every action in it calls one of their
// operations. Lives on the main scheduler; the shell (tray or command line) only draws.
class KavoMeetingsDesktopApp {
public:
    static constexpr const char* kDisableReconcileVariable = "KAVO_DISABLE_RECONCILE";
    static constexpr Duration kReconcileInterval = std::chrono::seconds(3600);
    static constexpr Duration kUpdateCheckInterval = std::chrono::hours(6);
    static constexpr Duration kAutoCaptureInterval = std::chrono::seconds(1);

    struct Environment {
        // The sign-in service; when it throws, sign-in is unavailable for that reason.
        std::function<std::shared_ptr<AuthService>()> makeAuthService;
        std::shared_ptr<HTTPTransport> transport;
        std::string discoveryURL;
        std::string updateManifestURL;
        std::shared_ptr<Defaults> defaults;
        std::filesystem::path capturesDirectory;
        CaptureController::SessionFactory makeSession;
        // Empty: the standard repair of incomplete WAVE files.
        CaptureController::Repair repair = {};
        // Must outlive the application.
        ConferenceActivitySource* conference = nullptr;
        const Clock* clock = nullptr;
        Scheduler* main = nullptr;
        Scheduler* worker = nullptr;
        // The process environment, read once at launch.
        std::function<std::optional<std::string>(const char*)> environmentVariable;
        std::string runningVersion;
        SupportEnvironment supportEnvironment;
        std::string timeZone;
        CaptureDelivery::UploadTiming uploadTiming = {};

        // What the shell does for the menu.
        std::function<void(const std::string& url)> openURL;
        std::function<void(std::shared_ptr<ProblemReportForm>)> showReport;
        std::function<void()> quit;
        // Tells the user when automatic capture starts or stops; null: nobody is told.
        // Must outlive the application.
        Notifier* notifier = nullptr;
    };

    // What the notifications of automatic capture say.
    static Notification recordingStartedNotification();
    static Notification recordingStoppedNotification();

    explicit KavoMeetingsDesktopApp(Environment environment);
    KavoMeetingsDesktopApp(const KavoMeetingsDesktopApp&) = delete;
    KavoMeetingsDesktopApp& operator=(const KavoMeetingsDesktopApp&) = delete;
    ~KavoMeetingsDesktopApp();

    MenuState menuState() const;
    std::vector<MenuItem> menu() const { return menuItems(menuState()); }
    MenuBarLabel label() const { return menuBarLabel(menuState()); }

    // The menu item was chosen.
    void perform(const MenuItem& item);

    // Called on the main scheduler whenever anything the menu shows may have changed.
    void observe(std::function<void()> changed);

    bool reconcilerEnabled() const { return reconcileInterval_.has_value(); }
    CaptureController& capture() { return *capture_; }
    SessionController& session() { return *session_; }
    CaptureDelivery& delivery() { return *delivery_; }
    UpdateChecker& updates() { return *updates_; }
    MeetingAutoCapture& autoCapture() { return *autoCapture_; }
    // Uploads and reconcile passes; waitUntilIdle() lets a caller see them through.
    UploadQueue& uploads() { return *queue_; }

private:
    void changed() const;
    void notify(const Notification& notification) const;

    Environment environment_;
    Logger log_{"app"};
    std::optional<Duration> reconcileInterval_;
    // Shared with the session controller, which keeps it for as long as it lives.
    std::shared_ptr<UploadQueue> queue_ = std::make_shared<UploadQueue>();
    std::shared_ptr<SessionController> session_;
    std::shared_ptr<CaptureDelivery> delivery_;
    std::shared_ptr<CaptureController> capture_;
    std::shared_ptr<UpdateChecker> updates_;
    std::shared_ptr<MeetingAutoCapture> autoCapture_;
    EchoCancellationSetting echoCancellation_;
    std::vector<std::function<void()>> observers_;
};

}  // namespace kavo
