#include "net/KavoAPIClient.h"

#include <fmt/format.h>

#include <algorithm>
#include <utility>

#include "net/DateParserCascade.h"
#include "net/DecodingError.h"
#include "net/TextExcerpt.h"
#include "net/WireDecoder.h"

namespace kavo {

namespace {

using json = nlohmann::json;

constexpr std::string_view kInitPath = "/api/v1/meetings/uploads/init";
constexpr std::string_view kFinalizePath = "/api/v1/meetings/uploads/finalize";
constexpr std::string_view kRecordingsPath = "/api/v1/meetings/recordings/";
constexpr std::string_view kCurrentUserPath = "/api/me";
constexpr std::string_view kBrandingPath = "/api/branding";
constexpr std::string_view kFeedbackPath = "/api/feedback";

// RFC 3986 path characters: unreserved, sub-delims, ':', '@' and the separator '/'.
bool allowedInPath(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
        return true;
    }
    return std::string_view("-._~!$&'()*+,;=:@/").find(c) != std::string_view::npos;
}

std::string percentEncodedPath(std::string_view path) {
    std::string encoded;
    encoded.reserve(path.size());
    for (const char c : path) {
        if (allowedInPath(c)) {
            encoded += c;
        } else {
            encoded += fmt::format("%{:02X}", static_cast<unsigned char>(c));
        }
    }
    return encoded;
}

// The base URL's path followed by `path`, whatever the base ends with.
std::string appendingPath(std::string_view base, std::string_view path) {
    const auto split = std::min(base.find_first_of("?#"), base.size());
    std::string_view prefix = base.substr(0, split);
    while (!prefix.empty() && prefix.back() == '/') {
        prefix.remove_suffix(1);
    }
    return std::string(prefix) + percentEncodedPath(path) + std::string(base.substr(split));
}

// The path of an absolute URL, for logs; "?" when there is no URL.
std::string urlPath(std::string_view url) {
    if (url.empty()) {
        return "?";
    }
    std::size_t start = 0;
    if (const auto scheme = url.find("://"); scheme != std::string_view::npos) {
        start = std::min(url.find('/', scheme + 3), url.size());
    }
    const auto end = std::min(url.find_first_of("?#", start), url.size());
    return std::string(url.substr(start, end - start));
}

std::string encodedBody(const json& value) {
    // Bad UTF-8 in a caller's string (a meeting title) must not sink the call.
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

template <typename T>
void putOptional(json& object, const char* key, const std::optional<T>& value) {
    if (value) {
        object[key] = *value;
    }
}

void putOptionalDate(json& object, const char* key, const std::optional<WallTime>& value) {
    if (value) {
        object[key] = DateParserCascade::internetDateTime(*value);
    }
}

json encode(const KavoAPIClient::InitUploadRequest& request) {
    return json{{"filename", request.filename},
                {"content_type", request.contentType},
                {"size_bytes", request.sizeBytes}};
}

json encode(const KavoAPIClient::ExpectedSpeaker& speaker) {
    json object{{"name", speaker.name}};
    putOptional(object, "email", speaker.email);
    putOptional(object, "role", speaker.role);
    putOptional(object, "accepted", speaker.accepted);
    return object;
}

json encode(const KavoAPIClient::FinalizeUploadRequest& request) {
    json object{
        {"recording_id", request.recordingId},
        {"captureMode", request.captureMode},
        {"pausedDurationSeconds", request.pausedDurationSeconds},
        {"capturedAt", DateParserCascade::internetDateTime(request.capturedAt)},
        {"audioProfile", request.audioProfile},
        {"sampleRateHz", request.sampleRateHz},
        {"channels", request.channels},
        {"bitRateKbps", request.bitRateKbps},
        {"shareWithAttendees", request.shareWithAttendees},
    };
    putOptional(object, "durationSeconds", request.durationSeconds);
    putOptionalDate(object, "capturedUntil", request.capturedUntil);
    putOptional(object, "fileSizeBytes", request.fileSizeBytes);
    putOptional(object, "meetingTitle", request.meetingTitle);
    putOptionalDate(object, "meetingStartTime", request.meetingStartTime);
    putOptionalDate(object, "meetingEndTime", request.meetingEndTime);
    putOptional(object, "graphEventId", request.graphEventId);
    putOptional(object, "organizerEmail", request.organizerEmail);
    json speakers = json::array();
    for (const auto& speaker : request.expectedSpeakers) {
        speakers.push_back(encode(speaker));
    }
    object["expectedSpeakers"] = std::move(speakers);
    return object;
}

json encode(const KavoAPIClient::FeedbackRequest& request) {
    json diagnostics = json::object();
    for (const auto& [key, value] : request.diagnostics) {
        diagnostics[key] = value.toJSON();
    }
    json object{
        {"category", KavoAPIClient::rawValue(request.category)},
        {"subject", request.subject},
        {"description", request.description},
        {"include_recording", request.includeRecording},
        {"diagnostics", std::move(diagnostics)},
    };
    putOptional(object, "recording_id", request.recordingId);
    return object;
}

KavoAPIClient::InitUploadResponse decodeInitUpload(const json& body) {
    const WireDecoder object(body, "kavo::KavoAPIClient::InitUploadResponse");
    return {
        object.required<std::string>("recording_id"),
        object.required<std::string>("upload_url"),
        object.required<std::string>("blob_path"),
    };
}

KavoAPIClient::FinalizeUploadResponse decodeFinalizeUpload(const json& body) {
    const WireDecoder object(body, "kavo::KavoAPIClient::FinalizeUploadResponse");
    return {object.required<std::string>("recording_id"), object.required<std::string>("state")};
}

KavoAPIClient::RecordingStatusResponse decodeRecordingStatus(const json& body) {
    const WireDecoder object(body, "kavo::KavoAPIClient::RecordingStatusResponse");
    return {
        object.optional<std::string>("id"),
        object.optional<std::string>("recording_id"),
        object.required<std::string>("state"),
        object.optional<std::string>("error_message"),
        object.optional<WallTime>("delivered_at"),
        object.optional<std::string>("kavo_job_id"),
        object.optional<std::string>("meeting_title"),
        object.optional<bool>("is_owner"),
        object.optional<std::string>("effective_permission"),
    };
}

KavoAPIClient::CurrentUserResponse decodeCurrentUser(const json& body) {
    const WireDecoder object(body, "kavo::KavoAPIClient::CurrentUserResponse");
    return {
        object.required<std::string>("id"),       object.required<std::string>("email"),
        object.required<std::string>("name"),     object.required<bool>("is_admin"),
        object.required<bool>("meetings_access"),
    };
}

KavoAPIClient::BrandingResponse decodeBranding(const json& body) {
    const WireDecoder object(body, "kavo::KavoAPIClient::BrandingResponse");
    return {
        object.optional<std::string>("app_name"),
        object.optional<std::string>("primary_logo_dark_url"),
        object.optional<std::string>("primary_logo_light_url"),
        object.optional<std::string>("secondary_logo_dark_url"),
        object.optional<std::string>("secondary_logo_light_url"),
        object.optional<std::string>("primary_color"),
        object.optional<bool>("meetings_enabled"),
        object.optional<bool>("live_artifacts_enabled"),
        object.optional<bool>("sharing_enabled"),
        object.optional<bool>("sharing_meetings_enabled"),
    };
}

KavoAPIClient::FeedbackTicketResponse decodeFeedbackTicket(const json& body) {
    const WireDecoder object(body, "kavo::KavoAPIClient::FeedbackTicketResponse");
    return {
        object.required<std::string>("id"),      object.optional<std::string>("category"),
        object.optional<std::string>("subject"), object.optional<std::string>("status"),
        object.optional<WallTime>("created_at"),
    };
}

bool lengthWithin(std::string_view text, std::size_t minimum, std::size_t maximum) {
    const std::size_t length = unicodeScalarCount(text);
    return length >= minimum && length <= maximum;
}

}  // namespace

KavoAPIClient::KavoAPIClient(std::string baseURL, std::shared_ptr<HTTPTransport> transport,
                             TokenProvider tokenProvider)
    : baseURL_(std::move(baseURL)),
      transport_(std::move(transport)),
      tokenProvider_(std::move(tokenProvider)) {}

std::string_view KavoAPIClient::rawValue(FeedbackCategory category) {
    switch (category) {
        case FeedbackCategory::bug:
            return "bug";
        case FeedbackCategory::question:
            break;
    }
    return "question";
}

std::optional<KavoAPIClient::FeedbackCategory> KavoAPIClient::feedbackCategory(
    std::string_view raw) {
    for (const FeedbackCategory category : kAllFeedbackCategories) {
        if (rawValue(category) == raw) {
            return category;
        }
    }
    return std::nullopt;
}

HTTPRequest KavoAPIClient::makeRequest(std::string_view method, std::string_view path,
                                       std::optional<std::string> body) const {
    HTTPRequest request;
    request.method = std::string(method);
    request.url = appendingPath(baseURL_, path);
    request.timeout = kRequestTimeout;
    request.connectTimeout = kRequestTimeout;
    // Reads may be sent again; a POST could create a second upload or ticket.
    request.idempotent = method == "GET";
    if (body) {
        request.headers.set("Content-Type", "application/json");
        request.body = std::move(*body);
    }
    request.headers.set("Accept", "application/json");
    return request;
}

template <typename Result>
Result KavoAPIClient::perform(HTTPRequest request, Auth auth, std::stop_token stop,
                              Result (*decode)(const nlohmann::json&)) const {
    if (auth == Auth::bearer) {
        request.headers.set("Authorization", "Bearer " + tokenProvider_(stop));
    }
    const HTTPResponse response = transport_->data(request, stop);
    if (response.status < 200 || response.status > 299) {
        std::string bodyText = utf8OrEmpty(response.body);
        if (response.status == 403) {
            throw KavoAPIError::forbidden(std::move(bodyText));
        }
        throw KavoAPIError::http(response.status, std::move(bodyText));
    }
    try {
        return decode(WireDecoder::parse(response.body));
    } catch (const std::exception& error) {
        std::string text = describeDecodingError(error, response.body);
        log_.error("Decode failure on {}: {}", urlPath(request.url), text);
        throw KavoAPIError::decoding(std::move(text));
    }
}

KavoAPIClient::InitUploadResponse KavoAPIClient::initUpload(const InitUploadRequest& request,
                                                            std::stop_token stop) const {
    if (request.sizeBytes < 1) {
        throw KavoAPIError::invalidRequest(fmt::format(
            "Recording file is empty (size_bytes = {}); the server rejects this with HTTP 422.",
            request.sizeBytes));
    }
    if (request.sizeBytes > kMaxUploadBytes) {
        throw KavoAPIError::invalidRequest(
            fmt::format("Recording file is {} bytes, over the {} byte server limit.",
                        request.sizeBytes, kMaxUploadBytes));
    }
    return perform(makeRequest("POST", kInitPath, encodedBody(encode(request))), Auth::bearer, stop,
                   &decodeInitUpload);
}

KavoAPIClient::FinalizeOutcome KavoAPIClient::finalizeUpload(const FinalizeUploadRequest& request,
                                                             std::stop_token stop) const {
    try {
        const auto response =
            perform(makeRequest("POST", kFinalizePath, encodedBody(encode(request))), Auth::bearer,
                    stop, &decodeFinalizeUpload);
        return FinalizeOutcome::finalized(response.recordingId, response.state);
    } catch (const KavoAPIError& error) {
        if (error.kind() != KavoAPIError::Kind::http || error.status() != 409) {
            throw;
        }
        // A retried finalize whose first attempt reached the server: confirm, don't fail.
        log_.notice("Finalize returned 409 for {}; confirming via GET /recordings. Body: {}",
                    request.recordingId, error.payload());
    }
    const RecordingStatusResponse status = recordingStatus(request.recordingId, stop);
    std::string recordingId = status.id ? *status.id : status.recordingId.value_or("");
    if (recordingId.empty()) {
        recordingId = request.recordingId;
    }
    return FinalizeOutcome::alreadyFinalized(std::move(recordingId), status.state);
}

KavoAPIClient::RecordingStatusResponse KavoAPIClient::recordingStatus(
    const std::string& recordingId, std::stop_token stop) const {
    return perform(makeRequest("GET", std::string(kRecordingsPath) + recordingId, std::nullopt),
                   Auth::bearer, stop, &decodeRecordingStatus);
}

KavoAPIClient::CurrentUserResponse KavoAPIClient::currentUser(std::stop_token stop) const {
    return perform(makeRequest("GET", kCurrentUserPath, std::nullopt), Auth::bearer, stop,
                   &decodeCurrentUser);
}

KavoAPIClient::BrandingResponse KavoAPIClient::branding(std::stop_token stop) const {
    return perform(makeRequest("GET", kBrandingPath, std::nullopt), Auth::none, stop,
                   &decodeBranding);
}

KavoAPIClient::FeedbackTicketResponse KavoAPIClient::submitFeedback(const FeedbackRequest& request,
                                                                    std::stop_token stop) const {
    if (!lengthWithin(request.subject, 5, 255)) {
        throw KavoAPIError::invalidRequest(
            "Subject must be between 5 and 255 characters; the server rejects anything else with "
            "HTTP 422.");
    }
    if (!lengthWithin(request.description, 10, 10000)) {
        throw KavoAPIError::invalidRequest(
            "Description must be between 10 and 10000 characters; the server rejects anything else "
            "with HTTP 422.");
    }
    if (request.diagnostics.empty()) {
        throw KavoAPIError::invalidRequest(
            "Support report carries no diagnostics; a ticket without them cannot answer the "
            "question it was filed "
            "about.");
    }
    return perform(makeRequest("POST", kFeedbackPath, encodedBody(encode(request))), Auth::bearer,
                   stop, &decodeFeedbackTicket);
}

std::string KavoAPIClient::describeDecodingError(const std::exception& error,
                                                 std::string_view body) {
    const std::string excerpt = textExcerpt(utf8OrEmpty(body), 300);
    const auto* decodingError = dynamic_cast<const DecodingError*>(&error);
    if (decodingError == nullptr) {
        return fmt::format("{}. Body: {}", error.what(), excerpt);
    }
    const std::string path = codingPathText(decodingError->codingPath());
    switch (decodingError->kind()) {
        case DecodingError::Kind::typeMismatch:
            return fmt::format("Type mismatch (expected {}) at {} \u2014 {}. Body: {}",
                               decodingError->expectedType(), path,
                               decodingError->debugDescription(), excerpt);
        case DecodingError::Kind::valueNotFound:
            return fmt::format("Missing {} value at {}. Body: {}", decodingError->expectedType(),
                               path, excerpt);
        case DecodingError::Kind::keyNotFound:
            return fmt::format("Missing key '{}' at {}. Body: {}", decodingError->key().stringValue,
                               path, excerpt);
        case DecodingError::Kind::dataCorrupted:
            break;
    }
    return fmt::format("Data corrupted at {} \u2014 {}. Body: {}", path,
                       decodingError->debugDescription(), excerpt);
}

}  // namespace kavo
