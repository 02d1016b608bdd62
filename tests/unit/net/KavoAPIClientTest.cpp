#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "net/KavoAPIClient.h"
#include "support/RecordingTransport.h"

namespace kavo {
namespace {

using json = nlohmann::json;

// A client over a recording transport; each token it hands out is numbered.
class ClientTest : public ::testing::Test {
protected:
    std::shared_ptr<testing::RecordingTransport> transport =
        std::make_shared<testing::RecordingTransport>();
    int tokenCalls = 0;
    KavoAPIClient client{"https://kavo.example.com/tenant", transport, [this](std::stop_token) {
                             ++tokenCalls;
                             return "token-" + std::to_string(tokenCalls);
                         }};

    json onlyBody() const {
        const auto requests = transport->requests();
        EXPECT_EQ(requests.size(), 1U);
        return requests.empty() ? json() : json::parse(requests.front().body);
    }
};

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

// One body that every answer type decodes from.
constexpr const char* kAnyAnswer =
    R"({"recording_id":"r","upload_url":"u","blob_path":"p","state":"S","id":"u1","email":"e",
        "name":"n","is_admin":false,"meetings_access":true})";

// An init sent twice would open two uploads; only reads may be sent again.
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

// A conflict confirmed by a status read is shown with the coordinator; here the rest.
TEST_F(ClientTest, AnswersOutside2xxOrThatDoNotDecodeAreTheirErrors) {
    KavoAPIClient::FinalizeUploadRequest finalize;
    finalize.recordingId = "rec-1";
    const std::function<void()> me = [&] { client.currentUser(); };
    const std::function<void()> fin = [&] { client.finalizeUpload(finalize); };
    const struct {
        std::vector<std::pair<int, std::string>> answers;
        const std::function<void()>& call;
        KavoAPIError error;
    } cases[] = {
        {{{199, "  went wrong\n"}}, me, KavoAPIError::http(199, "  went wrong\n")},
        {{{300, "x"}}, me, KavoAPIError::http(300, "x")},
        {{{403, "not your tenant"}}, me, KavoAPIError::forbidden("not your tenant")},
        // A body that is not UTF-8 is dropped.
        {{{500, "\xFF\xFE oops"}}, me, KavoAPIError::http(500, "")},
        {{{409, "dup"}, {404, "gone"}}, fin, KavoAPIError::http(404, "gone")},
        {{{400, "no"}}, fin, KavoAPIError::http(400, "no")},
        {{{500, "no"}}, fin, KavoAPIError::http(500, "no")},
        {{{200, R"({"recording_id":"rec-1"})"}},
         fin,
         KavoAPIError::decoding(R"(Missing key 'state' at . Body: {"recording_id":"rec-1"})")},
    };
    for (const auto& c : cases) {
        for (const auto& [status, body] : c.answers) transport->enqueue(status, body);
        EXPECT_EQ(apiErrorOf(c.call), c.error) << c.error.what();
    }
    EXPECT_EQ(transport->requests().size(), 9U) << "only a conflict is confirmed";

    transport->enqueue(409, "already finalized");
    transport->enqueue(299, R"({"id":"","recording_id":"other","state":"FAILED"})");
    EXPECT_EQ(client.finalizeUpload(finalize),
              KavoAPIClient::FinalizeOutcome::alreadyFinalized("rec-1", "FAILED"));
    transport->enqueueError(TransportError(TransportError::Kind::timedOut, 28, "timed out"));
    EXPECT_THROW(client.branding(), TransportError);
}

// What the server would refuse is refused here, without a token or a request.
TEST_F(ClientTest, InitRefusesEmptyAndOversizedFilesBeforeSending) {
    EXPECT_EQ(apiErrorOf([&] {
                  client.initUpload({"a.wav", "audio/wav", 0});
              }),
              KavoAPIError::invalidRequest("Recording file is empty (size_bytes = 0); the server "
                                           "rejects this with HTTP 422."));
    EXPECT_EQ(apiErrorOf([&] {
                  client.initUpload({"a.wav", "audio/wav", 2147483649});
              }).kind(),
              KavoAPIError::Kind::invalidRequest);
    EXPECT_EQ(transport->requests().size(), 0U);
    EXPECT_EQ(tokenCalls, 0);
    transport->enqueue(200, kAnyAnswer);
    client.initUpload({"a.wav", "audio/wav", 2147483648});
    EXPECT_EQ(onlyBody()["size_bytes"], 2147483648LL);

    const KavoAPIClient failing("https://k.test", transport, [](std::stop_token) -> std::string {
        throw std::domain_error("sign in again");
    });
    EXPECT_THROW(failing.initUpload({"a.wav", "audio/wav", 10}), std::domain_error);
    EXPECT_EQ(transport->requests().size(), 1U);
}

