#include <gtest/gtest.h>

#include "capture/files/SidecarTimestamp.h"
#include "support/ScopedTimeZone.h"
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

std::optional<std::string> mostRecent(const std::vector<File>& files,
                                      const std::set<std::string>& excluded = {}) {
    const auto chosen = SupportCapture::mostRecent(files, excluded);
    if (!chosen) return std::nullopt;
    return chosen->sidecar.captureId;
}

TEST(SupportCaptureMostRecent, PicksTheLatestStartNotExcludedFirstListedOnATie) {
    const std::vector<File> files{
        file("a", "2024-03-04T09:00:00.000Z"), file("b", "2024-03-06T09:00:00.000Z"),
        file("c", "2024-03-05T09:00:00.000Z"), file("tie", "2024-03-05T09:00:00.000Z")};
    EXPECT_EQ(mostRecent(files), "b");
    EXPECT_EQ(mostRecent(files, {"b"}), "c");
    EXPECT_EQ(SupportCapture::mostRecent(files, {"b"})->startedAt, at("2024-03-05T09:00:00.000Z"));
    EXPECT_EQ(mostRecent(files, {"a", "b", "c", "tie"}), std::nullopt);
    EXPECT_EQ(mostRecent({}), std::nullopt);
}

TEST(SupportCaptureMostRecent, UnparsableStartFallsBackToCreationThenTheDistantPast) {
    const std::vector<File> files{
        file("dated", "2024-03-04T09:00:00.000Z"),
        file("created-later", "yesterday", at("2024-03-05T00:00:00.000Z")),
        file("no-date", "", std::nullopt)};
    const auto chosen = SupportCapture::mostRecent(files, {});
    EXPECT_EQ(chosen->sidecar.captureId, "created-later");
    EXPECT_EQ(chosen->startedAt, at("2024-03-05T00:00:00.000Z"));
    // Alone, a capture with no date at all is still offered.
    EXPECT_EQ(SupportCapture::mostRecent({files[2]}, {})->startedAt, WallTime::min());
}

TEST(SupportCaptureSummary, FileNameDateAndElapsedTime) {
    const testing::ScopedTimeZone zone("UTC0");
    CaptureSidecar sidecar;
    sidecar.audioFileName = "capture-6B1C.wav";
    sidecar.durationSeconds = 3725.9;
    EXPECT_EQ((SupportCapture{sidecar, at("2024-03-04T09:05:00.000Z")}).summary(),
              "capture-6B1C.wav \u2014 Mar 4, 2024, 09:05 \u2014 1:02:05");
    // Minutes below an hour, hours from an hour on, never negative.
    for (const auto& [seconds, text] : std::vector<std::pair<double, const char*>>{
             {0, "0:00"}, {5.99, "0:05"}, {3599.9, "59:59"}, {3600, "1:00:00"}, {-3, "0:00"}}) {
        EXPECT_EQ(formatElapsedSeconds(seconds), text) << seconds;
    }
}

}  // namespace
}  // namespace kavo
