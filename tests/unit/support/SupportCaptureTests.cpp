#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "capture/files/SidecarTimestamp.h"
#include "support/SupportCapture.h"

namespace kavo {
namespace {

using File = SupportCapture::SidecarFile;

File file(std::string id, std::string startedAt, std::optional<WallTime> createdAt = std::nullopt) {
    CaptureSidecar sidecar;
    sidecar.captureId = id;
    sidecar.audioFileName = "capture-" + id + ".wav";
    sidecar.startedAt = std::move(startedAt);
    return File{"capture-" + id + ".json", sidecar, createdAt};
}

WallTime at(const char* text) {
    return *SidecarTimestamp::parse(text);
}

TEST(SupportCaptureMostRecent, PicksTheLatestStartThatIsNotExcluded) {
    const std::vector<File> files{
        file("a", "2024-03-04T09:00:00.000Z"),
        file("b", "2024-03-06T09:00:00.000Z"),
        file("c", "2024-03-05T09:00:00.000Z"),
    };
    EXPECT_EQ(SupportCapture::mostRecent(files, {})->sidecar.captureId, "b");
    EXPECT_EQ(SupportCapture::mostRecent(files, {"b"})->sidecar.captureId, "c");
    EXPECT_EQ(SupportCapture::mostRecent(files, {"b"})->startedAt, at("2024-03-05T09:00:00.000Z"));
    EXPECT_EQ(SupportCapture::mostRecent(files, {"a", "b", "c"}), std::nullopt);
    EXPECT_EQ(SupportCapture::mostRecent({}, {}), std::nullopt);
}

TEST(SupportCaptureMostRecent, EqualStartsKeepListingOrder) {
    const std::vector<File> files{
        file("first", "2024-03-04T09:00:00.000Z"),
        file("second", "2024-03-04T09:00:00.000Z"),
    };
    EXPECT_EQ(SupportCapture::mostRecent(files, {})->sidecar.captureId, "first");
}

TEST(SupportCaptureMostRecent, UnparsableStartFallsBackToCreationThenTheDistantPast) {
    const std::vector<File> files{
        file("dated", "2024-03-04T09:00:00.000Z"),
        file("created-later", "yesterday", at("2024-03-05T00:00:00.000Z")),
        file("no-date", "", std::nullopt),
    };
    const auto chosen = SupportCapture::mostRecent(files, {});
    EXPECT_EQ(chosen->sidecar.captureId, "created-later");
    EXPECT_EQ(chosen->startedAt, at("2024-03-05T00:00:00.000Z"));
    // Alone, a capture with no date at all is still offered.
    EXPECT_EQ(SupportCapture::mostRecent({files[2]}, {})->startedAt, WallTime::min());
}

TEST(SupportCaptureSummary, FileNameDateAndElapsedTimeWithEmDashes) {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    CaptureSidecar sidecar;
    sidecar.audioFileName = "capture-6B1C.wav";
    sidecar.durationSeconds = 3725.9;
    const SupportCapture capture{sidecar, at("2024-03-04T09:05:00.000Z")};
    EXPECT_EQ(capture.summary(), "capture-6B1C.wav \u2014 Mar 4, 2024, 09:05 \u2014 1:02:05");
}

TEST(ElapsedTimeText, MinutesBelowAnHourHoursFromAnHourOn) {
    EXPECT_EQ(formatElapsedSeconds(0), "0:00");
    EXPECT_EQ(formatElapsedSeconds(5.99), "0:05");
    EXPECT_EQ(formatElapsedSeconds(754), "12:34");
    EXPECT_EQ(formatElapsedSeconds(3599.9), "59:59");
    EXPECT_EQ(formatElapsedSeconds(3600), "1:00:00");
    EXPECT_EQ(formatElapsedSeconds(3725), "1:02:05");
    EXPECT_EQ(formatElapsedSeconds(-3), "0:00");
}

}  // namespace
}  // namespace kavo
