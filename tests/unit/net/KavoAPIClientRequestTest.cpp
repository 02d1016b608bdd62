#include <gtest/gtest.h>

#include <chrono>

#include "ClientTestSupport.h"
#include "net/DateParserCascade.h"

namespace kavo {
namespace {

using namespace std::chrono;
using json = nlohmann::json;

WallTime at(int y, unsigned mo, unsigned d, int h, int mi, int s) {
    return sys_days{year{y} / month{mo} / day{d}} + hours{h} + minutes{mi} + std::chrono::seconds{s};
}

TEST_F(ClientTest, InitUploadPostsSnakeCaseBodyWithBearerAndJSONHeaders) {
    transport->enqueue(200, R"({"recording_id":"rec-1","upload_url":"https://blob/x?sig=1","blob_path":"c/x.wav"})");

    const auto response = client.initUpload({"capture-A.wav", "audio/wav", 1234});

    EXPECT_EQ(response, (KavoAPIClient::InitUploadResponse{"rec-1", "https://blob/x?sig=1", "c/x.wav"}));
    const HTTPRequest request = onlyRequest();
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.url, "https://kavo.example.com/tenant/api/v1/meetings/uploads/init");
    EXPECT_EQ(request.headers.get("Authorization"), "Bearer token-1");
    EXPECT_EQ(request.headers.get("content-type"), "application/json");
    EXPECT_EQ(request.headers.get("Accept"), "application/json");
    EXPECT_EQ(request.timeout, std::chrono::seconds(15));
    EXPECT_EQ(bodyOf(request), (json{{"filename", "capture-A.wav"}, {"content_type", "audio/wav"}, {"size_bytes", 1234}}));
}

TEST_F(ClientTest, GetOperationsSendNoBodyAndOnlyAcceptJSON) {
    transport->enqueue(200, R"({"state":"PROCESSING"})");
    transport->enqueue(200, R"({"id":"u1","email":"a@b.c","name":"Ann","is_admin":false,"meetings_access":true})");

    client.recordingStatus("rec-9");
    client.currentUser();

    const auto requests = transport->requests();
    ASSERT_EQ(requests.size(), 2U);
    EXPECT_EQ(requests[0].url, "https://kavo.example.com/tenant/api/v1/meetings/recordings/rec-9");
    EXPECT_EQ(requests[1].url, "https://kavo.example.com/tenant/api/me");
    for (const auto& request : requests) {
        EXPECT_EQ(request.method, "GET");
        EXPECT_TRUE(request.body.empty());
        EXPECT_FALSE(request.headers.contains("Content-Type"));
        EXPECT_EQ(request.headers.get("Accept"), "application/json");
        EXPECT_EQ(request.timeout, std::chrono::seconds(15));
    }
    EXPECT_EQ(requests[0].headers.get("Authorization"), "Bearer token-1");
    EXPECT_EQ(requests[1].headers.get("Authorization"), "Bearer token-2");
}

TEST_F(ClientTest, BrandingIsAnonymous) {
    transport->enqueue(200, "{}");

    EXPECT_EQ(client.branding(), KavoAPIClient::BrandingResponse{});

    const HTTPRequest request = onlyRequest();
    EXPECT_EQ(request.url, "https://kavo.example.com/tenant/api/branding");
    EXPECT_FALSE(request.headers.contains("Authorization"));
    EXPECT_EQ(tokenCalls, 0);
}

TEST_F(ClientTest, RecordingIdIsPercentEncodedIntoThePath) {
    transport->enqueue(200, R"({"state":"DELIVERED"})");

    client.recordingStatus("a b?c#d%e/f");

    EXPECT_EQ(onlyRequest().url, "https://kavo.example.com/tenant/api/v1/meetings/recordings/a%20b%3Fc%23d%25e/f");
}

TEST(KavoAPIClientURL, PathIsAppendedWhateverTheBaseEndsWith) {
    for (const auto& [base, expected] : std::vector<std::pair<std::string, std::string>>{
             {"https://kavo.example.com", "https://kavo.example.com/api/me"},
             {"https://kavo.example.com/", "https://kavo.example.com/api/me"},
             {"https://kavo.example.com/t/", "https://kavo.example.com/t/api/me"},
             {"http://127.0.0.1:8080/t", "http://127.0.0.1:8080/t/api/me"},
         }) {
        auto transport = std::make_shared<testing::RecordingTransport>();
        transport->enqueue(200, R"({"id":"u","email":"e","name":"n","is_admin":true,"meetings_access":true})");
        const KavoAPIClient client(base, transport, [](std::stop_token) { return std::string("t"); });
        client.currentUser();
        EXPECT_EQ(transport->requests().at(0).url, expected) << base;
    }
}

TEST_F(ClientTest, FinalizeSendsCamelCaseKeysAndOmitsAbsentOptionals) {
    transport->enqueue(200, R"({"recording_id":"rec-1","state":"PROCESSING"})");
    KavoAPIClient::FinalizeUploadRequest request;
    request.recordingId = "rec-1";
    request.captureMode = "manual";
    request.pausedDurationSeconds = 0;
    request.capturedAt = at(2025, 3, 4, 9, 15, 0) + milliseconds(789);
    request.audioProfile = "speech-16k";
    request.sampleRateHz = 16000;
    request.channels = 1;
    request.bitRateKbps = 256;
    request.shareWithAttendees = false;

    EXPECT_EQ(client.finalizeUpload(request), KavoAPIClient::FinalizeOutcome::finalized("rec-1", "PROCESSING"));

    const HTTPRequest sent = onlyRequest();
    EXPECT_EQ(sent.method, "POST");
    EXPECT_EQ(sent.url, "https://kavo.example.com/tenant/api/v1/meetings/uploads/finalize");
    EXPECT_EQ(sent.headers.get("Authorization"), "Bearer token-1");
    // Dates go out in whole seconds; absent optionals are left out rather than null.
    EXPECT_EQ(bodyOf(sent), (json{{"recording_id", "rec-1"},
                                  {"captureMode", "manual"},
                                  {"pausedDurationSeconds", 0},
                                  {"capturedAt", "2025-03-04T09:15:00Z"},
                                  {"audioProfile", "speech-16k"},
                                  {"sampleRateHz", 16000},
                                  {"channels", 1},
                                  {"bitRateKbps", 256},
                                  {"expectedSpeakers", json::array()},
                                  {"shareWithAttendees", false}}));
}

TEST_F(ClientTest, FinalizeSendsEveryOptionalThatIsPresent) {
    transport->enqueue(200, R"({"recording_id":"rec-1","state":"PROCESSING"})");
    KavoAPIClient::FinalizeUploadRequest request;
    request.recordingId = "rec-1";
    request.captureMode = "auto";
    request.durationSeconds = 3600;
    request.pausedDurationSeconds = 12;
    request.capturedAt = at(2025, 3, 4, 9, 0, 0);
    request.capturedUntil = at(2025, 3, 4, 10, 0, 0);
    request.audioProfile = "speech-16k";
    request.sampleRateHz = 16000;
    request.channels = 1;
    request.bitRateKbps = 256;
    request.fileSizeBytes = std::int64_t{3} << 32;
    request.meetingTitle = "Weekly";
    request.meetingStartTime = at(2025, 3, 4, 9, 0, 0);
    request.meetingEndTime = at(2025, 3, 4, 9, 30, 0);
    request.graphEventId = "evt";
    request.organizerEmail = "o@example.com";
    request.expectedSpeakers = {{"Ann", "ann@example.com", "host", true}, {"Bob", std::nullopt, std::nullopt, std::nullopt}};
    request.shareWithAttendees = true;

    client.finalizeUpload(request);

    const json body = bodyOf(onlyRequest());
    EXPECT_EQ(body["durationSeconds"], 3600);
    EXPECT_EQ(body["capturedUntil"], "2025-03-04T10:00:00Z");
    EXPECT_EQ(body["fileSizeBytes"], std::int64_t{12884901888});
    EXPECT_EQ(body["meetingTitle"], "Weekly");
    EXPECT_EQ(body["meetingStartTime"], "2025-03-04T09:00:00Z");
    EXPECT_EQ(body["meetingEndTime"], "2025-03-04T09:30:00Z");
    EXPECT_EQ(body["graphEventId"], "evt");
    EXPECT_EQ(body["organizerEmail"], "o@example.com");
    EXPECT_EQ(body["shareWithAttendees"], true);
    EXPECT_EQ(body["expectedSpeakers"],
              (json::array({json{{"name", "Ann"}, {"email", "ann@example.com"}, {"role", "host"}, {"accepted", true}},
                            json{{"name", "Bob"}}})));
    EXPECT_EQ(body.size(), 18U);
}

TEST_F(ClientTest, FeedbackCarriesCategoryRawValueAndDiagnosticsAsJSON) {
    transport->enqueue(201, R"({"id":"T-7","status":"open","created_at":"2025-03-04T09:15:00Z"})");
    KavoAPIClient::FeedbackRequest request = validFeedback();
    request.category = KavoAPIClient::FeedbackCategory::question;
    request.includeRecording = true;
    request.diagnostics = {{"lastCapture", JSONValue::Object{{"bytes", std::int64_t{1} << 40}, {"ok", true}}},
                           {"ratio", 0.25},
                           {"devices", JSONValue::Array{"mic", nullptr}}};

    const auto ticket = client.submitFeedback(request);

    EXPECT_EQ(ticket.id, "T-7");
    EXPECT_EQ(ticket.status, "open");
    EXPECT_EQ(ticket.createdAt, at(2025, 3, 4, 9, 15, 0));
    const HTTPRequest sent = onlyRequest();
    EXPECT_EQ(sent.method, "POST");
    EXPECT_EQ(sent.url, "https://kavo.example.com/tenant/api/feedback");
    EXPECT_EQ(sent.headers.get("Authorization"), "Bearer token-1");
    EXPECT_EQ(bodyOf(sent), (json{{"category", "question"},
                                  {"subject", "Upload stuck"},
                                  {"description", "The upload never finished."},
                                  {"include_recording", true},
                                  {"diagnostics",
                                   {{"lastCapture", {{"bytes", std::int64_t{1} << 40}, {"ok", true}}},
                                    {"ratio", 0.25},
                                    {"devices", json::array({"mic", nullptr})}}}}));

    request.recordingId = "rec-3";
    transport->enqueue(201, R"({"id":"T-8"})");
    client.submitFeedback(request);
    EXPECT_EQ(bodyOf(transport->requests().at(1))["recording_id"], "rec-3");
}

TEST_F(ClientTest, BodiesWithBadUTF8AreStillSent) {
    transport->enqueue(200, R"({"recording_id":"rec-1","state":"PROCESSING"})");
    KavoAPIClient::FinalizeUploadRequest request;
    request.recordingId = "rec-1";
    request.meetingTitle = std::string("Plan \xFF");

    client.finalizeUpload(request);

    EXPECT_EQ(bodyOf(onlyRequest())["meetingTitle"], "Plan \xEF\xBF\xBD");
}

TEST_F(ClientTest, TokenIsFetchedForEachAuthenticatedCallAndItsFailureSendsNothing) {
    struct SignInLost : std::runtime_error {
        SignInLost() : std::runtime_error("sign in again") {}
    };
    const KavoAPIClient failing("https://kavo.example.com", transport,
                                [](std::stop_token) -> std::string { throw SignInLost(); });

    EXPECT_THROW(failing.initUpload({"a.wav", "audio/wav", 10}), SignInLost);
    EXPECT_THROW(failing.recordingStatus("r"), SignInLost);
    EXPECT_THROW(failing.submitFeedback(validFeedback()), SignInLost);
    EXPECT_EQ(transport->requestCount(), 0U);
}

TEST_F(ClientTest, StopTokenReachesTokenProviderAndTransport) {
    std::stop_source source;
    bool providerSawStop = false;
    const KavoAPIClient watching("https://kavo.example.com", transport, [&](std::stop_token stop) {
        providerSawStop = stop.stop_possible();
        return std::string("t");
    });
    source.request_stop();

    try {
        watching.currentUser(source.get_token());
        FAIL() << "a stopped call went through";
    } catch (const TransportError& error) {
        EXPECT_EQ(error.kind(), TransportError::Kind::cancelled);
    }
    EXPECT_TRUE(providerSawStop);
}

}  // namespace
}  // namespace kavo
