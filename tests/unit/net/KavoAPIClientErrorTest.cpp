#include <gtest/gtest.h>

#include "ClientTestSupport.h"
#include "base/Log.h"

namespace kavo {
namespace {

constexpr const char* kStatusBody = R"({"state":"PROCESSING"})";

TEST(KavoAPIError, DescriptionsAreTheTextsTheUserSees) {
    EXPECT_STREQ(KavoAPIError::invalidRequest("too big").what(), "This recording cannot be uploaded: too big");
    EXPECT_STREQ(KavoAPIError::http(502, "\n  bad gateway \n").what(), "Request failed with HTTP 502: bad gateway");
    EXPECT_STREQ(KavoAPIError::http(500, "").what(), "Request failed with HTTP 500: ");
    EXPECT_STREQ(KavoAPIError::forbidden("tenant mismatch").what(), "You don't have permission to perform this action.");
    EXPECT_STREQ(KavoAPIError::decoding("Missing key 'x' at . Body: {}").what(),
                 "Could not decode the server response: Missing key 'x' at . Body: {}");
    EXPECT_STREQ(KavoAPIError::invalidResponse().what(), "Invalid response from the server.");
    EXPECT_EQ(KavoAPIError::forbidden("b").description(), "You don't have permission to perform this action.");
}

TEST(KavoAPIError, HTTPDescriptionShowsAtMost200TrimmedCharacters) {
    const std::string body = "\n\n  " + std::string(250, 'x') + "  \n\n";
    EXPECT_EQ(KavoAPIError::http(500, body).description(),
              "Request failed with HTTP 500: " + std::string(200, 'x') + "...");
    EXPECT_EQ(KavoAPIError::http(500, std::string(200, 'y')).description(),
              "Request failed with HTTP 500: " + std::string(200, 'y'));
    // Characters, not bytes: a cut never splits one.
    std::string accents;
    for (int i = 0; i < 201; ++i) accents += "\xC3\xA9";
    EXPECT_EQ(KavoAPIError::http(400, accents).description(),
              "Request failed with HTTP 400: " + accents.substr(0, 400) + "...");
    // The body itself stays whole in the value.
    EXPECT_EQ(KavoAPIError::http(500, body).payload(), body);
}

TEST(KavoAPIError, EqualityComparesCaseAndPayloads) {
    EXPECT_EQ(KavoAPIError::http(500, "a"), KavoAPIError::http(500, "a"));
    EXPECT_NE(KavoAPIError::http(500, "a"), KavoAPIError::http(501, "a"));
    EXPECT_NE(KavoAPIError::http(500, "a"), KavoAPIError::http(500, "b"));
    EXPECT_NE(KavoAPIError::http(403, "a"), KavoAPIError::forbidden("a"));
    EXPECT_NE(KavoAPIError::invalidRequest("a"), KavoAPIError::decoding("a"));
    EXPECT_EQ(KavoAPIError::invalidResponse(), KavoAPIError::invalidResponse());
}

TEST_F(ClientTest, StatusOutside2xxIsAnHTTPErrorCarryingTheBody) {
    for (const int status : {199, 300, 304, 400, 401, 404, 408, 409, 422, 429, 500, 503}) {
        transport->enqueue(status, "  went wrong\n");
        EXPECT_EQ(apiErrorOf([&] { client.currentUser(); }), KavoAPIError::http(status, "  went wrong\n")) << status;
    }
    // 2xx is success whatever the exact code.
    for (const int status : {200, 201, 202, 299}) {
        transport->enqueue(status, kStatusBody);
        EXPECT_EQ(client.recordingStatus("r").state, "PROCESSING") << status;
    }
}

TEST_F(ClientTest, Status403IsForbiddenAndKeepsTheBodyOutOfTheDescription) {
    transport->enqueue(403, "not your tenant");

    const KavoAPIError error = apiErrorOf([&] { client.recordingStatus("r"); });

    EXPECT_EQ(error, KavoAPIError::forbidden("not your tenant"));
    EXPECT_EQ(std::string(error.what()).find("tenant"), std::string::npos);
}

TEST_F(ClientTest, ErrorBodyThatIsNotUTF8BecomesEmpty) {
    transport->enqueue(500, std::string("\xFF\xFE oops"));
    transport->enqueue(403, std::string("\xC0\x80"));

    EXPECT_EQ(apiErrorOf([&] { client.currentUser(); }), KavoAPIError::http(500, ""));
    EXPECT_EQ(apiErrorOf([&] { client.currentUser(); }), KavoAPIError::forbidden(""));
}

TEST_F(ClientTest, TransportErrorsPropagateUnchanged) {
    transport->enqueueError(TransportError(TransportError::Kind::timedOut, 28, "Operation timed out"));
    transport->enqueueError(KavoAPIError::invalidResponse());

    try {
        client.branding();
        FAIL() << "no error";
    } catch (const TransportError& error) {
        EXPECT_EQ(error.kind(), TransportError::Kind::timedOut);
        EXPECT_EQ(error.code(), 28);
        EXPECT_EQ(error.detail(), "Operation timed out");
    }
    EXPECT_EQ(apiErrorOf([&] { client.branding(); }), KavoAPIError::invalidResponse());
}

TEST_F(ClientTest, InitRefusesEmptyAndOversizedFilesWithoutContactingTheServer) {
    EXPECT_EQ(apiErrorOf([&] { client.initUpload({"a.wav", "audio/wav", 0}); }),
              KavoAPIError::invalidRequest(
                  "Recording file is empty (size_bytes = 0); the server rejects this with HTTP 422."));
    EXPECT_EQ(apiErrorOf([&] { client.initUpload({"a.wav", "audio/wav", -5}); }),
              KavoAPIError::invalidRequest(
                  "Recording file is empty (size_bytes = -5); the server rejects this with HTTP 422."));
    const KavoAPIError tooBig = apiErrorOf([&] { client.initUpload({"a.wav", "audio/wav", 2147483649}); });
    EXPECT_EQ(tooBig, KavoAPIError::invalidRequest(
                          "Recording file is 2147483649 bytes, over the 2147483648 byte server limit."));
    EXPECT_STREQ(tooBig.what(), "This recording cannot be uploaded: Recording file is 2147483649 bytes, over the "
                                "2147483648 byte server limit.");
    EXPECT_EQ(transport->requestCount(), 0U);
    EXPECT_EQ(tokenCalls, 0);

    // Both ends of the allowed range go out.
    const char* answer = R"({"recording_id":"r","upload_url":"u","blob_path":"p"})";
    transport->enqueue(200, answer);
    transport->enqueue(200, answer);
    client.initUpload({"a.wav", "audio/wav", 1});
    client.initUpload({"a.wav", "audio/wav", 2147483648});
    ASSERT_EQ(transport->requestCount(), 2U);
    EXPECT_EQ(bodyOf(transport->requests()[1])["size_bytes"], 2147483648LL);
}

TEST_F(ClientTest, FeedbackLimitsAreCountedInUnicodeScalarsAndCheckedInOrder) {
    const std::string subjectError =
        "Subject must be between 5 and 255 characters; the server rejects anything else with HTTP 422.";
    const std::string descriptionError =
        "Description must be between 10 and 10000 characters; the server rejects anything else with HTTP 422.";
    const std::string diagnosticsError =
        "Support report carries no diagnostics; a ticket without them cannot answer the question it was filed "
        "about.";
    const auto scalars = [](int count) {
        std::string text;
        for (int i = 0; i < count; ++i) text += "\xC3\xA9";  // two bytes, one scalar
        return text;
    };
    struct Case {
        int subject;
        int description;
        bool diagnostics;
        std::optional<std::string> refusal;
    };
    const Case cases[] = {
        {0, 20, true, subjectError},         {4, 20, true, subjectError},
        {256, 20, true, subjectError},       {5, 9, true, descriptionError},
        {5, 10001, true, descriptionError},  {5, 20, false, diagnosticsError},
        // The subject is checked first, then the description, then the diagnostics.
        {1, 1, false, subjectError},         {5, 1, false, descriptionError},
        {5, 10, true, std::nullopt},         {255, 10000, true, std::nullopt},
    };
    transport->setResponder([](const HTTPRequest&) { return HTTPResponse{201, {}, R"({"id":"T"})"}; });
    std::size_t sent = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.subject) + "/" + std::to_string(c.description));
        auto request = validFeedback();
        request.subject = scalars(c.subject);
        request.description = scalars(c.description);
        if (!c.diagnostics) request.diagnostics.clear();
        if (c.refusal) {
            EXPECT_EQ(apiErrorOf([&] { client.submitFeedback(request); }), KavoAPIError::invalidRequest(*c.refusal));
        } else {
            EXPECT_NO_THROW(client.submitFeedback(request));
            ++sent;
        }
        EXPECT_EQ(transport->requestCount(), sent);
    }
}

