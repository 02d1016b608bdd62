#include "account/SessionController.h"

#include <utility>

#include "account/AuthError.h"
#include "account/TenantDiscoveryError.h"
#include "support/ProblemReportSubmitter.h"
#include "support/SupportCapture.h"
#include "upload/BlockBlobUploader.h"
#include "upload/UploadCoordinator.h"

namespace kavo {

std::shared_ptr<SessionController> SessionController::create(Collaborators collaborators) {
    return std::make_shared<SessionController>(PrivateTag{}, std::move(collaborators));
}

SessionController::SessionController(PrivateTag, Collaborators collaborators)
    : c_(std::move(collaborators)) {}

void SessionController::observe(Observer observer) {
    observers_.push_back(std::move(observer));
}

void SessionController::setIsCapturing(std::function<bool()> isCapturing) {
    isCapturing_ = std::move(isCapturing);
}

template <typename T>
void SessionController::offMain(std::function<T()> work,
                                std::function<void(SessionController&, Outcome<T>)> then) {
    std::weak_ptr<SessionController> weak = weak_from_this();
    Scheduler* main = c_.main;
    c_.worker->post([weak, main, work = std::move(work), then = std::move(then)]() mutable {
        Outcome<T> outcome;
        try {
            outcome.value = work();
        } catch (...) {
            outcome.error = std::current_exception();
        }
        main->post([weak, then = std::move(then), outcome = std::move(outcome)]() mutable {
            if (auto self = weak.lock()) {
                then(*self, std::move(outcome));
            }
        });
    });
}

void SessionController::bootstrap() {
    auto silently = [](SessionController& self) {
        auto auth = self.c_.auth;
        const auto epoch = self.epoch_;
        self.offMain<std::optional<AppSession>>(
            [auth] { return auth->silentSignIn(); },
            [epoch](SessionController& me, Outcome<std::optional<AppSession>> outcome) {
                if (me.epoch_ != epoch) {
                    return;
                }
                if (outcome.value && *outcome.value) {
                    me.establish(**outcome.value);
                } else {
                    me.setPhase(Phase::signedOut());
                }
            });
    };
    // The organisation's branding can show before sign-in is done.
    if (auto entry = c_.cache->entry()) {
        fetchBranding(entry->tenant, silently);
    } else {
        silently(*this);
    }
}

void SessionController::signIn() {
    const auto epoch = ++epoch_;
    setSignInError(std::nullopt);
    setPhase(Phase::signingIn());
    auto auth = c_.auth;
    offMain<AppSession>([auth] { return auth->signIn(); },
                        [epoch](SessionController& self, Outcome<AppSession> outcome) {
                            if (self.epoch_ != epoch) {
                                return;
                            }
                            if (outcome.value) {
                                self.establish(*outcome.value);
                                return;
                            }
                            try {
                                std::rethrow_exception(outcome.error);
                            } catch (const AuthError& error) {
                                if (error.kind() == AuthError::Kind::cancelled) {
                                    self.setPhase(Phase::signedOut());
                                    return;
                                }
                            } catch (...) {
                            }
                            const auto description = describe(outcome.error);
                            self.setSignInError(description);
                            self.setPhase(Phase::signedOut());
                            self.log_.notice("Sign-in failed: {}", description);
                        });
}

void SessionController::establish(const AppSession& session) {
    const auto epoch = ++epoch_;
    if (auto cached = c_.cache->tenant(session.tenantId)) {
        refreshTenant(session, epoch);
        continueWithTenant(session, *cached, epoch);
        return;
    }
    auto discovery = c_.discovery;
    const auto tid = session.tenantId;
    offMain<Tenant>([discovery, tid] { return discovery->discover(tid); },
                    [session, epoch](SessionController& self, Outcome<Tenant> outcome) {
                        if (self.epoch_ != epoch) {
                            return;
                        }
                        if (outcome.value) {
                            self.c_.cache->store(*outcome.value, session.tenantId);
                            self.continueWithTenant(session, *outcome.value, epoch);
                            return;
                        }
                        try {
                            std::rethrow_exception(outcome.error);
                        } catch (const TenantDiscoveryError& error) {
                            if (error.kind() == TenantDiscoveryError::Kind::notProvisioned) {
                                self.log_.notice("Tenant not provisioned: {}", session.tenantId);
                                self.setPhase(Phase::tenantNotRegistered(session));
                                return;
                            }
                        } catch (...) {
                        }
                        const auto description = describe(outcome.error);
                        self.log_.error("Discovery unavailable: {}", description);
                        self.setPhase(Phase::discoveryUnavailable(session, description));
                    });
}

void SessionController::continueWithTenant(const AppSession& session, const Tenant& tenant,
                                           std::uint64_t epoch) {
    auto client = makeClient(tenant);
    offMain<bool>([client] { return client.currentUser().meetingsAccess; },
                  [session, tenant, epoch](SessionController& self, Outcome<bool> outcome) {
                      if (self.epoch_ != epoch) {
                          return;
                      }
                      if (outcome.error) {
                          // An unknown answer lets the user in: only an explicit no blocks.
                          self.log_.error("/api/me check failed: {}", describe(outcome.error));
                      } else if (!*outcome.value) {
                          self.log_.notice("Meetings access denied for {}", session.email);
                          self.setPhase(Phase::notEntitled(session));
                          return;
                      }
                      self.setPhase(Phase::signedIn(session, tenant));
                      self.refreshRecentCaptures();
                      self.startReconcileTimer();
                      self.fetchBranding(tenant, [session, tenant](SessionController& me) {
                          me.log_.info("Signed in: tenant={} user={}", tenant.clientName,
                                       session.givenName);
                      });
                  });
}

void SessionController::refreshTenant(const AppSession& session, std::uint64_t epoch) {
    auto discovery = c_.discovery;
    const auto tid = session.tenantId;
    offMain<Tenant>([discovery, tid] { return discovery->discover(tid); },
                    [tid, epoch](SessionController& self, Outcome<Tenant> outcome) {
                        // A failure keeps the cached record in use; after a sign-out the
                        // answer must not bring the cleared cache back.
                        if (!outcome.value || self.epoch_ != epoch) {
                            return;
                        }
                        const Tenant& fresh = *outcome.value;
                        self.c_.cache->store(fresh, tid);
                        const auto& phase = self.phase_;
                        if (phase.kind() != Phase::Kind::signedIn ||
                            phase.session()->tenantId != tid || *phase.tenant() == fresh) {
                            return;
                        }
                        self.setPhase(Phase::signedIn(*phase.session(), fresh));
                        self.log_.info("Tenant record updated mid-session: {}", fresh.clientName);
                    });
}

void SessionController::fetchBranding(const Tenant& tenant,
                                      std::function<void(SessionController&)> then) {
    auto client = makeClient(tenant);
    offMain<KavoAPIClient::BrandingResponse>(
        [client] { return client.branding(); },
        [then = std::move(then)](SessionController& self,
                                 Outcome<KavoAPIClient::BrandingResponse> outcome) {
            if (outcome.value) {
                self.setBranding(std::move(*outcome.value));
            } else {
                self.log_.debug("Branding fetch failed: {}", describe(outcome.error));
            }
            if (then) {
                then(self);
            }
        });
}

void SessionController::signOut() {
    ++epoch_;
    // The worker is serial, so a sign-in started after this sees the account gone.
    auto auth = c_.auth;
    c_.worker->post([auth] { auth->signOut(); });
    c_.cacheDefaults->remove(TenantDiscoveryCache::kDefaultsKey);
    reconcileTimer_.cancel();
    reconcileTimer_ = TimerHandle();
    c_.ledger->clear();
    setBranding(std::nullopt);
    setSignInError(std::nullopt);
    setUpload(UploadStatus::idle());
    setRecentCaptures({});
    setPhase(Phase::signedOut());
}

void SessionController::retryDiscovery() {
    if (phase_.kind() != Phase::Kind::discoveryUnavailable) {
        return;
    }
    establish(*phase_.session());
}

void SessionController::captureFinished(const CaptureArtifacts& artifacts) {
    refreshRecentCaptures();
    if (phase_.kind() != Phase::Kind::signedIn) {
        log_.notice("Capture finished while signed out; leaving it on disk");
        setUpload(UploadStatus::failed(kSignInToUploadText));
        return;
    }
    std::weak_ptr<SessionController> weak = weak_from_this();
    Scheduler* main = c_.main;
    auto onStatus = [weak, main](const UploadStatus& status) {
        main->post([weak, status] {
            auto self = weak.lock();
            if (!self) {
                return;
            }
            self->setUpload(status);
            // The list follows the upload's stages, not its byte count.
            if (!(status.kind() == UploadStatus::Kind::uploading && status.fraction())) {
                self->refreshRecentCaptures();
            }
        });
    };
    c_.queue->enqueue([client = makeClient(*phase_.tenant()), transport = c_.transport,
                       store = c_.stagedBlockStore, clock = c_.clock, timing = c_.uploadTiming,
                       onStatus, artifacts](std::stop_token stop) {
        BlockBlobUploader uploader(*transport, *store, kUploadBlockSize, kUploadMaxConcurrentBlocks,
                                   *clock);
        UploadCoordinator coordinator(client, uploader, *clock, timing.pollInterval,
                                      timing.pollMaxAttempts, timing.stallWatchdogInterval,
                                      onStatus);
        coordinator.run(artifacts, stop);
    });
}

void SessionController::refreshRecentCaptures() {
    setRecentCaptures(
        c_.recentCaptureStore->recent(kRecentCaptureLimit, c_.ledger->hiddenCaptureIds()));
}

void SessionController::startReconcileTimer() {
    if (!c_.reconcileInterval) {
        return;
    }
    reconcileTimer_.cancel();
    const Duration interval = *c_.reconcileInterval;
    std::weak_ptr<SessionController> weak = weak_from_this();
    reconcileTimer_ = c_.main->every(interval, interval / 12, [weak] {
        if (auto self = weak.lock()) {
            self->reconcileNow();
        }
    });
}

void SessionController::reconcileNow(std::function<void(Report)> done) {
    auto finish = [&done](Report report) {
        if (done) {
            done(std::move(report));
        }
    };
    if (phase_.kind() != Phase::Kind::signedIn) {
        finish({});
        return;
    }
    if (isCapturing_()) {
        log_.info("Reconcile skipped: a capture is running");
        finish({});
        return;
    }
    ServerDeletionReconciler reconciler(
        [directory = c_.recentCaptureStore->directory()] { return sidecarFilesIn(directory); },
        makeClient(*phase_.tenant()), c_.ledger, kReconcileThreshold, *c_.clock);
    auto box = std::make_shared<ReportBox>();
    std::weak_ptr<SessionController> weak = weak_from_this();
    Scheduler* main = c_.main;
    c_.queue->enqueue([reconciler = std::move(reconciler), box, weak, main,
                       done = std::move(done)](std::stop_token stop) mutable {
        auto report = reconciler.run(stop);
        {
            std::lock_guard guard(box->lock);
            box->report = std::move(report);
        }
        main->post([box, weak, done = std::move(done)] {
            if (auto self = weak.lock()) {
                self->refreshRecentCaptures();
            }
            Report result;
            {
                std::lock_guard guard(box->lock);
                result = box->report;
            }
            if (done) {
                done(std::move(result));
            }
        });
    });
}

std::shared_ptr<ProblemReportForm> SessionController::makeProblemReportForm(const Tenant& tenant) {
    const Clock* clock = c_.clock;
    ProblemReportSubmitter submitter{makeClient(tenant),
                                     {tenant.clientName, tenant.kavoBaseUrl},
                                     c_.supportEnvironment,
                                     [clock] { return clock->now(); },
                                     c_.timeZone};
    std::vector<SupportCapture::SidecarFile> files;
    for (auto& file : c_.recentCaptureStore->sidecarFiles()) {
        files.push_back({std::move(file.url), std::move(file.sidecar), file.createdAt});
    }
    auto capture = SupportCapture::mostRecent(files, c_.ledger->hiddenCaptureIds());
    return ProblemReportForm::create(
        *c_.main, *c_.worker, std::move(capture),
        [submitter = std::move(submitter)](const ProblemReport& report, std::stop_token stop) {
            return submitter.submit(report, stop);
        });
}

KavoAPIClient SessionController::makeClient(const Tenant& tenant) const {
    return KavoAPIClient(tenant.kavoBaseUrl, c_.transport,
                         [auth = c_.auth](std::stop_token stop) { return auth->kavoToken(stop); });
}

void SessionController::setPhase(Phase phase) {
    if (phase_ == phase) {
        return;
    }
    phase_ = std::move(phase);
    notify(Property::phase);
}

void SessionController::setBranding(std::optional<KavoAPIClient::BrandingResponse> branding) {
    if (branding_ == branding) {
        return;
    }
    branding_ = std::move(branding);
    notify(Property::branding);
}

void SessionController::setUpload(UploadStatus status) {
    if (upload_ == status) {
        return;
    }
    upload_ = std::move(status);
    notify(Property::upload);
}

void SessionController::setSignInError(std::optional<std::string> error) {
    if (signInError_ == error) {
        return;
    }
    signInError_ = std::move(error);
    notify(Property::signInError);
}

void SessionController::setRecentCaptures(std::vector<RecentCapture> captures) {
    if (recentCaptures_ == captures) {
        return;
    }
    recentCaptures_ = std::move(captures);
    notify(Property::recentCaptures);
}

void SessionController::notify(Property property) {
    for (const auto& observer : observers_) {
        observer(property);
    }
}

std::string SessionController::describe(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "Unknown error";
    }
}

}  // namespace kavo
