#include "app/KavoMeetingsDesktopApp.h"

#include <exception>
#include <utility>

#include "account/UnavailableAuthService.h"
#include "app/SessionAssembly.h"
#include "support/UpdateManifestService.h"

namespace kavo {

KavoMeetingsDesktopApp::KavoMeetingsDesktopApp(Environment environment)
    : environment_(std::move(environment)), echoCancellation_(environment_.defaults) {
    Environment& e = environment_;

    const auto disableReconcile =
        e.environmentVariable ? e.environmentVariable(kDisableReconcileVariable) : std::nullopt;
    const bool reconcileDisabled = disableReconcile == "1";
    if (reconcileDisabled) {
        log_.notice("KAVO_DISABLE_RECONCILE=1: the deletion reconciler is off for this launch");
    }

    std::shared_ptr<AuthService> auth;
    try {
        auth = e.makeAuthService();
    } catch (const std::exception& error) {
        log_.error("Sign-in service unavailable: {}", error.what());
        auth = std::make_shared<UnavailableAuthService>(error.what());
    }

    if (!reconcileDisabled) reconcileInterval_ = kReconcileInterval;

    auto assembly = SessionAssembly::make({.auth = auth,
                                           .transport = e.transport,
                                           .discoveryURL = e.discoveryURL,
                                           .defaults = e.defaults,
                                           .capturesDirectory = e.capturesDirectory,
                                           .queue = queue_,
                                           .clock = e.clock,
                                           .main = e.main,
                                           .worker = e.worker,
                                           .supportEnvironment = e.supportEnvironment,
                                           .timeZone = e.timeZone,
                                           .reconcileInterval = reconcileInterval_,
                                           .uploadTiming = e.uploadTiming});
    session_ = std::move(assembly.session);
    delivery_ = std::move(assembly.delivery);

    const std::weak_ptr<SessionController> weakSession = session_;
    const std::weak_ptr<CaptureDelivery> weakDelivery = delivery_;
    capture_ = std::make_shared<CaptureController>(
        CaptureController::Environment{
            .capturesDirectory = e.capturesDirectory,
            .makeSession = e.makeSession,
            .main = *e.main,
            .clock = *e.clock,
            .repair = e.repair,
            // A capture belongs to whoever was signed in when it began, even if they
            // sign out before it ends.
            .owner = [weakSession]() -> CaptureController::Owner {
                const auto session = weakSession.lock();
                if (!session || session->phase().kind() != SessionPhase::Kind::signedIn)
                    return std::nullopt;
                const AppSession& account = *session->phase().session();
                return CaptureSidecar::Account{account.tenantId, account.userId, account.email};
            },
            .onLaunchRepairFinished =
                [weakDelivery] {
                    if (auto delivery = weakDelivery.lock()) delivery->captureFolderReady();
                }},
        [weakDelivery](const CaptureArtifacts& artifacts) {
            if (auto delivery = weakDelivery.lock()) delivery->captureFinished(artifacts);
        });
    delivery_->setRunningCapture([weakCapture = std::weak_ptr<CaptureController>(
                                      capture_)]() -> std::optional<std::filesystem::path> {
        const auto capture = weakCapture.lock();
        if (!capture || !capture->session()) return std::nullopt;
        return capture->session()->sidecarURL();
    });
    // The delivery follows the account: every entry into signedIn starts a round.
    session_->observe([this](SessionController::Property property) {
        if (property != SessionController::Property::phase) return;
        const SessionPhase& phase = session_->phase();
        if (phase.kind() == SessionPhase::Kind::signedIn) {
            delivery_->setAccount(CaptureDelivery::Account{*phase.session(), *phase.tenant()});
        } else if (phase.kind() != SessionPhase::Kind::bootstrapping) {
            delivery_->setAccount(std::nullopt);
        }
    });

    const Clock* clock = e.clock;
    updates_ = UpdateChecker::create(
        UpdateManifestService{e.updateManifestURL, e.transport}, e.runningVersion,
        kUpdateCheckInterval, [clock] { return clock->now(); }, *e.main, *e.worker);
    updates_->startChecking();

    auto hooks = MeetingAutoCapture::Hooks::forController(*capture_, [weakSession] {
        const auto session = weakSession.lock();
        return session && session->phase().kind() == SessionPhase::Kind::signedIn;
    });
    // Nobody should be recorded unawares: a capture that starts or stops by itself says so.
    hooks.startCapture = [this, start = std::move(hooks.startCapture)] {
        start();
        if (capture_->isRecording()) {
            notify(recordingStartedNotification());
        } else if (capture_->lastError()) {
            notify({.title = "Recording did not start",
                    .body = *capture_->lastError(),
                    .action = std::nullopt});
        }
    };
    hooks.stopCapture = [this, stop = std::move(hooks.stopCapture)] {
        const bool wasRecording = capture_->isRecording();
        stop();
        if (wasRecording) notify(recordingStoppedNotification());
    };
    autoCapture_ = MeetingAutoCapture::create(
        *e.conference, *e.defaults, std::move(hooks), *e.clock, *e.main, kAutoCaptureInterval);
    autoCapture_->arm();

    session_->observe([this](SessionController::Property) { changed(); });
    delivery_->observe([this](CaptureDelivery::Property) { changed(); });
    capture_->observe([this](CaptureController::Property) { changed(); });
    updates_->observe([this](const std::optional<AvailableUpdate>&) { changed(); });
    autoCapture_->setOnEnabledChange([this](bool) { changed(); });

    e.main->post([weakSession] {
        if (auto session = weakSession.lock()) session->bootstrap();
    });
}

KavoMeetingsDesktopApp::~KavoMeetingsDesktopApp() {
    // Auto-capture drives the capture controller, which hands captures to the delivery.
    autoCapture_.reset();
    updates_.reset();
    capture_.reset();
    delivery_.reset();
}

MenuState KavoMeetingsDesktopApp::menuState() const {
    MenuState state;
    state.phase = session_->phase();
    state.signInError = session_->signInError();
    state.upload = delivery_->upload();
    state.waitingUploads = delivery_->waiting();
    state.waitingForNetwork = delivery_->waitingForNetwork();
    state.canUploadNow = delivery_->canUploadNow();
    state.recentCaptures = delivery_->recentCaptures();
    state.isRecording = capture_->isRecording();
    state.elapsedLabel = capture_->elapsedLabel();
    state.captureError = capture_->lastError();
    state.condition = capture_->condition();
    state.availableUpdate = updates_->available();
    state.autoCaptureEnabled = autoCapture_->isEnabled();
    state.echoCancellationEnabled = echoCancellation_.isEnabled();
    return state;
}

void KavoMeetingsDesktopApp::perform(const MenuItem& item) {
    if (!item.action) return;
    switch (*item.action) {
        case MenuAction::signIn:
            session_->signIn();
            break;
        case MenuAction::retryDiscovery:
            session_->retryDiscovery();
            break;
        case MenuAction::startRecording:
            capture_->start(false);
            break;
        case MenuAction::stopRecording:
            capture_->stop();
            break;
        case MenuAction::pauseRecording:
            capture_->pause();
            break;
        case MenuAction::resumeRecording:
            capture_->resume();
            break;
        case MenuAction::uploadNow:
            delivery_->uploadNow();
            break;
        case MenuAction::openRecording:
        case MenuAction::openDownloadPage:
            if (item.link && environment_.openURL) environment_.openURL(*item.link);
            break;
        case MenuAction::toggleAutoCapture:
            autoCapture_->setEnabled(!autoCapture_->isEnabled());
            break;
        case MenuAction::toggleEchoCancellation:
            echoCancellation_.setEnabled(!echoCancellation_.isEnabled());
            changed();
            break;
        case MenuAction::reportProblem:
            if (const auto tenant = session_->phase().tenant();
                tenant && session_->phase().kind() == SessionPhase::Kind::signedIn &&
                environment_.showReport) {
                environment_.showReport(session_->makeProblemReportForm(*tenant));
            }
            break;
        case MenuAction::signOut:
            session_->signOut();
            break;
        case MenuAction::quit:
            if (environment_.quit) environment_.quit();
            break;
    }
}

void KavoMeetingsDesktopApp::observe(std::function<void()> changed) {
    observers_.push_back(std::move(changed));
}

Notification KavoMeetingsDesktopApp::recordingStartedNotification() {
    return {.title = "Recording started",
            .body =
                "A meeting app is using the microphone, so Kavo Meetings is recording "
                "this meeting.",
            .action = Notification::Action{"Stop Recording", MenuAction::stopRecording}};
}

Notification KavoMeetingsDesktopApp::recordingStoppedNotification() {
    return {.title = "Recording stopped",
            .body = "The meeting has ended, so Kavo Meetings stopped recording.",
            .action = std::nullopt};
}

void KavoMeetingsDesktopApp::notify(const Notification& notification) const {
    log_.info("Notification: {}: {}", notification.title, notification.body);
    if (environment_.notifier) environment_.notifier->show(notification);
}

void KavoMeetingsDesktopApp::changed() const {
    for (const auto& observer : observers_) observer();
}

}  // namespace kavo
