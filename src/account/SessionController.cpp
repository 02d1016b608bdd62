#include "account/SessionController.h"

#include <utility>

#include "account/AuthError.h"
#include "account/TenantDiscoveryError.h"
#include "base/Error.h"
#include "support/ProblemReportSubmitter.h"
#include "support/SupportCapture.h"

namespace kavo {

std::shared_ptr<SessionController> SessionController::create(Collaborators collaborators) {
    return std::make_shared<SessionController>(PrivateTag{}, std::move(collaborators));
}

SessionController::SessionController(PrivateTag, Collaborators collaborators)
    : c_(std::move(collaborators)) {}

void SessionController::observe(Observer observer) {
    observers_.push_back(std::move(observer));
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
    offMain<bool>(
        [client] { return client.currentUser().meetingsAccess; },
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
            // A background refresh may have found a newer record meanwhile.
            const Tenant current = self.c_.cache->tenant(session.tenantId).value_or(tenant);
            if (current != tenant)
                self.log_.info("Tenant record updated before sign-in finished: {}",
                               current.clientName);
            self.setPhase(Phase::signedIn(session, current));
            self.fetchBranding(current, [session, current](SessionController& me) {
                me.log_.info("Signed in: tenant={} user={}", current.clientName, session.givenName);
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
    c_.ledger->clear();
    setBranding(std::nullopt);
    setSignInError(std::nullopt);
    setPhase(Phase::signedOut());
}

void SessionController::retryDiscovery() {
    if (phase_.kind() != Phase::Kind::discoveryUnavailable) {
        return;
    }
    establish(*phase_.session());
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

void SessionController::setSignInError(std::optional<std::string> error) {
    if (signInError_ == error) {
        return;
    }
    signInError_ = std::move(error);
    notify(Property::signInError);
}

void SessionController::notify(Property property) {
    for (const auto& observer : observers_) {
        observer(property);
    }
}

}  // namespace kavo
