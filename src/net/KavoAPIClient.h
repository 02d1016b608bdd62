#pragma once

#include <array>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "base/Clock.h"
#include "base/Log.h"
#include "net/HTTPTransport.h"
#include "net/JSONValue.h"
#include "net/KavoAPIError.h"

namespace kavo {

// The client of one tenant's Kavo server: builds every request, maps status codes to
// KavoAPIError and decodes the answers. It keeps no state between calls, so copies may be
// used from any thread at once. Every operation blocks its caller and throws: the token
// provider's error, TransportError (cancellation through `stop` included), or
// KavoAPIError.
class KavoAPIClient {
public:
    // A fresh access token for the Kavo API, asked for right before each authenticated
    // request is sent.
    using TokenProvider = std::function<std::string(std::stop_token)>;

    struct InitUploadRequest {
        std::string filename;
        std::string contentType;
        std::int64_t sizeBytes = 0;
        bool operator==(const InitUploadRequest&) const = default;
    };

    struct InitUploadResponse {
        std::string recordingId;
        // Storage URL carrying a shared-access signature.
        std::string uploadURL;
        std::string blobPath;
        bool operator==(const InitUploadResponse&) const = default;
    };

    struct ExpectedSpeaker {
        std::string name;
        std::optional<std::string> email;
        std::optional<std::string> role;
        std::optional<bool> accepted;
        bool operator==(const ExpectedSpeaker&) const = default;
    };

    // Sent in camelCase, except "recording_id".
    struct FinalizeUploadRequest {
        std::string recordingId;
        std::string captureMode;
        std::optional<int> durationSeconds;
        int pausedDurationSeconds = 0;
        WallTime capturedAt;
        std::optional<WallTime> capturedUntil;
        std::string audioProfile;
        int sampleRateHz = 0;
        int channels = 0;
        int bitRateKbps = 0;
        std::optional<std::int64_t> fileSizeBytes;
        std::optional<std::string> meetingTitle;
        std::optional<WallTime> meetingStartTime;
        std::optional<WallTime> meetingEndTime;
        std::optional<std::string> graphEventId;
        std::optional<std::string> organizerEmail;
        std::vector<ExpectedSpeaker> expectedSpeakers;
        bool shareWithAttendees = false;
        bool operator==(const FinalizeUploadRequest&) const = default;
    };

    struct FinalizeUploadResponse {
        std::string recordingId;
        std::string state;
        bool operator==(const FinalizeUploadResponse&) const = default;
    };

    struct FinalizeOutcome {
        enum class Kind {
            finalized,         // the server accepted the finalize call
            alreadyFinalized,  // it answered 409 and a status read confirmed the recording
        };
        Kind kind = Kind::finalized;
        std::string recordingId;
        std::string state;

        static FinalizeOutcome finalized(std::string recordingId, std::string state) {
            return {Kind::finalized, std::move(recordingId), std::move(state)};
        }
        static FinalizeOutcome alreadyFinalized(std::string recordingId, std::string state) {
            return {Kind::alreadyFinalized, std::move(recordingId), std::move(state)};
        }
        bool operator==(const FinalizeOutcome&) const = default;
    };

    // The states the application reads are "PROCESSING", "DELIVERED" and "FAILED"; any
    // other is passed through.
    struct RecordingStatusResponse {
        std::optional<std::string> id;
        std::optional<std::string> recordingId;
        std::string state;
        std::optional<std::string> errorMessage;
        std::optional<WallTime> deliveredAt;
        std::optional<std::string> kavoJobId;
        std::optional<std::string> meetingTitle;
        std::optional<bool> isOwner;
        std::optional<std::string> effectivePermission;
        bool operator==(const RecordingStatusResponse&) const = default;
    };

    struct CurrentUserResponse {
        std::string id;
        std::string email;
        std::string name;
        bool isAdmin = false;
        bool meetingsAccess = false;
        bool operator==(const CurrentUserResponse&) const = default;
    };

