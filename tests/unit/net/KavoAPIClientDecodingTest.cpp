#include <gtest/gtest.h>

#include <chrono>
#include <functional>

#include "ClientTestSupport.h"
#include "base/Log.h"
#include "net/DecodingError.h"

namespace kavo {
namespace {

using namespace std::chrono;

const std::string kDash = " \u2014 ";

std::string decodingText(const KavoAPIError& error) {
    EXPECT_EQ(error.kind(), KavoAPIError::Kind::decoding) << error.what();
    return error.payload();
}

TEST_F(ClientTest, AnswersDecodeIntoTheirWireTypes) {
    transport->enqueue(200, R"({"recording_id":"rec-1","state":"PROCESSING","extra":[1,2]})");
    transport->enqueue(200, R"({"id":"srv-9","recording_id":null,"state":"DELIVERED","error_message":null,
        "delivered_at":"2025-03-04T09:15:00.123456+00:00","kavo_job_id":"job","meeting_title":"Weekly",
        "is_owner":true,"effective_permission":"owner"})");
    transport->enqueue(200, R"({"id":"u1","email":"ann@example.com","name":"Ann","is_admin":true,"meetings_access":false})");
    transport->enqueue(200, R"({"app_name":"Kavo","primary_logo_dark_url":"d","primary_logo_light_url":"l",
        "secondary_logo_dark_url":null,"secondary_logo_light_url":"sl","primary_color":"#123456",
        "meetings_enabled":true,"live_artifacts_enabled":false,"sharing_enabled":true})");

    KavoAPIClient::FinalizeUploadRequest finalize;
    finalize.recordingId = "rec-1";
    EXPECT_EQ(client.finalizeUpload(finalize), KavoAPIClient::FinalizeOutcome::finalized("rec-1", "PROCESSING"));

    KavoAPIClient::RecordingStatusResponse status;
    status.id = "srv-9";
    status.state = "DELIVERED";
    status.deliveredAt = sys_days{year{2025} / 3 / 4} + hours{9} + minutes{15} + microseconds{123456};
    status.kavoJobId = "job";
    status.meetingTitle = "Weekly";
    status.isOwner = true;
    status.effectivePermission = "owner";
    EXPECT_EQ(client.recordingStatus("srv-9"), status);

    EXPECT_EQ(client.currentUser(), (KavoAPIClient::CurrentUserResponse{"u1", "ann@example.com", "Ann", true, false}));

    KavoAPIClient::BrandingResponse branding;
    branding.appName = "Kavo";
    branding.primaryLogoDarkURL = "d";
    branding.primaryLogoLightURL = "l";
    branding.secondaryLogoLightURL = "sl";
    branding.primaryColor = "#123456";
    branding.meetingsEnabled = true;
    branding.liveArtifactsEnabled = false;
    branding.sharingEnabled = true;
    EXPECT_EQ(client.branding(), branding);
}

TEST_F(ClientTest, MissingRequiredKeyNamesTheKeyAndQuotesTheBody) {
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
    EXPECT_EQ(entries[0].message, "Decode failure on /tenant/api/v1/meetings/uploads/finalize: " + text);
}

// Misfits of a member that the per-type table below does not reach: a null where a
// text is required, and a date that is no text at all.
TEST_F(ClientTest, NullMemberAndNonTextDateHaveTheirOwnDiagnostics) {
    const auto statusError = [&](const std::string& body) {
        transport->enqueue(200, body);
        return decodingText(apiErrorOf([&] { client.recordingStatus("r"); }));
    };
    EXPECT_EQ(statusError(R"({"state":null})"), R"(Missing std::string value at state. Body: {"state":null})");
    EXPECT_EQ(statusError(R"({"state":"X","delivered_at":17})"),
              "Type mismatch (expected std::string) at delivered_at" + kDash +
                  R"(Expected to decode std::string but found a number instead. Body: {"state":"X","delivered_at":17})");
    EXPECT_EQ(statusError("  \n"), "Data corrupted at " + kDash +
                                       "The given data was not valid JSON: parse error at line 2, column 1: syntax "
                                       "error while parsing value - unexpected end of input; expected '[', '{', or "
                                       "a literal. Body: ");
}

