#include "app/KavoMeetingsDesktopApp.h"

#include <exception>
#include <utility>

#include "account/ReconcileLedger.h"
#include "account/TenantDiscoveryCache.h"
#include "account/TenantDiscoveryService.h"
#include "account/UnavailableAuthService.h"
#include "capture/RecentCaptureStore.h"
#include "support/UpdateManifestService.h"
#include "upload/FileStagedBlockStore.h"

namespace kavo {

KavoMeetingsDesktopApp::KavoMeetingsDesktopApp(Environment environment)
    : environment_(std::move(environment)) {
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

    auto discovery = std::make_shared<TenantDiscoveryService>(e.discoveryURL, e.transport);

    SessionController::Collaborators collaborators;
    collaborators.auth = std::move(auth);
    collaborators.discovery = std::move(discovery);
    collaborators.cache = std::make_shared<TenantDiscoveryCache>(e.defaults, *e.clock);
    collaborators.cacheDefaults = e.defaults;
    collaborators.transport = e.transport;
    collaborators.stagedBlockStore = std::make_shared<FileStagedBlockStore>(
        e.capturesDirectory / FileStagedBlockStore::kFileName);
    collaborators.recentCaptureStore = std::make_shared<RecentCaptureStore>(e.capturesDirectory);
    collaborators.ledger = std::make_shared<ReconcileLedger>(e.defaults);
    collaborators.queue = queue_;
    collaborators.clock = e.clock;
    collaborators.main = e.main;
    collaborators.worker = e.worker;
    collaborators.reconcileInterval = reconcileInterval_;
    collaborators.uploadTiming = e.uploadTiming;
    collaborators.supportEnvironment = e.supportEnvironment;
    collaborators.timeZone = e.timeZone;
    session_ = SessionController::create(std::move(collaborators));

    const std::weak_ptr<SessionController> weakSession = session_;
    capture_ = std::make_shared<CaptureController>(
        CaptureController::Environment{e.capturesDirectory, e.makeSession, *e.main, *e.clock,
                                       e.repair},
        [weakSession](const CaptureArtifacts& artifacts) {
            if (auto session = weakSession.lock()) session->captureFinished(artifacts);
        });
    session_->setIsCapturing([weakCapture = std::weak_ptr<CaptureController>(capture_)] {
        const auto capture = weakCapture.lock();
        return capture && capture->isRecording();
    });

    const Clock* clock = e.clock;
    updates_ = UpdateChecker::create(
        UpdateManifestService{e.updateManifestURL, e.transport}, e.runningVersion,
        kUpdateCheckInterval, [clock] { return clock->now(); }, *e.main, *e.worker);
    updates_->startChecking();

    autoCapture_ = std::make_unique<MeetingAutoCapture>(
        *e.conference, *e.defaults,
        MeetingAutoCapture::Hooks::forController(
            *capture_,
            [weakSession] {
                const auto session = weakSession.lock();
                return session && session->phase().kind() == SessionPhase::Kind::signedIn;
            }),
        *e.clock, *e.main, kAutoCaptureInterval);
    autoCapture_->arm();

    session_->observe([this](SessionController::Property) { changed(); });
    capture_->observe([this](CaptureController::Property) { changed(); });
    updates_->observe([this](const std::optional<AvailableUpdate>&) { changed(); });
    autoCapture_->setOnEnabledChange([this](bool) { changed(); });

    e.main->post([weakSession] {
        if (auto session = weakSession.lock()) session->bootstrap();
    });
}

KavoMeetingsDesktopApp::~KavoMeetingsDesktopApp() {
    // Auto-capture drives the capture controller, which hands captures to the session.
    autoCapture_.reset();
    updates_.reset();
    capture_.reset();
}

MenuState KavoMeetingsDesktopApp::menuState() const {
    MenuState state;
    state.phase = session_->phase();
    state.signInError = session_->signInError();
    state.upload = session_->upload();
    state.recentCaptures = session_->recentCaptures();
    state.isRecording = capture_->isRecording();
    state.elapsedLabel = capture_->elapsedLabel();
    state.captureError = capture_->lastError();
    state.availableUpdate = updates_->available();
    state.autoCaptureEnabled = autoCapture_->isEnabled();
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
        case MenuAction::openRecording:
        case MenuAction::openDownloadPage:
            if (item.link && environment_.openURL) environment_.openURL(*item.link);
            break;
        case MenuAction::toggleAutoCapture:
            autoCapture_->setEnabled(!autoCapture_->isEnabled());
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

void KavoMeetingsDesktopApp::changed() const {
    for (const auto& observer : observers_) observer();
}

}  // namespace kavo
