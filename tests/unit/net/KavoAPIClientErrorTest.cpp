#include <gtest/gtest.h>

#include "ClientTestSupport.h"
#include "base/Log.h"

namespace kavo {
namespace {

TEST(KavoAPIError, DescriptionsAreTheTextsTheUserSeesAndEqualityComparesPayloads) {
    EXPECT_STREQ(KavoAPIError::invalidRequest("too big").what(),
                 "This recording cannot be uploaded: too big");
    EXPECT_STREQ(KavoAPIError::http(502, "\n  bad gateway \n").what(),
                 "Request failed with HTTP 502: bad gateway");
    EXPECT_STREQ(KavoAPIError::forbidden("tenant mismatch").what(),
                 "You don't have permission to perform this action.");
    EXPECT_STREQ(KavoAPIError::invalidResponse().what(), "Invalid response from the server.");

    // At most 200 trimmed characters (not bytes) of the body; the payload stays whole.
    const std::string body = "\n\n  " + std::string(250, 'x') + "  \n\n";
    EXPECT_EQ(KavoAPIError::http(500, body).description(),
              "Request failed with HTTP 500: " + std::string(200, 'x') + "...");
    EXPECT_EQ(KavoAPIError::http(500, body).payload(), body);
    std::string accents;
    for (int i = 0; i < 201; ++i) accents += "\xC3\xA9";
    EXPECT_EQ(KavoAPIError::http(400, accents).description(),
              "Request failed with HTTP 400: " + accents.substr(0, 400) + "...");

    // The comparisons the other tests rely on see status, case and payload.
    EXPECT_NE(KavoAPIError::http(500, "a"), KavoAPIError::http(501, "a"));
    EXPECT_NE(KavoAPIError::http(500, "a"), KavoAPIError::http(500, "b"));
    EXPECT_NE(KavoAPIError::invalidRequest("a"), KavoAPIError::decoding("a"));
}

TEST_F(ClientTest, StatusOutside2xxIsAnHTTPErrorAnd403IsForbidden) {
    for (const int status : {199, 300, 401, 404, 409, 500}) {
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

TEST_F(ClientTest, FeedbackLimitsAreCountedInUnicodeScalarsAndCheckedInOrder) {
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
        {feedback(4, 20), subjectError},
        {feedback(256, 20), subjectError},
        {feedback(5, 9), descriptionError},
        {feedback(5, 10001), descriptionError},
        {feedback(5, 20, false), diagnosticsError},
        // Checked in this order.
        {feedback(1, 1, false), subjectError},
        {feedback(5, 1, false), descriptionError},
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
        LogCapture log;
        transport->enqueue(409, "already finalized");
        transport->enqueue(200, status);
        EXPECT_EQ(client.finalizeUpload(request), outcome) << status;
        EXPECT_TRUE(log.contains("KavoAPIClient",
                                 "Finalize returned 409 for rec-1; confirming via GET "
                                 "/recordings. Body: already finalized"));
    }
    const auto confirmation = transport->requests().at(1);
    EXPECT_EQ(confirmation.method, "GET");
    EXPECT_EQ(confirmation.url, "https://kavo.example.com/tenant/api/v1/meetings/recordings/rec-1");
    EXPECT_EQ(confirmation.headers.get("Authorization"), "Bearer token-2");

    // A failed confirmation gives its own error; other failures are not confirmed.
    transport->enqueue(409, "dup");
    transport->enqueue(404, "gone");
    EXPECT_EQ(apiErrorOf([&] { client.finalizeUpload(request); }), KavoAPIError::http(404, "gone"));
    transport->enqueue(409, "dup");
    transport->enqueueError(TransportError(TransportError::Kind::cannotConnect));
    EXPECT_THROW(client.finalizeUpload(request), TransportError);
    const auto before = transport->requestCount();
    for (const int status : {400, 403, 410, 500}) {
        transport->enqueue(status, "no");
        EXPECT_EQ(apiErrorOf([&] { client.finalizeUpload(request); }).status(), status);
    }
    EXPECT_EQ(transport->requestCount(), before + 4);
}

}  // namespace
}  // namespace kavo