class FinalizeConflictTest : public ClientTest {
protected:
    KavoAPIClient::FinalizeUploadRequest request() const {
        KavoAPIClient::FinalizeUploadRequest finalize;
        finalize.recordingId = "rec-1";
        finalize.captureMode = "manual";
        return finalize;
    }
};

TEST_F(FinalizeConflictTest, ConflictIsConfirmedByAStatusRead) {
    LogCapture log;
    transport->enqueue(409, "already finalized");
    transport->enqueue(200, R"({"id":"srv-1","recording_id":"rec-1","state":"DELIVERED"})");

    EXPECT_EQ(client.finalizeUpload(request()), KavoAPIClient::FinalizeOutcome::alreadyFinalized("srv-1", "DELIVERED"));

    const auto requests = transport->requests();
    ASSERT_EQ(requests.size(), 2U);
    EXPECT_EQ(requests[1].method, "GET");
    EXPECT_EQ(requests[1].url, "https://kavo.example.com/tenant/api/v1/meetings/recordings/rec-1");
    EXPECT_EQ(requests[1].headers.get("Authorization"), "Bearer token-2");
    const auto entries = log.entries();
    ASSERT_EQ(entries.size(), 1U);
    EXPECT_EQ(entries[0].category, "KavoAPIClient");
    EXPECT_EQ(entries[0].level, LogLevel::notice);
    EXPECT_EQ(entries[0].message,
              "Finalize returned 409 for rec-1; confirming via GET /recordings. Body: already finalized");
}

