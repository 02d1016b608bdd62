#include <gtest/gtest.h>

#include "base/Log.h"

namespace kavo {
namespace {

TEST(Log, CaptureRecordsCategoryLevelAndFormattedText) {
    LogCapture capture;
    Logger mixer("Mixer");
    mixer.info("Mixer stopped: frames={} {}", 16000, "mic[rate=48000]");
    Logger("WavWriter").notice("Repaired {}", "capture-A.wav");
    Logger("WavWriter").error("failed");

    const auto entries = capture.entries();
    ASSERT_EQ(entries.size(), 3U);
    EXPECT_EQ(entries[0].category, "Mixer");
    EXPECT_EQ(entries[0].level, LogLevel::info);
    EXPECT_EQ(entries[0].message, "Mixer stopped: frames=16000 mic[rate=48000]");
    EXPECT_EQ(entries[1].level, LogLevel::notice);
    EXPECT_EQ(toString(entries[1].level), "default");
    EXPECT_EQ(entries[2].level, LogLevel::error);
    EXPECT_TRUE(capture.contains("WavWriter", "capture-A"));
    EXPECT_FALSE(capture.contains("Mixer", "capture-A"));
}

}  // namespace
}  // namespace kavo
