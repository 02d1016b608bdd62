#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/Log.h"
#include "capture/files/CaptureSidecar.h"
#include "capture/files/WavRepair.h"
#include "support/TempDir.h"
#include "unit/files/FileTestSupport.h"

namespace kavo {
namespace {

CaptureSidecar startedSidecar() { return testing::sidecarAtStart("A", "2026-03-02T09:15:00.000Z"); }

// A capture that died before its first sidecar refresh: its sidecar says 0 s.
TEST(WavRepairSidecar, ACaptureThatNeverEndedTakesTheLengthOfItsRepairedAudio) {
    testing::TempDir dir;
    // 16 kHz mono 16-bit: 48,000 bytes are 1.5 s, and the torn byte is dropped.
    testing::writeBytes(dir / "capture-A.wav",
                        testing::openCaptureHeader() + testing::sampleBytes(0, 24'000) + "\x01");
    startedSidecar().write(dir / "capture-A.json");
    LogCapture logs;

    EXPECT_EQ(repairIncompleteCaptures(dir.path()).size(), 1u);
    auto expected = startedSidecar();
    expected.durationSeconds = 1.5;
    EXPECT_EQ(CaptureSidecar::read(dir / "capture-A.json"), expected);
    EXPECT_EQ(logs.messages("WavWriter"),
              (std::vector<std::string>{"Repaired capture-A.wav: data=48000 bytes",
                                        "Its sidecar now gives the repaired length, 1.50 s"}));
}

TEST(WavRepairSidecar, AnEndedCaptureAndAnUnreadableSidecarAreLeftAsTheyAre) {
    testing::TempDir dir;
    auto ended = startedSidecar();
    ended.endedAt = "2026-03-02T09:15:09.000Z";
    ended.durationSeconds = 9;
    testing::writeBytes(dir / "capture-A.wav", testing::openCaptureHeader() + testing::sampleBytes(0, 8'000));
    ended.write(dir / "capture-A.json");
    testing::writeBytes(dir / "capture-B.wav", testing::openCaptureHeader() + testing::sampleBytes(0, 8'000));
    testing::writeBytes(dir / "capture-B.json", "{not json");
    LogCapture logs;

    // Both audio files are still repaired; only the sidecars are not touched.
    EXPECT_EQ(repairIncompleteCaptures(dir.path()).size(), 2u);
    EXPECT_EQ(CaptureSidecar::read(dir / "capture-A.json"), ended);
    EXPECT_EQ(testing::readBytes(dir / "capture-B.json"), "{not json");
    const auto messages = logs.messages("WavWriter");
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(std::count_if(messages.begin(), messages.end(),
                            [](const std::string& message) {
                                return message.starts_with(
                                    "Could not give the sidecar of capture-B.wav its repaired length: ");
                            }),
              1)
        << ::testing::PrintToString(messages);
}

}  // namespace
}  // namespace kavo
