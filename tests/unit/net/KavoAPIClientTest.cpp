#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "base/Log.h"
#include "net/KavoAPIClient.h"
#include "support/RecordingTransport.h"

namespace kavo {
namespace {

// A client of "https://kavo.example.com/tenant" over a recording transport; each token
// it hands out is numbered so a test can tell the calls apart.
class ClientTest : public ::testing::Test {
protected:
    std::shared_ptr<testing::RecordingTransport> transport =
        std::make_shared<testing::RecordingTransport>();
    int tokenCalls = 0;
    KavoAPIClient client{"https://kavo.example.com/tenant", transport, [this](std::stop_token) {
                             ++tokenCalls;
                             return "token-" + std::to_string(tokenCalls);
                         }};

    HTTPRequest onlyRequest() const {
        const auto requests = transport->requests();
        EXPECT_EQ(requests.size(), 1U);
        return requests.empty() ? HTTPRequest{} : requests.front();
    }

    static nlohmann::json bodyOf(const HTTPRequest& request) {
        return nlohmann::json::parse(request.body);
    }
};

inline KavoAPIClient::FeedbackRequest validFeedback() {
    KavoAPIClient::FeedbackRequest request;
    request.category = KavoAPIClient::FeedbackCategory::bug;
    request.subject = "Upload stuck";
    request.description = "The upload never finished.";
    request.diagnostics = {{"client", "linux-desktop"}};
    return request;
}

// The KavoAPIError `call` throws; anything else fails the test.
template <typename Call>
KavoAPIError apiErrorOf(Call&& call) {
    try {
        call();
    } catch (const KavoAPIError& error) {
        return error;
    } catch (const std::exception& other) {
        ADD_FAILURE() << "threw something else: " << other.what();
        return KavoAPIError::invalidResponse();
    }
    ADD_FAILURE() << "did not throw";
    return KavoAPIError::invalidResponse();
}

using namespace std::chrono;
using json = nlohmann::json;

WallTime at(int h, int mi, int s = 0) {
    return sys_days{year{2025} / 3 / 4} + hours{h} + minutes{mi} + std::chrono::seconds{s};
}

// One body that every answer type decodes from.
constexpr const char* kAnyAnswer =
    R"({"recording_id":"r","upload_url":"u","blob_path":"p","state":"S","id":"u1","email":"e",
        "name":"n","is_admin":false,"meetings_access":true})";

// Paths, tokens and bodies are what the dev stack answers; here what it cannot tell: only
// reads may be sent twice (an init sent twice would open two uploads), and ids are escaped.
TEST_F(ClientTest, OnlyReadsMayBeRetriedAndARecordingIdIsOnePathSegment) {
    transport->setResponder([](const HTTPRequest&) { return HTTPResponse{200, {}, kAnyAnswer}; });
    client.initUpload({"capture-A.wav", "audio/wav", 1234});
    client.recordingStatus("a b?c#d%e/f");
    client.currentUser();
    client.branding();
    const auto requests = transport->requests();
    ASSERT_EQ(requests.size(), 4U);
    for (std::size_t i = 0; i < requests.size(); ++i)
        EXPECT_EQ(requests[i].idempotent, i != 0) << i;
    EXPECT_EQ(requests[1].url,
              "https://kavo.example.com/tenant/api/v1/meetings/recordings/"
              "a%20b%3Fc%23d%25e/f");
}

// Dates go out in whole seconds; bad UTF-8 is replaced, not refused. That absent optionals
// are left out is shown by the coordinator's end-to-end test.
TEST_F(ClientTest, FinalizeSendsEveryPresentFieldUnderItsCamelCaseKey) {
    transport->enqueue(200, kAnyAnswer);
    KavoAPIClient::FinalizeUploadRequest request;
    request.recordingId = "rec-1";
    request.captureMode = "auto";
    request.durationSeconds = 3600;
    request.pausedDurationSeconds = 12;
    request.capturedAt = at(9, 0) + milliseconds(789);
    request.capturedUntil = at(10, 0);
    request.audioProfile = "speech-16k";
    request.sampleRateHz = 16000;
    request.channels = 1;
    request.bitRateKbps = 256;
    request.fileSizeBytes = std::int64_t{3} << 32;
    request.meetingTitle = std::string("Plan \xFF");
    request.meetingStartTime = at(9, 0);
    request.meetingEndTime = at(9, 30);
    request.graphEventId = "evt";
    request.organizerEmail = "o@example.com";
    request.expectedSpeakers = {{"Ann", "ann@example.com", "host", true},
                                {"Bob", std::nullopt, std::nullopt, std::nullopt}};
    request.shareWithAttendees = true;
    client.finalizeUpload(request);
    EXPECT_EQ(bodyOf(onlyRequest()), json::parse(R"({"recording_id":"rec-1","captureMode":"auto",
        "durationSeconds":3600,"pausedDurationSeconds":12,"capturedAt":"2025-03-04T09:00:00Z",
        "capturedUntil":"2025-03-04T10:00:00Z","audioProfile":"speech-16k","sampleRateHz":16000,
        "channels":1,"bitRateKbps":256,"fileSizeBytes":12884901888,"meetingTitle":"Plan \uFFFD",
        "meetingStartTime":"2025-03-04T09:00:00Z","meetingEndTime":"2025-03-04T09:30:00Z",
        "graphEventId":"evt","organizerEmail":"o@example.com","shareWithAttendees":true,
        "expectedSpeakers":[{"name":"Ann","email":"ann@example.com","role":"host","accepted":true},
                            {"name":"Bob"}]})"));
}

