#include <gtest/gtest.h>

#include <chrono>

#include "ClientTestSupport.h"

namespace kavo {
namespace {

using namespace std::chrono;
using json = nlohmann::json;

WallTime at(int h, int mi, int s = 0) {
    return sys_days{year{2025} / 3 / 4} + hours{h} + minutes{mi} + std::chrono::seconds{s};
}

// One body that every answer type decodes from.
constexpr const char* kAnyAnswer =
    R"({"recording_id":"r","upload_url":"u","blob_path":"p","state":"S","id":"u1","email":"e",
        "name":"n","is_admin":false,"meetings_access":true})";

TEST_F(ClientTest, EachOperationSendsItsMethodPathHeadersAndBody) {
    transport->setResponder([](const HTTPRequest&) { return HTTPResponse{200, {}, kAnyAnswer}; });
    client.initUpload({"capture-A.wav", "audio/wav", 1234});
    client.recordingStatus("a b?c#d%e/f");
    client.currentUser();
    client.branding();

    struct Expected {
        const char* method;
        std::string path;
        std::optional<std::string> authorization;
    };
    const Expected expected[] = {
        {"POST", "/api/v1/meetings/uploads/init", "Bearer token-1"},
        {"GET", "/api/v1/meetings/recordings/a%20b%3Fc%23d%25e/f", "Bearer token-2"},
        {"GET", "/api/me", "Bearer token-3"},
        {"GET", "/api/branding", std::nullopt},  // branding is anonymous
    };
    const auto requests = transport->requests();
    ASSERT_EQ(requests.size(), 4U);
    for (std::size_t i = 0; i < requests.size(); ++i) {
        SCOPED_TRACE(expected[i].path);
        const bool post = i == 0;
        EXPECT_EQ(requests[i].method, expected[i].method);
        EXPECT_EQ(requests[i].url, "https://kavo.example.com/tenant" + expected[i].path);
        EXPECT_EQ(requests[i].headers.get("Authorization"), expected[i].authorization);
        EXPECT_EQ(requests[i].headers.get("Accept"), "application/json");
        EXPECT_EQ(requests[i].headers.contains("Content-Type"), post);
        EXPECT_EQ(requests[i].body.empty(), !post);
        // Reads may be retried by the transport; an init sent twice would open two uploads.
        EXPECT_EQ(requests[i].idempotent, !post);
        EXPECT_EQ(requests[i].timeout, std::chrono::seconds(15));
    }
    EXPECT_EQ(tokenCalls, 3);
    EXPECT_EQ(requests[0].headers.get("content-type"), "application/json");
    EXPECT_EQ(
        bodyOf(requests[0]),
        (json{{"filename", "capture-A.wav"}, {"content_type", "audio/wav"}, {"size_bytes", 1234}}));
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

TEST_F(ClientTest, AFailingTokenProviderSendsNothingAndAStopReachesTheProvider) {
    const KavoAPIClient failing("https://k.test", transport, [](std::stop_token) -> std::string {
        throw std::domain_error("sign in again");
    });
    EXPECT_THROW(failing.initUpload({"a.wav", "audio/wav", 10}), std::domain_error);
    EXPECT_THROW(failing.submitFeedback(validFeedback()), std::domain_error);
    EXPECT_EQ(transport->requestCount(), 0U);

    std::stop_source source;
    bool providerSawStop = false;
    const KavoAPIClient watching("https://k.test", transport, [&](std::stop_token stop) {
        providerSawStop = stop.stop_possible();
        return std::string("t");
    });
    source.request_stop();
    EXPECT_THROW(watching.currentUser(source.get_token()), TransportError);
    EXPECT_TRUE(providerSawStop);
}

}  // namespace
}  // namespace kavo
