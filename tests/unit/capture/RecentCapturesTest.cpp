#include <gtest/gtest.h>

#include <fstream>

#include "capture/RecentCaptureStore.h"
#include "capture/files/CapturesDirectory.h"
#include "support/TempDir.h"
#include "unit/files/FileTestSupport.h"

namespace kavo {
namespace {

TEST(RecentCaptureStore, OnlyReadableCaptureSidecarsAreListed) {
    testing::TempDir dir;
    testing::sidecarAtStart("GOOD").write(dir / captureSidecarFileName("GOOD"));
    testing::sidecarAtStart("OTHER").write(dir / "staged-blocks.json");
    std::ofstream(dir / "capture-GOOD.wav") << "RIFF";
    std::ofstream(dir / "capture-BROKEN.json") << "{ not json";
    std::filesystem::create_directory(dir / "capture-DIR.json");

    const auto files = RecentCaptureStore(dir.path()).sidecarFiles();
    ASSERT_EQ(files.size(), 1U);
    EXPECT_EQ(files[0].url, dir / "capture-GOOD.json");
    EXPECT_TRUE(RecentCaptureStore(dir / "absent").recent(3).empty());
}

}  // namespace
}  // namespace kavo