TEST_F(ClientTest, AFailingTokenProviderSendsNothing) {
    const KavoAPIClient failing("https://k.test", transport, [](std::stop_token) -> std::string {
        throw std::domain_error("sign in again");
    });
    EXPECT_THROW(failing.initUpload({"a.wav", "audio/wav", 10}), std::domain_error);
    EXPECT_THROW(failing.submitFeedback(validFeedback()), std::domain_error);
    EXPECT_EQ(transport->requestCount(), 0U);
}

TEST_F(ClientTest, StatusOutside2xxIsAnHTTPErrorAnd403IsForbidden) {
    for (const int status : {199, 300, 409, 500}) {
        transport->enqueue(status, "  went wrong\n");
        EXPECT_EQ(apiErrorOf([&] { client.currentUser(); }),
                  KavoAPIError::http(status, "  went wrong\n"));
    }
    transport->enqueue(299, R"({"state":"PROCESSING"})");
    EXPECT_EQ(client.recordingStatus("r").state, "PROCESSING");
    transport->enqueue(403, "not your tenant");
    EXPECT_EQ(apiErrorOf([&] { client.currentUser(); }),
              KavoAPIError::forbidden("not your tenant"));
    // A body that is not UTF-8 is dropped; transport errors pass unchanged.
    transport->enqueue(500, std::string("\xFF\xFE oops"));
    EXPECT_EQ(apiErrorOf([&] { client.currentUser(); }), KavoAPIError::http(500, ""));
    transport->enqueueError(TransportError(TransportError::Kind::timedOut, 28, "timed out"));
    EXPECT_THROW(client.branding(), TransportError);
}

TEST_F(ClientTest, InitRefusesEmptyAndOversizedFilesWithoutContactingTheServer) {
    const auto refusal = [&](std::int64_t size) {
        return apiErrorOf([&] { client.initUpload({"a.wav", "audio/wav", size}); });
    };
    EXPECT_EQ(refusal(0), KavoAPIError::invalidRequest("Recording file is empty (size_bytes = 0); "
                                                       "the server rejects this with HTTP 422."));
    EXPECT_EQ(refusal(2147483649),
              KavoAPIError::invalidRequest(
                  "Recording file is 2147483649 bytes, over the 2147483648 byte server limit."));
    EXPECT_EQ(transport->requestCount(), 0U);
    EXPECT_EQ(tokenCalls, 0);

    transport->setResponder([](const HTTPRequest&) {
        return HTTPResponse{200, {}, R"({"recording_id":"r","upload_url":"u","blob_path":"p"})"};
    });
    client.initUpload({"a.wav", "audio/wav", 2147483648});
    EXPECT_EQ(bodyOf(onlyRequest())["size_bytes"], 2147483648LL);
}

TEST_F(ClientTest, FeedbackLimitsAreCountedInUnicodeScalars) {
    const std::string subjectError =
        "Subject must be between 5 and 255 characters; the server rejects anything else with "
        "HTTP 422.";
    const std::string descriptionError =
        "Description must be between 10 and 10000 characters; the server rejects anything else "
        "with HTTP 422.";
    const std::string diagnosticsError =
        "Support report carries no diagnostics; a ticket without them cannot answer the question "
        "it was filed about.";
    const auto scalars = [](int count) {
        std::string text;
        for (int i = 0; i < count; ++i) text += "\xC3\xA9";  // two bytes, one scalar
        return text;
    };
    const auto feedback = [&](int subject, int description, bool diagnostics = true) {
        auto request = validFeedback();
        request.subject = scalars(subject);
        request.description = scalars(description);
        if (!diagnostics) request.diagnostics.clear();
        return request;
    };
    const std::pair<KavoAPIClient::FeedbackRequest, std::string> refused[] = {
        {feedback(256, 20), subjectError},
        {feedback(5, 10001), descriptionError},
        {feedback(5, 20, false), diagnosticsError},
    };
    for (const auto& [request, refusal] : refused)
        EXPECT_EQ(apiErrorOf([&] { client.submitFeedback(request); }),
                  KavoAPIError::invalidRequest(refusal));
    EXPECT_EQ(transport->requestCount(), 0U);
    transport->enqueue(201, R"({"id":"T"})");
    EXPECT_NO_THROW(client.submitFeedback(feedback(255, 10000)));
}

