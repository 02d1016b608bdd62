#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "account/AppSession.h"
#include "account/AuthService.h"
#include "account/ReconcileLedger.h"
#include "account/ServerDeletionReconciler.h"
#include "account/Tenant.h"
#include "base/Clock.h"
#include "base/Log.h"
#include "base/Scheduler.h"
#include "capture/RecentCapture.h"
#include "capture/RecentCaptureStore.h"
#include "capture/files/CaptureArtifacts.h"
#include "capture/files/CaptureSidecar.h"
#include "delivery/PendingCaptures.h"
#include "net/HTTPTransport.h"
#include "net/KavoAPIClient.h"
#include "upload/StagedBlockStore.h"
#include "upload/UploadCoordinator.h"
#include "upload/UploadQueue.h"
#include "upload/UploadStatus.h"

namespace kavo {

// Gets every finished capture of the signed-in account to the server, however long that
// takes: the captures folder is the queue. Oldest first, one at a time on the upload
// queue, it sends each capture that is not yet handed over: when an account signs in,
// when a capture finishes, when the launch repair is done, when the user asks, and on a
// slow timer after the upload's own retries are used up, so a long outage only delays
// delivery (a round starts as soon as the server answers again). A capture belongs to
// the account it was made under (one made while nobody was signed in goes to the next
// account). Also keeps the recent-capture list and runs
// the deletion reconciler on its timer. Lives on the main scheduler: every public call is
// made there and every change is announced there.
class CaptureDelivery : public std::enable_shared_from_this<CaptureDelivery> {
public:
    using Report = ServerDeletionReconciler::Report;

    enum class Property { upload, waiting, sending, recentCaptures };
    using Observer = std::function<void(Property)>;

    static constexpr std::int64_t kUploadBlockSize = 4194304;
    static constexpr int kUploadMaxConcurrentBlocks = 4;
    static constexpr Duration kPollInterval = std::chrono::seconds(5);
    static constexpr int kPollMaxAttempts = 60;
    static constexpr Duration kStallWatchdogInterval = std::chrono::seconds(15);
    static constexpr int kReconcileThreshold = 3;
    static constexpr std::ptrdiff_t kRecentCaptureLimit = 3;
    // After an upload's own attempts are used up, the next round starts this much later.
    static constexpr Duration kRetryInterval = std::chrono::seconds(300);
    // Meanwhile, how often the server is asked whether it answers again.
    static constexpr Duration kProbeInterval = std::chrono::seconds(30);
    static constexpr const char* kSignInToUploadText = "Sign in to upload this meeting.";
    static constexpr const char* kWaitingForNetworkText = "Uploads wait for the network.";

    // How uploads wait: the status poll and the stall watchdog.
    struct UploadTiming {
        Duration pollInterval = kPollInterval;
        int pollMaxAttempts = kPollMaxAttempts;
        // None: no watchdog. Under a simulated clock a waiting watchdog would see time
        // race ahead of the transfer it watches.
        std::optional<Duration> stallWatchdogInterval = kStallWatchdogInterval;
    };

    // The signed-in account and the deployment that serves it.
    struct Account {
        AppSession session;
        Tenant tenant;
        bool operator==(const Account&) const = default;
    };

    struct Collaborators {
        // Gives the Kavo API's access tokens.
        std::shared_ptr<AuthService> auth;
        std::shared_ptr<HTTPTransport> transport;
        std::shared_ptr<StagedBlockStore> stagedBlockStore;
        std::shared_ptr<RecentCaptureStore> recentCaptureStore;
        std::shared_ptr<ReconcileLedger> ledger;
        // Must outlive every job handed to it; the main scheduler must outlive the queue.
        std::shared_ptr<UploadQueue> queue;
        const Clock* clock = nullptr;
        Scheduler* main = nullptr;
        // Period of the reconcile timer; none means no timer.
        std::optional<Duration> reconcileInterval;
        UploadTiming uploadTiming;
        Duration retryInterval = kRetryInterval;
        Duration probeInterval = kProbeInterval;
    };

