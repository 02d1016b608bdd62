#pragma once

#include <optional>
#include <string>

#include "account/AppSession.h"
#include "account/Tenant.h"

namespace kavo {

// Where the account stands: what the session controller publishes and the menu shows.
// Each kind carries exactly its own payload, so compare phases by value.
class SessionPhase {
public:
    enum class Kind {
        bootstrapping,
        signedOut,
        signingIn,
        signedIn,
        notEntitled,
        tenantNotRegistered,
        discoveryUnavailable
    };

    static SessionPhase bootstrapping();
    static SessionPhase signedOut();
    static SessionPhase signingIn();
    static SessionPhase signedIn(AppSession session, Tenant tenant);
    static SessionPhase notEntitled(AppSession session);
    static SessionPhase tenantNotRegistered(AppSession session);
    // `message` is the discovery error's description.
    static SessionPhase discoveryUnavailable(AppSession session, std::string message);

    Kind kind() const { return kind_; }
    // Present for every kind after sign-in.
    const std::optional<AppSession>& session() const { return session_; }
    // Present for signedIn only.
    const std::optional<Tenant>& tenant() const { return tenant_; }
    // discoveryUnavailable only; empty otherwise.
    const std::string& message() const { return message_; }

    friend bool operator==(const SessionPhase&, const SessionPhase&) = default;

private:
    SessionPhase(Kind kind, std::optional<AppSession> session = std::nullopt,
                 std::optional<Tenant> tenant = std::nullopt, std::string message = {});

    Kind kind_;
    std::optional<AppSession> session_;
    std::optional<Tenant> tenant_;
    std::string message_;
};

}  // namespace kavo
