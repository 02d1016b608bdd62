#include <gtest/gtest.h>

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
    EXPECT_EQ(mostRecent(files, {"a", "b", "c", "tie"}), std::nullopt);
}

}  // namespace
}  // namespace kavo
