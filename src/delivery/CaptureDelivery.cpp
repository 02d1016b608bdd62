#include "delivery/CaptureDelivery.h"

#include <algorithm>
#include <utility>

#include "capture/files/CaptureFormat.h"
#include "upload/BlockBlobUploader.h"

namespace kavo {

std::shared_ptr<CaptureDelivery> CaptureDelivery::create(Collaborators collaborators) {
    return std::make_shared<CaptureDelivery>(PrivateTag{}, std::move(collaborators));
}

CaptureDelivery::CaptureDelivery(PrivateTag, Collaborators collaborators)
    : c_(std::move(collaborators)) {}

void CaptureDelivery::observe(Observer observer) {
    observers_.push_back(std::move(observer));
}

void CaptureDelivery::setRunningCapture(
    std::function<std::optional<std::filesystem::path>()> running) {
    running_ = std::move(running);
}

void CaptureDelivery::setAccount(std::optional<Account> account) {
    if (account_ == account) return;
    const bool sameUser = account_ && account &&
                          account_->session.userId == account->session.userId &&
                          account_->session.tenantId == account->session.tenantId;
    // The end of an upload begun for the same user (under an older tenant record) still
    // counts: its failure is recorded and its retry scheduled.
    if (!sameUser) ++epoch_;
    account_ = std::move(account);
    needsSignIn_ = false;
    retryWait_.request_stop();
    reconcileTimer_.cancel();
    // A new sign-in makes the texts about the last one stale; a refreshed tenant record
    // for the same user does not.
    if (!sameUser) setUpload(UploadStatus::idle());
    setWaiting(waiting_, false);
    if (!account_) {
        setWaiting(0, false);
        setRecentCaptures({});
        return;
    }
    refreshRecentCaptures();
    startReconcileTimer();
    deliverNext();
}

void CaptureDelivery::captureFolderReady() {
    if (folderReady_) return;
    folderReady_ = true;
    refreshRecentCaptures();
    deliverNext();
}

void CaptureDelivery::captureFinished(const CaptureArtifacts& artifacts) {
    refreshRecentCaptures();
    if (!account_) {
        log_.notice("Capture finished while signed out; it waits for the next sign-in: {}",
                    artifacts.audioURL.filename().string());
        setUpload(UploadStatus::failed(kSignInToUploadText));
        return;
    }
    deliverNext();
}

void CaptureDelivery::uploadNow() {
    if (!account_ || inFlight_) return;
    needsSignIn_ = false;
    for (const PendingCapture& capture : pending()) {
        if (!capture.uploadError) continue;
        try {
            auto sidecar = CaptureSidecar::read(capture.artifacts.sidecarURL);
            sidecar.uploadError.reset();
            sidecar.write(capture.artifacts.sidecarURL);
        } catch (const std::exception& error) {
            log_.error("Could not clear the failure of {}: {}", capture.captureId, error.what());
        }
    }
    deliverNext();
}

std::vector<PendingCapture> CaptureDelivery::pending() const {
    if (!account_) return {};
    auto found = pendingCaptures(c_.recentCaptureStore->sidecarFiles(), owner(),
                                 c_.ledger->hiddenCaptureIds());
    if (const auto running = running_()) {
        std::erase_if(found, [&](const PendingCapture& capture) {
            return capture.artifacts.sidecarURL == *running;
        });
    }
    return found;
}

void CaptureDelivery::send(const CaptureArtifacts& artifacts) {
    CaptureSidecar sidecar;
    try {
        sidecar = CaptureSidecar::read(artifacts.sidecarURL);
    } catch (const std::exception& error) {
        setUpload(UploadStatus::failed(error.what()));
        return;
    }
    if (!account_) {
        setUpload(UploadStatus::failed(kSignInToUploadText));
        return;
    }
    if (!belongsTo(sidecar, owner())) {
        setUpload(UploadStatus::failed("This meeting was recorded while " + sidecar.account->email +
                                       " was signed in; only that account can upload it."));
        return;
    }
    requested_ = PendingCapture{sidecar.captureId, artifacts, sidecar.startedAt,
                                sidecar.account.has_value(), std::nullopt};
    deliverNext();
}

void CaptureDelivery::deliverNext() {
    if (!account_ || inFlight_) {
        if (account_ && folderReady_) setWaiting(pending().size(), waitingForNetwork_);
        return;
    }
    std::optional<PendingCapture> next = std::move(requested_);
    requested_.reset();
    const auto found = folderReady_ ? pending() : std::vector<PendingCapture>{};
    if (!next && !needsSignIn_) {
        const auto first =
            std::find_if(found.begin(), found.end(),
                         [](const PendingCapture& capture) { return !capture.uploadError; });
        if (first != found.end()) next = *first;
    }
    if (!next) {
        setWaiting(found.size(), waitingForNetwork_);
        announceSending();
        return;
    }
    // Set before anything is announced: an observer must never see a round that ended
    // between two captures.
    inFlight_ = true;
    retryWait_.request_stop();
    const PendingCapture capture = *next;
    if (!capture.claimed) {
        // From now on this capture is this account's, whoever signs in later.
        try {
            auto sidecar = CaptureSidecar::read(capture.artifacts.sidecarURL);
            sidecar.account = owner();
            sidecar.write(capture.artifacts.sidecarURL);
        } catch (const std::exception& error) {
            log_.error("Could not record the account of {}: {}", capture.captureId, error.what());
        }
    }
    log_.info("Delivering {} ({} waiting)", capture.captureId, found.size());
    setWaiting(found.size(), waitingForNetwork_);
    announceSending();

    std::weak_ptr<CaptureDelivery> weak = weak_from_this();
    Scheduler* main = c_.main;
    const auto epoch = epoch_;
    auto onStatus = [weak, main](const UploadStatus& status) {
        main->post([weak, status] {
            auto self = weak.lock();
            if (!self) return;
            self->setUpload(status);
            // Bytes moving again: whatever the network was doing, it is back.
            if (status.kind() != UploadStatus::Kind::retrying &&
                status.kind() != UploadStatus::Kind::failed &&
                status.kind() != UploadStatus::Kind::preparing)
                self->setWaiting(self->waiting_, false);
            // The list follows the upload's stages, not its byte count.
            if (!(status.kind() == UploadStatus::Kind::uploading && status.fraction()))
                self->refreshRecentCaptures();
        });
    };
    c_.queue->enqueue([client = makeClient(account_->tenant), transport = c_.transport,
                       store = c_.stagedBlockStore, clock = c_.clock, timing = c_.uploadTiming,
                       onStatus, capture, weak, main, epoch](std::stop_token stop) {
        BlockBlobUploader uploader(*transport, *store, kUploadBlockSize, kUploadMaxConcurrentBlocks,
                                   *clock);
        UploadCoordinator coordinator(client, uploader, *clock, timing.pollInterval,
                                      timing.pollMaxAttempts, timing.stallWatchdogInterval,
                                      onStatus);
        UploadCoordinator::RunOutcome outcome;
        try {
            // Nothing but a finished capture of this program leaves the computer.
            CaptureFormat::verify(capture.artifacts);
            outcome = coordinator.deliver(capture.artifacts, stop);
        } catch (const CaptureFileError& error) {
            outcome = {
                UploadCoordinator::RunOutcome::Kind::failed,
                UploadStatus::failed(std::string("Cannot upload this recording: ") + error.what())};
            onStatus(outcome.status);
        }
        main->post([weak, capture, outcome, epoch] {
            auto self = weak.lock();
            if (!self) return;
            if (self->epoch_ == epoch) {
                self->delivered(capture, outcome);
            } else {
                self->inFlight_ = false;
                self->deliverNext();
                self->announceSending();
            }
        });
    });
}

void CaptureDelivery::delivered(const PendingCapture& capture,
                                const UploadCoordinator::RunOutcome& outcome) {
    using Kind = UploadCoordinator::RunOutcome::Kind;
    refreshRecentCaptures();
    switch (outcome.kind) {
        case Kind::done:
            setWaiting(waiting_, false);
            break;
        case Kind::failed:
            setWaiting(waiting_, false);
            try {
                auto sidecar = CaptureSidecar::read(capture.artifacts.sidecarURL);
                sidecar.uploadError = outcome.status.message();
                sidecar.write(capture.artifacts.sidecarURL);
            } catch (const std::exception& error) {
                // Without the mark the capture is tried again next round, which is safe.
                log_.error("Could not record the failure of {}: {}", capture.captureId,
                           error.what());
            }
            break;
        case Kind::signInAgain:
            needsSignIn_ = true;
            inFlight_ = false;
            setWaiting(folderReady_ ? pending().size() : 0, false);
            announceSending();
            return;
        case Kind::retryLater:
            inFlight_ = false;
            setWaiting(folderReady_ ? pending().size() : 0, true);
            retryLater();
            announceSending();
            return;
    }
    inFlight_ = false;
    deliverNext();
}

void CaptureDelivery::retryLater() {
    log_.notice("Delivery paused; next round in {} s, or once the server answers again",
                std::chrono::duration_cast<std::chrono::seconds>(c_.retryInterval).count());
    // Waited on the clock, like every other retry, off the main scheduler. The server is
    // asked now and then whether it answers again, so that the round starts as soon as
    // the network or the server is back rather than at the end of the wait.
    retryWait_ = std::jthread([weak = weak_from_this(), clock = c_.clock, main = c_.main,
                               interval = c_.retryInterval, probe = c_.probeInterval,
                               client = makeClient(account_->tenant)](std::stop_token stop) {
        Duration waited{};
        while (waited < interval) {
            const Duration step = std::min(probe, interval - waited);
            if (!clock->sleepFor(step, stop)) return;
            waited += step;
            if (waited >= interval) break;
            try {
                client.currentUser(stop);
                break;
            } catch (const std::exception&) {
                // Still away; keep waiting.
            }
        }
        if (stop.stop_requested()) return;
        main->post([weak] {
            if (auto self = weak.lock()) self->deliverNext();
        });
    });
}

void CaptureDelivery::refreshRecentCaptures() {
    if (!account_) return;
    setRecentCaptures(
        c_.recentCaptureStore->recent(kRecentCaptureLimit, c_.ledger->hiddenCaptureIds()));
}

void CaptureDelivery::startReconcileTimer() {
    if (!c_.reconcileInterval) return;
    const Duration interval = *c_.reconcileInterval;
    std::weak_ptr<CaptureDelivery> weak = weak_from_this();
    reconcileTimer_ = c_.main->every(interval, interval / 12, [weak] {
        if (auto self = weak.lock()) self->reconcileNow();
    });
}

void CaptureDelivery::reconcileNow(std::function<void(Report)> done) {
    if (!account_ || running_()) {
        if (account_) log_.info("Reconcile skipped: a capture is running");
        if (done) done({});
        return;
    }
    ServerDeletionReconciler reconciler(
        [directory = c_.recentCaptureStore->directory()] { return sidecarFilesIn(directory); },
        makeClient(account_->tenant), c_.ledger, kReconcileThreshold, *c_.clock);
    auto box = std::make_shared<ReportBox>();
    std::weak_ptr<CaptureDelivery> weak = weak_from_this();
    Scheduler* main = c_.main;
    c_.queue->enqueue([reconciler = std::move(reconciler), box, weak, main,
                       done = std::move(done)](std::stop_token stop) mutable {
        auto report = reconciler.run(stop);
        {
            std::lock_guard guard(box->lock);
            box->report = std::move(report);
        }
        main->post([box, weak, done = std::move(done)] {
            if (auto self = weak.lock()) self->refreshRecentCaptures();
            Report result;
            {
                std::lock_guard guard(box->lock);
                result = box->report;
            }
            if (done) done(std::move(result));
        });
    });
}

KavoAPIClient CaptureDelivery::makeClient(const Tenant& tenant) const {
    return KavoAPIClient(tenant.kavoBaseUrl, c_.transport,
                         [auth = c_.auth](std::stop_token stop) { return auth->kavoToken(stop); });
}

CaptureSidecar::Account CaptureDelivery::owner() const {
    const AppSession& session = account_->session;
    return {session.tenantId, session.userId, session.email};
}

void CaptureDelivery::setUpload(UploadStatus status) {
    if (upload_ == status) return;
    upload_ = std::move(status);
    notify(Property::upload);
}

void CaptureDelivery::setWaiting(std::size_t waiting, bool waitingForNetwork) {
    if (waiting_ == waiting && waitingForNetwork_ == waitingForNetwork) return;
    waiting_ = waiting;
    waitingForNetwork_ = waitingForNetwork;
    notify(Property::waiting);
}

void CaptureDelivery::setRecentCaptures(std::vector<RecentCapture> captures) {
    if (recentCaptures_ == captures) return;
    recentCaptures_ = std::move(captures);
    notify(Property::recentCaptures);
}

void CaptureDelivery::announceSending() {
    if (announcedSending_ == inFlight_) return;
    announcedSending_ = inFlight_;
    notify(Property::sending);
}

void CaptureDelivery::notify(Property property) {
    for (const auto& observer : observers_) observer(property);
}

}  // namespace kavo
