#include <gtest/gtest.h>

#include <functional>

#include "ClientTestSupport.h"
#include "base/Log.h"
#include "net/DecodingError.h"

namespace kavo {
namespace {

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
    const auto entries = log.entries();
    ASSERT_EQ(entries.size(), 1U);
    EXPECT_EQ(entries[0].category, "KavoAPIClient");
    EXPECT_EQ(entries[0].level, LogLevel::error);
    EXPECT_EQ(entries[0].message,
              "Decode failure on /tenant/api/v1/meetings/uploads/finalize: " + text);

    // A null where a text is required is a value missing, not a mismatch.
    transport->enqueue(200, R"({"state":null})");
    EXPECT_EQ(decodingText(apiErrorOf([&] { client.recordingStatus("r"); })),
              R"(Missing std::string value at state. Body: {"state":null})");
}

TEST(KavoAPIClientDiagnostics, BodyExcerptIsTrimmedUTF8OfAtMost300CharactersAndPathsShowIndexes) {
    const std::runtime_error other("Failed");
    EXPECT_EQ(KavoAPIClient::describeDecodingError(other, "\n  short  \n"), "Failed. Body: short");
    EXPECT_EQ(KavoAPIClient::describeDecodingError(other, " " + std::string(301, 'b') + " "),
              "Failed. Body: " + std::string(300, 'b') + "...");
    EXPECT_EQ(KavoAPIClient::describeDecodingError(other, "\x80\x81 not text"), "Failed. Body: ");

    const DecodingError nested = DecodingError::valueNotFound(
        "bool", {CodingKey::named("speakers"), CodingKey::index(2), CodingKey::named("accepted")},
        "null");
    EXPECT_EQ(KavoAPIClient::describeDecodingError(nested, "{}"),
              "Missing bool value at speakers.[2].accepted. Body: {}");
    EXPECT_EQ(codingPathText({CodingKey{"", std::nullopt}}), "[-1]");
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
    for (const std::size_t keep : {std::size_t{0}, valid.size() / 2, valid.size() - 1}) {
        const std::string text = diagnosticFor(valid.substr(0, keep));
        EXPECT_TRUE(startsWith(text, corrupt)) << text;
        EXPECT_TRUE(text.ends_with(". Body: " + valid.substr(0, keep))) << text;
    }
    const std::string mistyped = diagnosticFor(GetParam().mistypedBody);
    EXPECT_TRUE(startsWith(mistyped, GetParam().mistypedDiagnosticStart)) << mistyped;
    EXPECT_TRUE(mistyped.ends_with(". Body: " + GetParam().mistypedBody)) << mistyped;

    const std::string type = std::string("kavo::KavoAPIClient::") + GetParam().name;
    for (const auto& [body, found] : std::vector<std::pair<std::string, std::string>>{
             {"[]", "an array"}, {"\"text\"", "a string"}, {"42", "a number"}}) {
        EXPECT_EQ(diagnosticFor(body), "Type mismatch (expected " + type + ") at " + kDash +
                                           "Expected to decode " + type + " but found " + found +
                                           " instead. Body: " + body);
    }
    EXPECT_EQ(diagnosticFor("null"), "Missing " + type + " value at . Body: null");
    EXPECT_EQ(diagnosticFor(R"({"x":1e400})"),
              corrupt + R"(number overflow parsing '1e400'. Body: {"x":1e400})");
    const std::string badUTF8 = diagnosticFor("{\"id\":\"\xFF\"}");
    EXPECT_TRUE(startsWith(badUTF8, corrupt) && badUTF8.ends_with(". Body: ")) << badUTF8;
}

TEST_P(WireTypeBadInputTest, HugeBodiesAreQuotedShortly) {
    // Several megabytes: one enormous array, one member of 2 MiB, deep nesting.
    std::string array = "[";
    for (int i = 0; i < 200000; ++i) array += "12345,";
    array += "0]";
    const std::string bigMember = R"({"unexpected":")" + std::string(2 << 20, 'z') + R"(",)" +
                                  GetParam().mistypedBody.substr(1);
    const std::string deep = std::string(200000, '[') + std::string(200000, ']');
    for (const std::string* body : std::vector<const std::string*>{&array, &bigMember, &deep}) {
        const std::string text = diagnosticFor(*body);
        const auto bodyAt = text.find(". Body: ");
        ASSERT_NE(bodyAt, std::string::npos) << text.substr(0, 200);
        EXPECT_EQ(text.substr(bodyAt + 8), body->substr(0, 300) + "...");
        EXPECT_LT(text.size(), 1000U);
    }
}

INSTANTIATE_TEST_SUITE_P(AllAnswers, WireTypeBadInputTest, ::testing::ValuesIn(wireCases()),
                         [](const auto& testInfo) { return std::string(testInfo.param.name); });

}  // namespace
}  // namespace kavo
