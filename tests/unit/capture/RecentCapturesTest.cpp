#include <gtest/gtest.h>

#include <fstream>

#include "capture/RecentCapture.h"
#include "capture/RecentCaptureStore.h"
#include "capture/files/CapturesDirectory.h"
#include "capture/files/SidecarTimestamp.h"
#include "support/TempDir.h"

namespace kavo {
namespace {

using Ids = std::vector<std::string>;

class RecentCaptureStoreTest : public ::testing::Test {
protected:
    CaptureSidecar add(std::string id, std::string startedAt, std::string file = {}) {
        CaptureSidecar sidecar;
        sidecar.audioFileName = captureAudioFileName(id);
        sidecar.captureId = id;
        sidecar.startedAt = std::move(startedAt);
        sidecar.durationSeconds = 61;
        sidecar.write(dir / (file.empty() ? captureSidecarFileName(id) : file));
        return sidecar;
    }
    Ids recent(int limit, const std::set<std::string>& excluded = {}) const {
        Ids ids;
        for (const auto& capture : store.recent(limit, excluded)) ids.push_back(capture.captureId);
        return ids;
    }

    testing::TempDir dir;
    RecentCaptureStore store{dir.path()};
};

TEST_F(RecentCaptureStoreTest, NewestFirstUpToTheLimitLeavingOutExcludedOnes) {
    add("B", "2024-03-02T10:00:00.000Z");
    add("D", "2024-03-04T10:00:00.000Z");
    add("A", "2024-03-01T10:00:00.000Z");
    add("C", "2024-03-03T10:00:00.000Z");
    EXPECT_EQ(recent(3), (Ids{"D", "C", "B"}));
    EXPECT_EQ(recent(2, {"D", "B"}), (Ids{"C", "A"}));
    EXPECT_TRUE(recent(-1).empty());

    // An empty recording id is none; an unparseable start is the file's date, later than
    // any capture dated in 2024.
    auto undated = add("E", "yesterday");
    undated.recordingId = "";
    undated.write(dir / captureSidecarFileName("E"));
    const auto newest = store.recent(1).at(0);
    EXPECT_EQ(newest.captureId, "E");
    EXPECT_EQ(newest.recordingId, std::nullopt);
}

TEST_F(RecentCaptureStoreTest, OnlyReadableCaptureSidecarsAreListed) {
    add("GOOD", "2024-03-01T10:00:00.000Z");
    for (const char* file : {"staged-blocks.json", "capture-UPPER.JSON", ".capture-HIDDEN.json"})
        add("OTHER", "2024-03-02T10:00:00.000Z", file);
    std::ofstream(dir / "capture-GOOD.wav") << "RIFF";
    std::ofstream(dir / "capture-BROKEN.json") << "{ not json";
    std::filesystem::create_directory(dir / "capture-DIR.json");

    const auto files = store.sidecarFiles();
    ASSERT_EQ(files.size(), 1U);
    EXPECT_EQ(files[0].url, dir / "capture-GOOD.json");
    EXPECT_TRUE(RecentCaptureStore(dir / "absent").recent(3).empty());
}

}  // namespace
}  // namespace kavo