TEST(KavoAPIClientDiagnostics, BodyExcerptIsTrimmedUTF8OfAtMost300Characters) {
    const std::runtime_error other("The operation could not be completed");
    EXPECT_EQ(KavoAPIClient::describeDecodingError(other, "\n  short  \n"),
              "The operation could not be completed. Body: short");
    const std::string longBody = " " + std::string(301, 'b') + " ";
    EXPECT_EQ(KavoAPIClient::describeDecodingError(other, longBody),
              "The operation could not be completed. Body: " + std::string(300, 'b') + "...");
    EXPECT_EQ(KavoAPIClient::describeDecodingError(other, std::string(300, 'c')),
              "The operation could not be completed. Body: " + std::string(300, 'c'));
    EXPECT_EQ(KavoAPIClient::describeDecodingError(other, "\x80\x81 not text"),
              "The operation could not be completed. Body: ");
}

TEST(KavoAPIClientDiagnostics, CodingPathWritesIndexesInBrackets) {
    const DecodingError nested = DecodingError::valueNotFound(
        "bool", {CodingKey::named("speakers"), CodingKey::index(2), CodingKey::named("accepted")}, "null");
    EXPECT_EQ(KavoAPIClient::describeDecodingError(nested, "{}"), "Missing bool value at speakers.[2].accepted. Body: {}");
    EXPECT_EQ(codingPathText({CodingKey{"", std::nullopt}}), "[-1]");
    EXPECT_EQ(codingPathText({}), "");
    const DecodingError missing =
        DecodingError::keyNotFound(CodingKey::named("name"), {CodingKey::named("speakers"), CodingKey::index(0)}, "");
    EXPECT_EQ(KavoAPIClient::describeDecodingError(missing, ""), "Missing key 'name' at speakers.[0]. Body: ");
}

// Every answer type meets a truncated, a mistyped and a huge body: each is a decoding
// error whose text says what went wrong and quotes no more than 300 characters of it.
struct WireCase {
    const char* name;
    std::function<void(const KavoAPIClient&)> call;
    std::string validBody;
    // Valid but for one member of the wrong type.
    std::string mistypedBody;
    std::string mistypedDiagnosticStart;
};