TEST_F(ClientTest, FinalizeConflictIsConfirmedByAStatusRead) {
    KavoAPIClient::FinalizeUploadRequest request;
    request.recordingId = "rec-1";
    using Outcome = KavoAPIClient::FinalizeOutcome;
    const std::pair<std::string, Outcome> cases[] = {
        {R"({"id":"srv-1","recording_id":"rec-1","state":"DELIVERED"})",
         Outcome::alreadyFinalized("srv-1", "DELIVERED")},
        {R"({"id":"","recording_id":"other","state":"FAILED"})",
         Outcome::alreadyFinalized("rec-1", "FAILED")},
    };
    for (const auto& [status, outcome] : cases) {
        transport->enqueue(409, "already finalized");
        transport->enqueue(200, status);
        EXPECT_EQ(client.finalizeUpload(request), outcome) << status;
    }
    EXPECT_EQ(transport->requests().at(1).url,
              "https://kavo.example.com/tenant/api/v1/meetings/recordings/rec-1");

    // A failed confirmation gives its own error; other failures are not confirmed.
    transport->enqueue(409, "dup");
    transport->enqueue(404, "gone");
    EXPECT_EQ(apiErrorOf([&] { client.finalizeUpload(request); }), KavoAPIError::http(404, "gone"));
    transport->enqueue(409, "dup");
    transport->enqueueError(TransportError(TransportError::Kind::cannotConnect));
    EXPECT_THROW(client.finalizeUpload(request), TransportError);
    const auto before = transport->requestCount();
    for (const int status : {400, 500}) {
        transport->enqueue(status, "no");
        EXPECT_EQ(apiErrorOf([&] { client.finalizeUpload(request); }).status(), status);
    }
    EXPECT_EQ(transport->requestCount(), before + 2);
}

const std::string kDash = " \u2014 ";

std::string decodingText(const KavoAPIError& error) {
    EXPECT_EQ(error.kind(), KavoAPIError::Kind::decoding) << error.what();
    return error.payload();
}

bool startsWith(const std::string& text, const std::string& start) {
    return text.rfind(start, 0) == 0;
}

TEST_F(ClientTest, DecodingFailureNamesTheProblemQuotesTheBodyAndIsLogged) {
    LogCapture log;
    transport->enqueue(200, R"({"recording_id":"rec-1"})");
    KavoAPIClient::FinalizeUploadRequest finalize;
    finalize.recordingId = "rec-1";
    const KavoAPIError error = apiErrorOf([&] { client.finalizeUpload(finalize); });

    const std::string text = R"(Missing key 'state' at . Body: {"recording_id":"rec-1"})";
    EXPECT_EQ(error, KavoAPIError::decoding(text));
    EXPECT_EQ(std::string(error.what()), "Could not decode the server response: " + text);
    EXPECT_TRUE(log.contains(
        "KavoAPIClient", "Decode failure on /tenant/api/v1/meetings/uploads/finalize: " + text));

    // A null where a text is required is a value missing, not a mismatch.
    transport->enqueue(200, R"({"state":null})");
    EXPECT_EQ(decodingText(apiErrorOf([&] { client.recordingStatus("r"); })),
              R"(Missing std::string value at state. Body: {"state":null})");
}

// Every answer type meets a truncated, a mistyped and a huge body: each is a decoding
// error whose text says what went wrong and quotes no more than 300 characters of it.
struct WireCase {
    const char* name;
    std::function<void(const KavoAPIClient&)> call;
    std::string validBody;
    std::string mistypedBody;  // valid but for one member
    std::string mistypedDiagnosticStart;
};

// Names the case in test listings, instead of its bytes.
void PrintTo(const WireCase& wireCase, std::ostream* out) {
    *out << wireCase.name;
}