    static std::shared_ptr<CaptureDelivery> create(Collaborators collaborators);

private:
    struct PrivateTag {};

public:
    CaptureDelivery(PrivateTag, Collaborators collaborators);
    CaptureDelivery(const CaptureDelivery&) = delete;
    CaptureDelivery& operator=(const CaptureDelivery&) = delete;

    // The upload under way or the last one's outcome, as the menu shows it.
    const UploadStatus& upload() const { return upload_; }
    // The captures of this account still to be sent, the one being sent included.
    std::size_t waiting() const { return waiting_; }
    // The last round ended on failures that waiting heals (the network, the server).
    bool waitingForNetwork() const { return waitingForNetwork_; }
    // Whether "Upload Now" would do anything: captures wait and none is being sent.
    bool canUploadNow() const { return account_ && waiting_ > 0 && !inFlight_; }
    const std::vector<RecentCapture>& recentCaptures() const { return recentCaptures_; }

    // Told the property that changed, on the main scheduler, only when its value changed.
    void observe(Observer observer);
    // The sidecar of the capture being recorded, if one is: it is never sent, and no
    // reconcile pass runs while it records.
    void setRunningCapture(std::function<std::optional<std::filesystem::path>()> running);

    // The account signed in now; none when nobody is. Starts a round for a new account.
    void setAccount(std::optional<Account> account);
    // Nothing is sent before the launch repair of the captures folder is done.
    void captureFolderReady();
    // A capture was finalized.
    void captureFinished(const CaptureArtifacts& artifacts);
    // Sends this capture next, wherever its files are (the command line's "upload");
    // refused, with the reason as the upload's failure, when another account owns it.
    void send(const CaptureArtifacts& artifacts);
    // Whether a capture is being sent; false between rounds.
    bool isSending() const { return inFlight_; }
    // "Upload Now": a round at once, with the captures that failed for good sent again.
    void uploadNow();
    // One reconcile pass, queued after every upload handed over before; `done` gets its
    // report on the main scheduler (all zero when not signed in or while capturing).
    void reconcileNow(std::function<void(Report)> done = {});

private:
    // The reconciler's report, written on the queue's thread and read on the main one.
    struct ReportBox {
        std::mutex lock;
        Report report;
    };

    // Sends the oldest pending capture unless one is being sent or nobody is signed in.
    void deliverNext();
    void delivered(const PendingCapture& capture, const UploadCoordinator::RunOutcome& outcome);
    std::vector<PendingCapture> pending() const;
    std::set<std::string> excluded() const;
    void retryLater();
    void startReconcileTimer();
    void refreshRecentCaptures();
    KavoAPIClient makeClient(const Tenant& tenant) const;
    CaptureSidecar::Account owner() const;

    void setUpload(UploadStatus status);
    void setWaiting(std::size_t waiting, bool waitingForNetwork);
    void setRecentCaptures(std::vector<RecentCapture> captures);
    // Tells observers when a capture starts or stops being sent; never between two
    // captures of one round.
    void announceSending();
    void notify(Property property);

    Collaborators c_;
    std::optional<Account> account_;
    bool folderReady_ = false;
    bool inFlight_ = false;
    bool announcedSending_ = false;
    // Asked for by send(): goes before the folder's captures.
    std::optional<PendingCapture> requested_;
    // The captures this account gave up on in this launch for want of a sign-in.
    bool needsSignIn_ = false;
    // Bumped by every change of user, so that the end of an upload begun for an earlier
    // account starts nothing.
    std::uint64_t epoch_ = 0;
    UploadStatus upload_ = UploadStatus::idle();
    std::size_t waiting_ = 0;
    bool waitingForNetwork_ = false;
    std::vector<RecentCapture> recentCaptures_;
    std::function<std::optional<std::filesystem::path>()> running_ = [] {
        return std::optional<std::filesystem::path>();
    };
    std::vector<Observer> observers_;
    TimerHandle reconcileTimer_;
    Logger log_{"CaptureDelivery"};
    // The wait before the next round after an outage; stopped by any earlier round.
    std::jthread retryWait_;
};

}  // namespace kavo
