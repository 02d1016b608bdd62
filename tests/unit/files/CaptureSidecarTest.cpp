#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "base/AtomicFile.h"
#include "capture/files/CaptureSidecar.h"
#include "support/TempDir.h"
#include "unit/files/FileTestSupport.h"

namespace kavo {
namespace {

using nlohmann::ordered_json;

// As the capture session writes it at start.
CaptureSidecar atStart() {
    return testing::sidecarAtStart("0F1E2D3C-4B5A-4978-8695-A4B3C2D1E0F9", "2024-03-04T09:05:07.250Z");
}

// As it stands after a stop, an upload and a poll.
CaptureSidecar complete() {
    CaptureSidecar sidecar = atStart();
    sidecar.endedAt = "2024-03-04T10:07:12.001Z";
    sidecar.durationSeconds = 3725.0625;
    sidecar.deviceEvents = {
        {"2024-03-04T09:30:00.000Z", "deviceChange", "defaultOutputDevice -> systemAudio"},
        {"2024-03-04T09:30:00.412Z", "rebuild", std::nullopt}};
    sidecar.sources =
        std::vector<CaptureSidecar::SourceStats>{{"mic", 48'000, 59'601'000, 120, 7, 59'600'880},
                                                 {"system", 44'100, 59'601'000, 59'601'000, 0, 0}};
    sidecar.recordingId = "rec-42";
    sidecar.blobPath = "tenant/rec-42.wav";
    sidecar.uploadState = "DELIVERED";
    return sidecar;
}

std::vector<std::string> keysInFileOrder(const ordered_json& object) {
    std::vector<std::string> keys;
    for (const auto& [key, value] : object.items()) keys.push_back(key);
    return keys;
}

TEST(CaptureSidecar, TheStartSidecarHoldsExactlyTheStartKeysInSortedOrder) {
    const auto json = ordered_json::parse(atStart().encode());
    EXPECT_EQ(keysInFileOrder(json),
              (std::vector<std::string>{"audioFileName", "bitsPerSample", "captureId", "channels",
                                        "deviceEvents", "durationSeconds", "pausedSeconds",
                                        "sampleRateHz", "startedAt"}));
    EXPECT_EQ(json["deviceEvents"], ordered_json::array());
    EXPECT_EQ(json["durationSeconds"], 0);
    EXPECT_EQ(json["pausedSeconds"], 0);
    EXPECT_EQ(json["sampleRateHz"], 16'000);
    EXPECT_EQ(json["channels"], 1);
    EXPECT_EQ(json["bitsPerSample"], 16);
    EXPECT_EQ(atStart().encode().find("null"), std::string::npos);
}

TEST(CaptureSidecar, EveryKeyIsSortedAtEveryLevelAndAbsentDetailIsLeftOut) {
    const auto json = ordered_json::parse(complete().encode());
    EXPECT_EQ(keysInFileOrder(json),
              (std::vector<std::string>{"audioFileName", "bitsPerSample", "blobPath", "captureId",
                                        "channels", "deviceEvents", "durationSeconds", "endedAt",
                                        "pausedSeconds", "recordingId", "sampleRateHz", "sources",
                                        "startedAt", "uploadState"}));
    EXPECT_EQ(keysInFileOrder(json["deviceEvents"][0]),
              (std::vector<std::string>{"at", "detail", "kind"}));
    EXPECT_EQ(keysInFileOrder(json["deviceEvents"][1]), (std::vector<std::string>{"at", "kind"}));
    EXPECT_EQ(keysInFileOrder(json["sources"][0]),
              (std::vector<std::string>{"droppedSourceFrames", "lastRealFrame", "name",
                                        "sampleRateHz", "totalFrames", "underrunFrames"}));
    EXPECT_EQ(json["deviceEvents"][0]["detail"], "defaultOutputDevice -> systemAudio");
    EXPECT_EQ(json["sources"][1]["underrunFrames"], 59'601'000);
}

TEST(CaptureSidecar, DecodesWhatItEncodesExactly) {
    EXPECT_EQ(CaptureSidecar::decode(atStart().encode()), atStart());
    EXPECT_EQ(CaptureSidecar::decode(complete().encode()), complete());
    auto odd = complete();
    odd.durationSeconds = 1.0 / 3.0;
    odd.deviceEvents[0].detail = "Kopfhörer \"USB\" -> microphone\n";
    odd.sources->clear();
    EXPECT_EQ(CaptureSidecar::decode(odd.encode()), odd);
}

TEST(CaptureSidecar, ADeviceNameThatIsNotUtf8StillEncodes) {
    auto sidecar = complete();
    sidecar.deviceEvents[0].detail = "Headset \xC3\x28 -> microphone";
    const auto decoded = CaptureSidecar::decode(sidecar.encode());
    EXPECT_EQ(decoded.deviceEvents[0].detail, "Headset \xEF\xBF\xBD( -> microphone");
    EXPECT_EQ(decoded.uploadState, "DELIVERED");
}

TEST(CaptureSidecar, EqualityCoversTheUploadFields) {
    auto other = complete();
    other.uploadState = "FAILED";
    EXPECT_NE(other, complete());
    other.uploadState = std::nullopt;
    EXPECT_NE(other, complete());
}

TEST(CaptureSidecar, ACrashedCapturesSidecarDecodesAndUnknownKeysAndNullOptionalsAreAccepted) {
    auto json = ordered_json::parse(atStart().encode());
    json["durationSeconds"] = 60;
    json["futureKey"] = {{"nested", true}};
    json["endedAt"] = nullptr;
    const auto sidecar = CaptureSidecar::decode(json.dump());
    EXPECT_EQ(sidecar.durationSeconds, 60.0);
    EXPECT_FALSE(sidecar.endedAt);
    EXPECT_FALSE(sidecar.sources);
}

struct BadSidecar {
    const char* name;
    std::function<void(ordered_json&)> spoil;
    const char* message;
};

// A sidecar that lost a key or changed a type must fail with a message naming it,
// never decode with a default in its place.
TEST(CaptureSidecar, AMissingKeyOrAWrongTypeFailsToDecodeWithTheKeyNamed) {
    const std::vector<BadSidecar> cases = {
        {"no pausedSeconds", [](auto& j) { j.erase("pausedSeconds"); },
         "key \"pausedSeconds\" is missing"},
        {"no captureId", [](auto& j) { j.erase("captureId"); }, "key \"captureId\" is missing"},
        {"null startedAt", [](auto& j) { j["startedAt"] = nullptr; },
         "key \"startedAt\" is missing"},
        {"no deviceEvents", [](auto& j) { j.erase("deviceEvents"); },
         "key \"deviceEvents\" is missing"},
        {"text duration", [](auto& j) { j["durationSeconds"] = "12.5"; },
         "key \"durationSeconds\" is not a number"},
        {"fractional rate", [](auto& j) { j["sampleRateHz"] = 16000.5; },
         "key \"sampleRateHz\" is not an integer"},
        {"boolean channels", [](auto& j) { j["channels"] = true; },
         "key \"channels\" is not an integer"},
        {"numeric id", [](auto& j) { j["captureId"] = 7; }, "key \"captureId\" is not text"},
        {"events object", [](auto& j) { j["deviceEvents"] = ordered_json::object(); },
         "key \"deviceEvents\" is not a list"},
        {"event without kind", [](auto& j) { j["deviceEvents"][1].erase("kind"); },
         "key \"deviceEvents[1].kind\" is missing"},
        {"numeric detail", [](auto& j) { j["deviceEvents"][0]["detail"] = 3; },
         "key \"deviceEvents[0].detail\" is not text"},
        {"text frames", [](auto& j) { j["sources"][1]["totalFrames"] = "59601000"; },
         "key \"sources[1].totalFrames\" is not an integer"},
        {"source not object", [](auto& j) { j["sources"][0] = 1; },
         "\"sources[0]\" is not an object"},
        {"numeric endedAt", [](auto& j) { j["endedAt"] = 1709546832.0; },
         "key \"endedAt\" is not text"},
        {"sources object", [](auto& j) { j["sources"] = ordered_json::object(); },
         "key \"sources\" is not a list"},
        {"boolean state", [](auto& j) { j["uploadState"] = false; },
         "key \"uploadState\" is not text"},
    };
    for (const auto& bad : cases) {
        auto json = ordered_json::parse(complete().encode());
        bad.spoil(json);
        try {
            CaptureSidecar::decode(json.dump());
            ADD_FAILURE() << bad.name << ": decoded";
        } catch (const SidecarError& error) {
            EXPECT_EQ(std::string(error.what()),
                      std::string("The capture sidecar is not valid: ") + bad.message)
                << bad.name;
        }
    }
}

TEST(CaptureSidecar, TextThatIsNotASidecarObjectFailsToDecode) {
    // A number too large for a double is refused by the parser in a way of its own.
    for (const std::string text :
         {"", "{\"captureId\": ", "[1, 2]", "null", "\"capture\"", "{\"durationSeconds\": 36E659}"}) {
        EXPECT_THROW(CaptureSidecar::decode(text), SidecarError) << text;
    }
    EXPECT_THROW(CaptureSidecar::decode("\xff\xfe{}"), SidecarError);
}

TEST(CaptureSidecar, OnlyAMicThatWasAtLeast98PercentUnderrunIsSilent) {
    auto sidecar = atStart();
    EXPECT_TRUE(sidecar.silentSources().empty());

    auto withMic = [&](std::int64_t total, std::int64_t underrun, const std::string& name = "mic") {
        sidecar.sources = std::vector<CaptureSidecar::SourceStats>{
            {name, 48'000, total, underrun, 0, 0}, {"system", 48'000, 100, 100, 0, 0}};
        return sidecar.silentSources();
    };
    EXPECT_EQ(withMic(100, 98), std::vector<std::string>{"mic"});
    EXPECT_EQ(withMic(100, 100), std::vector<std::string>{"mic"});
    EXPECT_TRUE(withMic(100, 97).empty());
    EXPECT_TRUE(withMic(10'000, 9'799).empty());
    EXPECT_TRUE(withMic(0, 0).empty());
    EXPECT_TRUE(withMic(0, 5).empty());
    EXPECT_TRUE(withMic(100, 100, "Mic").empty());
}

TEST(CaptureSidecar, WriteReplacesTheFileWholeAndReadGivesItBack) {
    testing::TempDir dir;
    const auto file = dir / "capture-X.json";
    atStart().write(file);
    EXPECT_EQ(CaptureSidecar::read(file), atStart());
    complete().write(file);
    EXPECT_EQ(CaptureSidecar::read(file), complete());
    EXPECT_EQ(testing::readBytes(file), complete().encode());
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);

    EXPECT_THROW(complete().write(dir / "missing" / "capture-X.json"), FileError);
    EXPECT_THROW(CaptureSidecar::read(dir / "capture-Y.json"), SidecarError);
    testing::writeBytes(dir / "capture-Z.json", "{\"captureId\": \"Z\"}");
    EXPECT_THROW(CaptureSidecar::read(dir / "capture-Z.json"), SidecarError);
}

}  // namespace
}  // namespace kavo
