#include "support/ProblemReportSubmitter.h"

#include <fmt/format.h>

#include "capture/files/SidecarTimestamp.h"
#include "net/TextExcerpt.h"
#include "net/UrlText.h"

namespace kavo {

namespace {

const Logger& diagnosticsLog() {
    static const Logger log{"SupportDiagnostics"};
    return log;
}

JSONValue sidecarValue(const CaptureSidecar& sidecar) {
    try {
        return JSONValue::fromJSON(nlohmann::json::parse(sidecar.encode()));
    } catch (const std::exception& error) {
        diagnosticsLog().error("Could not encode sidecar for support report: {}", error.what());
        return nullptr;
    }
}

}  // namespace

std::string ProblemReportSubmitter::submit(const ProblemReport& report,
                                           std::stop_token stop) const {
    return api.submitFeedback(request(report, now()), stop).id;
}

KavoAPIClient::FeedbackRequest ProblemReportSubmitter::request(const ProblemReport& report,
                                                               WallTime at) const {
    std::optional<std::string> recordingId;
    if (report.capture && report.capture->sidecar.recordingId) {
        std::string trimmed(trimmedWhitespace(*report.capture->sidecar.recordingId));
        if (!trimmed.empty()) {
            recordingId = std::move(trimmed);
        }
    }
    const bool includeRecording = recordingId.has_value();
    return KavoAPIClient::FeedbackRequest{
        .category = report.category,
        .subject = std::string(trimmedWhitespace(report.subject)),
        .description = std::string(trimmedWhitespace(report.problemDescription)),
        .recordingId = std::move(recordingId),
        .includeRecording = includeRecording,
        .diagnostics = diagnostics(report, at),
    };
}

JSONValue::Object ProblemReportSubmitter::diagnostics(const ProblemReport& report,
                                                      WallTime at) const {
    const std::optional<std::string> host = hostOf(tenant.kavoBaseUrl);
    return JSONValue::Object{
        {"client", environment.client},
        {"appVersion", environment.appVersion},
        {"appBuild", environment.appBuild},
        {"os", environment.osVersion},
        {"deviceModel", environment.deviceModel},
        {"arch", environment.arch},
        {"timestamp", SidecarTimestamp::format(at)},
        {"timezone", timeZone},
        {"tenant", JSONValue::Object{{"clientName", tenant.clientName},
                                     {"host", host ? JSONValue(*host) : JSONValue(nullptr)}}},
        {"capture", report.capture ? sidecarValue(report.capture->sidecar) : JSONValue(nullptr)},
    };
}

std::string ProblemReportSubmitter::userMessage(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const KavoAPIError& apiError) {
        switch (apiError.kind()) {
            case KavoAPIError::Kind::invalidRequest:
                return apiError.payload();
            case KavoAPIError::Kind::http:
                switch (apiError.status()) {
                    case 503:
                        return "Support ticketing is unavailable on this deployment right now. Try "
                               "again later.";
                    case 422:
                        return "The server rejected this report. Shorten the subject or the "
                               "description and send it "
                               "again.";
                    case 401:
                        return "Your sign-in has expired. Sign out and back in, then send this "
                               "again.";
                    default:
                        return fmt::format(
                            "Could not send the report (HTTP {}). Your text is still here; try "
                            "again.",
                            apiError.status());
                }
            case KavoAPIError::Kind::forbidden:
                return "This account is not allowed to file support reports.";
            case KavoAPIError::Kind::decoding:
                return "The report may have been filed, but the reply could not be read. Check "
                       "with support before "
                       "sending it again.";
            case KavoAPIError::Kind::invalidResponse:
                return "The server sent a reply this app could not read. Try again shortly.";
        }
        return fmt::format("Could not send the report: {}", apiError.what());
    } catch (const std::exception& other) {
        return fmt::format("Could not send the report: {}", other.what());
    } catch (...) {
        return "Could not send the report: unknown error";
    }
}

std::optional<std::string> ProblemReportSubmitter::hostOf(std::string_view url) {
    const auto parsed = UrlText::parse(url);
    if (!parsed) {
        return std::nullopt;
    }
    const std::string& text = parsed->beforeQuery;
    const auto separator = text.find("://");
    if (separator == std::string::npos) {
        return std::nullopt;
    }
    std::string authority =
        text.substr(separator + 3, text.find('/', separator + 3) - (separator + 3));
    if (const auto at = authority.rfind('@'); at != std::string::npos) {
        authority.erase(0, at + 1);
    }
    std::string host;
    if (authority.starts_with('[')) {
        const auto close = authority.find(']');
        host = close == std::string::npos ? std::string() : authority.substr(1, close - 1);
    } else {
        host = authority.substr(0, authority.find(':'));
    }
    if (host.empty()) {
        return std::nullopt;
    }
    return host;
}

}  // namespace kavo
