#include "account/SessionPhase.h"

#include <utility>

namespace kavo {

SessionPhase::SessionPhase(Kind kind, std::optional<AppSession> session,
                           std::optional<Tenant> tenant, std::string message)
    : kind_(kind),
      session_(std::move(session)),
      tenant_(std::move(tenant)),
      message_(std::move(message)) {}

SessionPhase SessionPhase::bootstrapping() {
    return SessionPhase{Kind::bootstrapping};
}
SessionPhase SessionPhase::signedOut() {
    return SessionPhase{Kind::signedOut};
}
SessionPhase SessionPhase::signingIn() {
    return SessionPhase{Kind::signingIn};
}
SessionPhase SessionPhase::signedIn(AppSession session, Tenant tenant) {
    return SessionPhase{Kind::signedIn, std::move(session), std::move(tenant)};
}
SessionPhase SessionPhase::notEntitled(AppSession session) {
    return SessionPhase{Kind::notEntitled, std::move(session)};
}
SessionPhase SessionPhase::tenantNotRegistered(AppSession session) {
    return SessionPhase{Kind::tenantNotRegistered, std::move(session)};
}
SessionPhase SessionPhase::discoveryUnavailable(AppSession session, std::string message) {
    return SessionPhase{Kind::discoveryUnavailable, std::move(session), std::nullopt,
                        std::move(message)};
}

}  // namespace kavo
