#pragma once

// Header-only: it builds core types, so only tests that link the core include it.

#include <optional>
#include <string>
#include <utility>

#include "account/AppSession.h"
#include "capture/RecentCapture.h"
#include "capture/files/SidecarTimestamp.h"

namespace kavo::testing {

// The signed-in user the menu tests show.
inline AppSession avery() {
    AppSession session;
    session.tenantId = "tid-contoso";
    session.email = "avery.quinn@contoso.test";
    session.givenName = "Avery";
    return session;
}

// A recent capture as the menu lists it, started at an ISO-8601 UTC time.
inline RecentCapture captureAt(const char* startedAt, double seconds,
                               std::optional<std::string> recordingId,
                               std::optional<std::string> uploadState) {
    return RecentCapture{"cap", *SidecarTimestamp::parse(startedAt), seconds,
                         std::move(recordingId), std::move(uploadState)};
}

}  // namespace kavo::testing