std::vector<WireCase> wireCases() {
    return {
        {"InitUploadResponse", [](const KavoAPIClient& c) { c.initUpload({"a.wav", "audio/wav", 10}); },
         R"({"recording_id":"r","upload_url":"u","blob_path":"p"})",
         R"({"recording_id":"r","upload_url":["u"],"blob_path":"p"})",
         "Type mismatch (expected std::string) at upload_url" + kDash + "Expected to decode std::string but found an array"},
        {"FinalizeUploadResponse",
         [](const KavoAPIClient& c) {
             KavoAPIClient::FinalizeUploadRequest request;
             request.recordingId = "r";
             c.finalizeUpload(request);
         },
         R"({"recording_id":"r","state":"PROCESSING"})", R"({"recording_id":{"id":"r"},"state":"PROCESSING"})",
         "Type mismatch (expected std::string) at recording_id" + kDash + "Expected to decode std::string but found an object"},
        {"RecordingStatusResponse", [](const KavoAPIClient& c) { c.recordingStatus("r"); }, R"({"state":"DELIVERED"})",
         R"({"state":"DELIVERED","delivered_at":"yesterday"})",
         "Data corrupted at delivered_at" + kDash + "Could not parse date: 'yesterday'"},
        {"CurrentUserResponse", [](const KavoAPIClient& c) { c.currentUser(); },
         R"({"id":"u","email":"e","name":"n","is_admin":false,"meetings_access":true})",
         R"({"id":"u","email":"e","name":"n","is_admin":0,"meetings_access":true})",
         "Type mismatch (expected bool) at is_admin" + kDash + "Expected to decode bool but found a number"},
        {"BrandingResponse", [](const KavoAPIClient& c) { c.branding(); }, R"({"app_name":"Kavo"})",
         R"({"app_name":"Kavo","sharing_enabled":"true"})",
         "Type mismatch (expected bool) at sharing_enabled" + kDash + "Expected to decode bool but found a string"},
        {"FeedbackTicketResponse", [](const KavoAPIClient& c) { c.submitFeedback(validFeedback()); },
         R"({"id":"T","created_at":"2025-03-04T09:15:00Z"})", R"({"id":"T","created_at":"2025-03-04T09:15:00"})",
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

TEST_P(WireTypeBadInputTest, ValidBodyDecodes) {
    transport->enqueue(200, GetParam().validBody);
    EXPECT_NO_THROW(GetParam().call(client));
}

TEST_P(WireTypeBadInputTest, TruncatedBodyIsCorruptData) {
    const std::string& valid = GetParam().validBody;
    for (const std::size_t keep : {std::size_t{0}, std::size_t{1}, valid.size() / 2, valid.size() - 1}) {
        const std::string truncated = valid.substr(0, keep);
        const std::string text = diagnosticFor(truncated);
        EXPECT_EQ(text.rfind("Data corrupted at " + kDash + "The given data was not valid JSON: ", 0), 0U) << text;
        EXPECT_TRUE(text.ends_with(". Body: " + truncated)) << text;
    }
}

TEST_P(WireTypeBadInputTest, MistypedMemberIsNamed) {
    const std::string text = diagnosticFor(GetParam().mistypedBody);
    EXPECT_EQ(text.rfind(GetParam().mistypedDiagnosticStart, 0), 0U) << text;
    EXPECT_TRUE(text.ends_with(". Body: " + GetParam().mistypedBody)) << text;
}

TEST_P(WireTypeBadInputTest, WrongTopLevelValueIsATypeMismatchOfTheWireType) {
    const std::string type = std::string("kavo::KavoAPIClient::") + GetParam().name;
    for (const auto& [body, found] : std::vector<std::pair<std::string, std::string>>{
             {"[]", "an array"}, {"\"text\"", "a string"}, {"42", "a number"}, {"true", "a boolean"}}) {
        EXPECT_EQ(diagnosticFor(body), "Type mismatch (expected " + type + ") at " + kDash + "Expected to decode " +
                                           type + " but found " + found + " instead. Body: " + body);
    }
    EXPECT_EQ(diagnosticFor("null"), "Missing " + type + " value at . Body: null");
}

TEST_P(WireTypeBadInputTest, HugeBodiesAreQuotedShortly) {
    // Several megabytes: one enormous array, one member holding a 2 MiB string, deep nesting.
    std::string array = "[";
    for (int i = 0; i < 200000; ++i) array += "12345,";
    array += "0]";
    const std::string bigMember = R"({"unexpected":")" + std::string(2 << 20, 'z') + R"(",)" + GetParam().mistypedBody.substr(1);
    const std::string deep = std::string(200000, '[') + std::string(200000, ']');

    for (const std::string* body : std::vector<const std::string*>{&array, &bigMember, &deep}) {
        const std::string text = diagnosticFor(*body);
        const auto bodyAt = text.find(". Body: ");
        ASSERT_NE(bodyAt, std::string::npos) << text.substr(0, 200);
        EXPECT_EQ(text.substr(bodyAt + 8), body->substr(0, 300) + "...");
        EXPECT_LT(text.size(), 1000U);
    }
}

TEST_P(WireTypeBadInputTest, NumbersBeyondDoubleAndBadUTF8AreCorruptData) {
    EXPECT_EQ(diagnosticFor(R"({"x":1e400})"),
              "Data corrupted at " + kDash +
                  R"(The given data was not valid JSON: number overflow parsing '1e400'. Body: {"x":1e400})");
    const std::string text = diagnosticFor("{\"id\":\"\xFF\"}");
    EXPECT_EQ(text.rfind("Data corrupted at " + kDash + "The given data was not valid JSON: ", 0), 0U) << text;
    EXPECT_TRUE(text.ends_with(". Body: ")) << text;
}

INSTANTIATE_TEST_SUITE_P(AllAnswers, WireTypeBadInputTest, ::testing::ValuesIn(wireCases()),
                         [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST_F(ClientTest, UnparseableDateQuotesOnlyItsStart) {
    transport->enqueue(200, R"({"state":"X","delivered_at":")" + std::string(5000, '9') + R"("})");
    const std::string text = decodingText(apiErrorOf([&] { client.recordingStatus("r"); }));
    EXPECT_EQ(text.rfind("Data corrupted at delivered_at" + kDash + "Could not parse date: '" + std::string(100, '9') +
                             "...'. Body: ",
                         0),
              0U)
        << text.substr(0, 300);
}

}  // namespace
}  // namespace kavo