std::string decodingText(const KavoAPIError& error) {
    EXPECT_EQ(error.kind(), KavoAPIError::Kind::decoding) << error.what();
    return error.payload();
}

// Each answer type's truncated, mistyped and foreign bodies are decoding errors that say so.
struct WireCase {
    const char* name;
    std::function<void(const KavoAPIClient&)> call;
    std::string validBody;
    std::string mistypedBody;  // valid but for one member
    std::string mistypedAt;
};

// Names the case in test listings, instead of its bytes.
void PrintTo(const WireCase& wireCase, std::ostream* out) {
    *out << wireCase.name;
}

std::vector<WireCase> wireCases() {
    return {
        {"InitUploadResponse",
         [](const auto& c) {
             c.initUpload({"a.wav", "audio/wav", 10});
         },
         R"({"recording_id":"r","upload_url":"u","blob_path":"p"})",
         R"({"recording_id":"r","upload_url":["u"],"blob_path":"p"})", "upload_url"},
        {"FinalizeUploadResponse",
         [](const auto& c) { c.finalizeUpload(KavoAPIClient::FinalizeUploadRequest{}); },
         R"({"recording_id":"r","state":"PROCESSING"})",
         R"({"recording_id":{"id":"r"},"state":"PROCESSING"})", "recording_id"},
        {"RecordingStatusResponse", [](const auto& c) { c.recordingStatus("r"); },
         R"({"state":"DELIVERED"})", R"({"state":"DELIVERED","delivered_at":"yesterday"})",
         "delivered_at"},
        {"CurrentUserResponse", [](const auto& c) { c.currentUser(); },
         R"({"id":"u","email":"e","name":"n","is_admin":false,"meetings_access":true})",
         R"({"id":"u","email":"e","name":"n","is_admin":0,"meetings_access":true})", "is_admin"},
        {"BrandingResponse", [](const auto& c) { c.branding(); }, R"({"app_name":"K"})",
         R"({"app_name":"K","sharing_enabled":"true"})", "sharing_enabled"},
        {"FeedbackTicketResponse",
         [](const auto& c) {
             KavoAPIClient::FeedbackRequest request;
             request.subject = "Upload stuck";
             request.description = "It never finished.";
             request.diagnostics = {{"client", "linux-desktop"}};
             c.submitFeedback(request);
         },
         R"({"id":"T","created_at":"2025-03-04T09:15:00Z"})",
         R"({"id":"T","created_at":"2025-03-04T09:15:00"})", "created_at"},
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
    const std::string& valid = GetParam().validBody;
    transport->enqueue(200, valid);
    EXPECT_NO_THROW(GetParam().call(client));

    const std::string corrupt = "Data corrupted at  \u2014 The given data was not valid JSON: ";
    for (const std::string& body :
         {std::string(), valid.substr(0, valid.size() / 2), std::string("{\"id\":\"\xFF\"}")}) {
        const std::string text = diagnosticFor(body);
        EXPECT_TRUE(text.starts_with(corrupt)) << text;
        // Bytes that are not UTF-8 are not quoted.
        const bool utf8 = body.find('\xFF') == std::string::npos;
        EXPECT_TRUE(text.ends_with(". Body: " + (utf8 ? body : std::string()))) << text;
    }
    const std::string mistyped = diagnosticFor(GetParam().mistypedBody);
    EXPECT_NE(mistyped.find(" at " + GetParam().mistypedAt + " \u2014 "), std::string::npos)
        << mistyped;
    EXPECT_TRUE(mistyped.ends_with(". Body: " + GetParam().mistypedBody)) << mistyped;

    const std::string type = std::string("kavo::KavoAPIClient::") + GetParam().name;
    EXPECT_EQ(diagnosticFor("[]"), "Type mismatch (expected " + type + ") at  \u2014 " +
                                       "Expected to decode " + type +
                                       " but found an array instead. Body: []");
    EXPECT_EQ(diagnosticFor("null"), "Missing " + type + " value at . Body: null");
}

INSTANTIATE_TEST_SUITE_P(AllAnswers, WireTypeBadInputTest, ::testing::ValuesIn(wireCases()),
                         [](const auto& testInfo) { return std::string(testInfo.param.name); });

}  // namespace
}  // namespace kavo
