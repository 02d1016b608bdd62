#include <gtest/gtest.h>

#include <regex>

#include "base/AppPaths.h"
#include "base/AtomicFile.h"
#include "capture/files/CaptureArtifacts.h"
#include "capture/files/CapturesDirectory.h"
#include "support/TempDir.h"
#include "unit/files/FileTestSupport.h"

namespace kavo {
namespace {

TEST(CapturesDirectory, CaptureIdsAreFreshUpperCaseVersion4Uuids) {
    const std::regex form("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
    const auto first = makeCaptureId();
    EXPECT_TRUE(std::regex_match(first, form)) << first;
    EXPECT_NE(makeCaptureId(), first);
}

TEST(CapturesDirectory, IsCreatedWithItsParentsAndAnExistingOneIsKept) {
    testing::TempDir dir;
    AppPaths paths;
    paths.dataDirectory = dir / "share" / "brindle.meetings.desktop";
    const auto captures = paths.capturesDirectory();
    createCapturesDirectory(captures);
    EXPECT_TRUE(std::filesystem::is_directory(captures));
    testing::writeBytes(captures / "capture-A.wav", "kept");
    createCapturesDirectory(captures);
    EXPECT_EQ(testing::readBytes(captures / "capture-A.wav"), "kept");

    testing::writeBytes(dir / "Captures", "a file in the way");
    EXPECT_THROW(createCapturesDirectory(dir / "Captures"), FileError);
    EXPECT_THROW(createCapturesDirectory(dir / "Captures" / "inner"), FileError);
}

}  // namespace
}  // namespace kavo