    struct BrandingResponse {
        std::optional<std::string> appName;
        std::optional<std::string> primaryLogoDarkURL;
        std::optional<std::string> primaryLogoLightURL;
        std::optional<std::string> secondaryLogoDarkURL;
        std::optional<std::string> secondaryLogoLightURL;
        std::optional<std::string> primaryColor;
        std::optional<bool> meetingsEnabled;
        std::optional<bool> liveArtifactsEnabled;
        std::optional<bool> sharingEnabled;
        std::optional<bool> sharingMeetingsEnabled;
        bool operator==(const BrandingResponse&) const = default;
    };

    enum class FeedbackCategory { bug, question };
    static constexpr std::array<FeedbackCategory, 2> kAllFeedbackCategories{
        FeedbackCategory::bug, FeedbackCategory::question};
    // "bug", "question": the value sent.
    static std::string_view rawValue(FeedbackCategory category);
    static std::optional<FeedbackCategory> feedbackCategory(std::string_view rawValue);

    struct FeedbackRequest {
        FeedbackCategory category = FeedbackCategory::bug;
        std::string subject;
        std::string description;
        std::optional<std::string> recordingId;
        bool includeRecording = false;
        JSONValue::Object diagnostics;
        bool operator==(const FeedbackRequest&) const = default;
    };

    struct FeedbackTicketResponse {
        std::string id;
        std::optional<std::string> category;
        std::optional<std::string> subject;
        std::optional<std::string> status;
        std::optional<WallTime> createdAt;
        bool operator==(const FeedbackTicketResponse&) const = default;
    };

    // Every request's time-out.
    static constexpr std::chrono::seconds kRequestTimeout{15};
    // The server's own limits, checked before sending.
    static constexpr std::int64_t kMaxUploadBytes = std::int64_t{2147483648};

    KavoAPIClient(std::string baseURL, std::shared_ptr<HTTPTransport> transport,
                  TokenProvider tokenProvider);

    // POST /api/v1/meetings/uploads/init. Refuses an empty file or one over 2 GiB
    // without sending anything.
    InitUploadResponse initUpload(const InitUploadRequest& request,
                                  std::stop_token stop = {}) const;
    // POST /api/v1/meetings/uploads/finalize. A 409 is confirmed with a status read.
    FinalizeOutcome finalizeUpload(const FinalizeUploadRequest& request,
                                   std::stop_token stop = {}) const;
    // GET /api/v1/meetings/recordings/{recordingId}
    RecordingStatusResponse recordingStatus(const std::string& recordingId,
                                            std::stop_token stop = {}) const;
    // GET /api/me
    CurrentUserResponse currentUser(std::stop_token stop = {}) const;
    // GET /api/branding, without a token.
    BrandingResponse branding(std::stop_token stop = {}) const;
    // POST /api/feedback. Refuses a subject, description or diagnostics the server would.
    FeedbackTicketResponse submitFeedback(const FeedbackRequest& request,
                                          std::stop_token stop = {}) const;

    const std::string& baseURL() const { return baseURL_; }

    // The text that explains why a 2xx body did not decode, with an excerpt of the body.
    static std::string describeDecodingError(const std::exception& error, std::string_view body);

private:
    enum class Auth { bearer, none };

    HTTPRequest makeRequest(std::string_view method, std::string_view path,
                            std::optional<std::string> body) const;
    // Sends, maps a non-2xx status to KavoAPIError and decodes a 2xx body with `decode`.
    template <typename Result>
    Result perform(HTTPRequest request, Auth auth, std::stop_token stop,
                   Result (*decode)(const nlohmann::json&)) const;

    std::string baseURL_;
    std::shared_ptr<HTTPTransport> transport_;
    TokenProvider tokenProvider_;
    Logger log_{"KavoAPIClient"};
};

}  // namespace kavo
