#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "capture/files/CaptureArtifacts.h"
#include "capture/files/CaptureSidecar.h"
#include "unit/files/FileTestSupport.h"

namespace kavo {
namespace {

using nlohmann::ordered_json;

CaptureSidecar atStart() {
    return testing::sidecarAtStart("0F1E2D3C-4B5A-4978-8695-A4B3C2D1E0F9",
                                   "2024-03-04T09:05:07.250Z");
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

// The file as it stands at start: sorted keys, the format, nothing absent written.
TEST(CaptureSidecar, EncodesSortedKeysAndDecodesWhatItEncodesExactly) {
    EXPECT_EQ(atStart().encode(), R"({
  "audioFileName": "capture-0F1E2D3C-4B5A-4978-8695-A4B3C2D1E0F9.wav",
  "bitsPerSample": 16,
  "captureId": "0F1E2D3C-4B5A-4978-8695-A4B3C2D1E0F9",
  "channels": 1,
  "deviceEvents": [],
  "durationSeconds": 0.0,
  "pausedSeconds": 0.0,
  "sampleRateHz": 16000,
  "startedAt": "2024-03-04T09:05:07.250Z"
})");
    EXPECT_EQ(CaptureSidecar::decode(complete().encode()), complete());
    // A device name that is not UTF-8 still encodes.
    auto odd = complete();
    odd.deviceEvents[0].detail = "Headset \xC3\x28 -> microphone";
    EXPECT_EQ(CaptureSidecar::decode(odd.encode()).deviceEvents[0].detail,
              "Headset \xEF\xBF\xBD( -> microphone");
}

// A sidecar that lost a key or changed a type fails naming it, never decodes a default.
TEST(CaptureSidecar, AMissingKeyOrAWrongTypeFailsToDecodeWithTheKeyNamed) {
    const std::vector<std::pair<std::function<void(ordered_json&)>, const char*>> cases = {
        {[](auto& j) { j.erase("pausedSeconds"); }, "key \"pausedSeconds\" is missing"},
        {[](auto& j) { j["durationSeconds"] = "12.5"; }, "key \"durationSeconds\" is not a number"},
        {[](auto& j) { j["sampleRateHz"] = 16000.5; }, "key \"sampleRateHz\" is not an integer"},
        {[](auto& j) { j["deviceEvents"] = ordered_json::object(); },
         "key \"deviceEvents\" is not a list"},
        {[](auto& j) { j["deviceEvents"][1].erase("kind"); },
         "key \"deviceEvents[1].kind\" is missing"},
        {[](auto& j) { j["sources"][1]["totalFrames"] = "59601000"; },
         "key \"sources[1].totalFrames\" is not an integer"},
        {[](auto& j) { j["sources"][0] = 1; }, "\"sources[0]\" is not an object"},
        {[](auto& j) { j["uploadState"] = false; }, "key \"uploadState\" is not text"},
    };
    for (const auto& [spoil, message] : cases) {
        auto json = ordered_json::parse(complete().encode());
        spoil(json);
        try {
            CaptureSidecar::decode(json.dump());
            ADD_FAILURE() << message << ": decoded";
        } catch (const SidecarError& error) {
            EXPECT_EQ(std::string(error.what()),
                      std::string("The capture sidecar is not valid: ") + message);
        }
    }
}

}  // namespace
}  // namespace kavo
