#pragma once

#include <exception>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>

#include "base/Clock.h"
#include "base/Log.h"
#include "net/JSONValue.h"
#include "net/KavoAPIClient.h"
#include "support/ProblemReport.h"
#include "support/SupportEnvironment.h"

namespace kavo {

// Files problem reports with the tenant's Kavo server, adding the diagnostics support
// needs to answer them: who sent it from what, when, for which tenant, and the sidecar
// of the recording the user attached.
struct ProblemReportSubmitter {
    // The part of the signed-in tenant's record a report names.
    struct Tenant {
        std::string clientName;
        std::string kavoBaseUrl;
        bool operator==(const Tenant&) const = default;
    };

    KavoAPIClient api;
    Tenant tenant;
    SupportEnvironment environment;
    std::function<WallTime()> now;
    // IANA identifier of the user's time zone.
    std::string timeZone;

    // Returns the ticket's reference. Throws what KavoAPIClient::submitFeedback throws.
    std::string submit(const ProblemReport& report, std::stop_token stop = {}) const;

    // The request submit() sends, diagnostics dated `at`.
    KavoAPIClient::FeedbackRequest request(const ProblemReport& report, WallTime at) const;
    // The ten keys: client, appVersion, appBuild, os, deviceModel, arch, timestamp,
    // timezone, tenant and capture.
    JSONValue::Object diagnostics(const ProblemReport& report, WallTime at) const;

    // What the report window says when filing failed with `error`.
    static std::string userMessage(const std::exception_ptr& error);

    // The host of `url` as written (percent-encoded), nothing when it has none.
    static std::optional<std::string> hostOf(std::string_view url);
};

}  // namespace kavo