std::vector<WireCase> wireCases() {
    const auto finalize = [](const KavoAPIClient& c) {
        KavoAPIClient::FinalizeUploadRequest request;
        request.recordingId = "r";
        c.finalizeUpload(request);
    };
    const std::string mismatch = "Type mismatch (expected ";
    return {
        {"InitUploadResponse",
         [](const KavoAPIClient& c) {
             c.initUpload({"a.wav", "audio/wav", 10});
         },
         R"({"recording_id":"r","upload_url":"u","blob_path":"p"})",
         R"({"recording_id":"r","upload_url":["u"],"blob_path":"p"})",
         mismatch + "std::string) at upload_url" + kDash +
             "Expected to decode std::string but found an array"},
        {"FinalizeUploadResponse", finalize, R"({"recording_id":"r","state":"PROCESSING"})",
         R"({"recording_id":{"id":"r"},"state":"PROCESSING"})",
         mismatch + "std::string) at recording_id" + kDash +
             "Expected to decode std::string but found an object"},
        {"RecordingStatusResponse", [](const KavoAPIClient& c) { c.recordingStatus("r"); },
         R"({"state":"DELIVERED"})", R"({"state":"DELIVERED","delivered_at":"yesterday"})",
         "Data corrupted at delivered_at" + kDash + "Could not parse date: 'yesterday'"},
        {"CurrentUserResponse", [](const KavoAPIClient& c) { c.currentUser(); },
         R"({"id":"u","email":"e","name":"n","is_admin":false,"meetings_access":true})",
         R"({"id":"u","email":"e","name":"n","is_admin":0,"meetings_access":true})",
         mismatch + "bool) at is_admin" + kDash + "Expected to decode bool but found a number"},
        {"BrandingResponse", [](const KavoAPIClient& c) { c.branding(); }, R"({"app_name":"K"})",
         R"({"app_name":"K","sharing_enabled":"true"})",
         mismatch + "bool) at sharing_enabled" + kDash +
             "Expected to decode bool but found a string"},
        {"FeedbackTicketResponse",
         [](const KavoAPIClient& c) { c.submitFeedback(validFeedback()); },
         R"({"id":"T","created_at":"2025-03-04T09:15:00Z"})",
         R"({"id":"T","created_at":"2025-03-04T09:15:00"})",
         "Data corrupted at created_at" + kDash + "Could not parse date: '2025-03-04T09:15:00'"},
    };
}

class WireTypeBadInputTest : public ClientTest, public ::testing::WithParamInterface<WireCase> {
protected:
    std::string diagnosticFor(std::string body) {
        transport->enqueue(200, std::move(body));
        return decodingText(apiErrorOf([&] { GetParam().call(client); }));
    }
};

TEST_P(WireTypeBadInputTest, TruncatedMistypedOrWrongValuedBodiesAreNamed) {
    transport->enqueue(200, GetParam().validBody);
    EXPECT_NO_THROW(GetParam().call(client));

    const std::string& valid = GetParam().validBody;
    const std::string corrupt =
        "Data corrupted at " + kDash + "The given data was not valid JSON: ";
    for (const std::size_t keep : {std::size_t{0}, valid.size() / 2}) {
        const std::string text = diagnosticFor(valid.substr(0, keep));
        EXPECT_TRUE(startsWith(text, corrupt)) << text;
        EXPECT_TRUE(text.ends_with(". Body: " + valid.substr(0, keep))) << text;
    }
    const std::string mistyped = diagnosticFor(GetParam().mistypedBody);
    EXPECT_TRUE(startsWith(mistyped, GetParam().mistypedDiagnosticStart)) << mistyped;
    EXPECT_TRUE(mistyped.ends_with(". Body: " + GetParam().mistypedBody)) << mistyped;

    const std::string type = std::string("kavo::KavoAPIClient::") + GetParam().name;
    EXPECT_EQ(diagnosticFor("[]"), "Type mismatch (expected " + type + ") at " + kDash +
                                       "Expected to decode " + type +
                                       " but found an array instead. Body: []");
    EXPECT_EQ(diagnosticFor("null"), "Missing " + type + " value at . Body: null");
    const std::string badUTF8 = diagnosticFor("{\"id\":\"\xFF\"}");
    EXPECT_TRUE(startsWith(badUTF8, corrupt) && badUTF8.ends_with(". Body: ")) << badUTF8;
}

INSTANTIATE_TEST_SUITE_P(AllAnswers, WireTypeBadInputTest, ::testing::ValuesIn(wireCases()),
                         [](const auto& testInfo) { return std::string(testInfo.param.name); });

}  // namespace
}  // namespace kavo