TEST_F(FinalizeConflictTest, OutcomeIdFallsBackToRecordingIdThenToTheRequest) {
    transport->enqueue(409, "");
    transport->enqueue(200, R"({"recording_id":"rec-from-status","state":"PROCESSING"})");
    EXPECT_EQ(client.finalizeUpload(request()),
              KavoAPIClient::FinalizeOutcome::alreadyFinalized("rec-from-status", "PROCESSING"));

    transport->enqueue(409, "");
    transport->enqueue(200, R"({"state":"PROCESSING"})");
    EXPECT_EQ(client.finalizeUpload(request()), KavoAPIClient::FinalizeOutcome::alreadyFinalized("rec-1", "PROCESSING"));

    // An "id" that is present but empty wins over "recording_id", and then the request's own id is used.
    transport->enqueue(409, "");
    transport->enqueue(200, R"({"id":"","recording_id":"other","state":"FAILED"})");
    EXPECT_EQ(client.finalizeUpload(request()), KavoAPIClient::FinalizeOutcome::alreadyFinalized("rec-1", "FAILED"));
}

TEST_F(FinalizeConflictTest, FailedConfirmationPropagatesItsOwnError) {
    transport->enqueue(409, "dup");
    transport->enqueue(404, "gone");
    EXPECT_EQ(apiErrorOf([&] { client.finalizeUpload(request()); }), KavoAPIError::http(404, "gone"));

    transport->enqueue(409, "dup");
    transport->enqueueError(TransportError(TransportError::Kind::cannotConnect));
    EXPECT_THROW(client.finalizeUpload(request()), TransportError);
}

TEST_F(FinalizeConflictTest, OtherFailuresAreNotConfirmed) {
    for (const int status : {400, 403, 410, 500}) {
        transport->enqueue(status, "no");
        const KavoAPIError error = apiErrorOf([&] { client.finalizeUpload(request()); });
        EXPECT_EQ(error.status(), status);
    }
    transport->enqueue(200, R"({"recording_id":"rec-1"})");
    EXPECT_EQ(apiErrorOf([&] { client.finalizeUpload(request()); }).kind(), KavoAPIError::Kind::decoding);
    EXPECT_EQ(transport->requestCount(), 5U);
}

}  // namespace
}  // namespace kavo
