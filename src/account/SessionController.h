#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "account/AuthService.h"
#include "account/ReconcileLedger.h"
#include "account/SessionPhase.h"
#include "account/Tenant.h"
#include "account/TenantDiscoveryCache.h"
#include "account/TenantDiscoveryService.h"
#include "base/Clock.h"
#include "base/Defaults.h"
#include "base/Log.h"
#include "base/Scheduler.h"
#include "capture/RecentCaptureStore.h"
#include "net/HTTPTransport.h"
#include "net/KavoAPIClient.h"
#include "support/ProblemReportForm.h"
#include "support/SupportEnvironment.h"

namespace kavo {

// The application's one coordinator of the account: signs in (silently or not), finds
// the tenant's deployment and checks meetings access. A remembered account stays signed
// in while the identity platform or the server cannot be reached; only no account, or
// one the platform refuses, is signed out. Lives on the main scheduler: every public call
// is made there and every change is announced there. Blocking calls (sign-in, discovery,
// the Kavo API) run on the worker scheduler.
class SessionController : public std::enable_shared_from_this<SessionController> {
public:
    using Phase = SessionPhase;

    enum class Property { phase, branding, signInError };
    using Observer = std::function<void(Property)>;

    struct Collaborators {
        std::shared_ptr<AuthService> auth;
        std::shared_ptr<TenantDiscoveryService> discovery;
        std::shared_ptr<TenantDiscoveryCache> cache;
        // The store the cache lives in; sign-out removes the cache's entry from it.
        std::shared_ptr<Defaults> cacheDefaults;
        // Shared by every API client the controller builds.
        std::shared_ptr<HTTPTransport> transport;
        // The captures a problem report describes; sign-out forgets what the ledger hid.
        std::shared_ptr<RecentCaptureStore> recentCaptureStore;
        std::shared_ptr<ReconcileLedger> ledger;
        const Clock* clock = nullptr;
        Scheduler* main = nullptr;
        Scheduler* worker = nullptr;
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
    const std::optional<std::string>& signInError() const { return signInError_; }

    // Told the property that changed, on the main scheduler, only when its value changed.
    void observe(Observer observer);

    // The launch sequence; called once right after creation.
    void bootstrap();
    void signIn();
    void signOut();
    // "Try Again": only acts while discovery is unavailable.
    void retryDiscovery();
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
    KavoAPIClient makeClient(const Tenant& tenant) const;

    void setPhase(Phase phase);
    void setBranding(std::optional<KavoAPIClient::BrandingResponse> branding);
    void setSignInError(std::optional<std::string> error);
    void notify(Property property);

    Collaborators c_;
    Phase phase_ = Phase::bootstrapping();
    std::optional<KavoAPIClient::BrandingResponse> branding_;
    std::optional<std::string> signInError_;
    std::vector<Observer> observers_;
    // Bumped by every sign-in attempt and sign-out, so that answers to an abandoned
    // attempt change nothing.
    std::uint64_t epoch_ = 0;
    Logger log_{"SessionController"};
};

}  // namespace kavo
