#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "account/AuthService.h"
#include "account/ReconcileLedger.h"
#include "account/ServerDeletionReconciler.h"
#include "account/SessionPhase.h"
#include "account/Tenant.h"
#include "account/TenantDiscoveryCache.h"
#include "account/TenantDiscoveryService.h"
#include "base/Clock.h"
#include "base/Defaults.h"
#include "base/Log.h"
#include "base/Scheduler.h"
#include "capture/RecentCapture.h"
#include "capture/RecentCaptureStore.h"
#include "capture/files/CaptureArtifacts.h"
#include "net/HTTPTransport.h"
#include "net/KavoAPIClient.h"
#include "support/ProblemReportForm.h"
#include "support/SupportEnvironment.h"
#include "upload/StagedBlockStore.h"
#include "upload/UploadQueue.h"
#include "upload/UploadStatus.h"

namespace kavo {

// The application's one coordinator of the account: signs in (silently or not), finds
// the tenant's deployment, checks meetings access, hands finished captures to the upload
// queue, keeps the recent-capture list and runs the deletion reconciler on a timer.
// Lives on the main scheduler: every public call is made there and every change is
// announced there. Blocking calls (sign-in, discovery, the Kavo API) run on the worker
// scheduler; uploads and reconcile passes run on the upload queue.
class SessionController : public std::enable_shared_from_this<SessionController> {
public:
    using Phase = SessionPhase;
    using Report = ServerDeletionReconciler::Report;

    enum class Property { phase, branding, upload, signInError, recentCaptures };
    using Observer = std::function<void(Property)>;

    static constexpr std::int64_t kUploadBlockSize = 4194304;
    static constexpr int kUploadMaxConcurrentBlocks = 4;
    static constexpr double kPollInterval = 5.0;
    static constexpr int kPollMaxAttempts = 60;
    static constexpr double kStallWatchdogInterval = 15.0;
    static constexpr int kReconcileThreshold = 3;
    static constexpr std::ptrdiff_t kRecentCaptureLimit = 3;
    static constexpr const char* kSignInToUploadText = "Sign in to upload this meeting.";

    // How uploads wait: the status poll and the stall watchdog.
    struct UploadTiming {
        double pollInterval = kPollInterval;
        int pollMaxAttempts = kPollMaxAttempts;
        // None: no watchdog. Under a simulated clock a waiting watchdog would see time
        // race ahead of the transfer it watches.
        std::optional<double> stallWatchdogInterval = kStallWatchdogInterval;
    };

    // The reconciler's report, written on the queue's thread and read on the main one.
    struct ReportBox {
        std::mutex lock;
        Report report;
    };

    struct Collaborators {
        std::shared_ptr<AuthService> auth;
        std::shared_ptr<TenantDiscoveryService> discovery;
        std::shared_ptr<TenantDiscoveryCache> cache;
        // The store the cache lives in; sign-out removes the cache's entry from it.
        std::shared_ptr<Defaults> cacheDefaults;
        // Shared by every API client and uploader the controller builds.
        std::shared_ptr<HTTPTransport> transport;
        std::shared_ptr<StagedBlockStore> stagedBlockStore;
        std::shared_ptr<RecentCaptureStore> recentCaptureStore;
        std::shared_ptr<ReconcileLedger> ledger;
        // Must outlive every job handed to it; the main scheduler must outlive the queue.
        std::shared_ptr<UploadQueue> queue;
        const Clock* clock = nullptr;
        Scheduler* main = nullptr;
        Scheduler* worker = nullptr;
        // Period of the reconcile timer; none means no timer.
        std::optional<Duration> reconcileInterval;
        UploadTiming uploadTiming;
        SupportEnvironment supportEnvironment;
        // IANA identifier of the user's time zone, for problem reports.
        std::string timeZone;
    };

    static std::shared_ptr<SessionController> create(Collaborators collaborators);

private:
    struct PrivateTag {};

public:
    // Through create() only: the controller hands out weak references to itself.
    SessionController(PrivateTag, Collaborators collaborators);

    SessionController(const SessionController&) = delete;
    SessionController& operator=(const SessionController&) = delete;

    const Phase& phase() const { return phase_; }
    const std::optional<KavoAPIClient::BrandingResponse>& branding() const { return branding_; }
    const UploadStatus& upload() const { return upload_; }
    const std::optional<std::string>& signInError() const { return signInError_; }
    const std::vector<RecentCapture>& recentCaptures() const { return recentCaptures_; }

    // Told the property that changed, on the main scheduler, only when its value changed.
    void observe(Observer observer);
    // Whether a capture is running; asked on the main scheduler before a reconcile pass.
    void setIsCapturing(std::function<bool()> isCapturing);

    // The launch sequence; called once right after creation.
    void bootstrap();
    void signIn();
    void signOut();
    // "Try Again": only acts while discovery is unavailable.
    void retryDiscovery();
    // A finalized capture: uploaded while signed in, otherwise left on disk.
    void captureFinished(const CaptureArtifacts& artifacts);
    // One reconcile pass, queued after every upload handed over before; `done` gets its
    // report on the main scheduler (all zero when not signed in or while capturing).
    void reconcileNow(std::function<void(Report)> done = {});
    // The report window for the signed-in `tenant`.
    std::shared_ptr<ProblemReportForm> makeProblemReportForm(const Tenant& tenant);

private:
    template <typename T>
    struct Outcome {
        std::optional<T> value;
        std::exception_ptr error;
    };

    // Runs `work` on the worker, then `then` with its outcome on the main scheduler while
    // the controller is alive.
    template <typename T>
    void offMain(std::function<T()> work, std::function<void(SessionController&, Outcome<T>)> then);

    void establish(const AppSession& session);
    void continueWithTenant(const AppSession& session, const Tenant& tenant, std::uint64_t epoch);
    void refreshTenant(const AppSession& session, std::uint64_t epoch);
    void fetchBranding(const Tenant& tenant, std::function<void(SessionController&)> then);
    void refreshRecentCaptures();
    void startReconcileTimer();
    KavoAPIClient makeClient(const Tenant& tenant) const;

    void setPhase(Phase phase);
    void setBranding(std::optional<KavoAPIClient::BrandingResponse> branding);
    void setUpload(UploadStatus status);
    void setSignInError(std::optional<std::string> error);
    void setRecentCaptures(std::vector<RecentCapture> captures);
    void notify(Property property);

    static std::string describe(const std::exception_ptr& error);

    Collaborators c_;
    Phase phase_ = Phase::bootstrapping();
    std::optional<KavoAPIClient::BrandingResponse> branding_;
    UploadStatus upload_ = UploadStatus::idle();
    std::optional<std::string> signInError_;
    std::vector<RecentCapture> recentCaptures_;
    std::function<bool()> isCapturing_ = [] { return false; };
    std::vector<Observer> observers_;
    TimerHandle reconcileTimer_;
    // Bumped by every sign-in attempt and sign-out, so that answers to an abandoned
    // attempt change nothing.
    std::uint64_t epoch_ = 0;
    Logger log_{"SessionController"};
};

}  // namespace kavo
