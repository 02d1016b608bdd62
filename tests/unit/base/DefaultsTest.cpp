#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "base/AtomicFile.h"
#include "base/Defaults.h"
#include "support/TempDir.h"

namespace kavo {
namespace {

TEST(JsonFileDefaults, ValuesSurviveAReopenAndTheFileIsPrivate) {
    testing::TempDir dir;
    const auto file = dir / "conf" / "defaults.json";
    {
        JsonFileDefaults defaults(file);
        defaults.setBool("autoCaptureEnabled", false);
        defaults.setData("ledger", R"({"a":{"misses":2}})");
        EXPECT_THROW(defaults.setData("k", "not json"), DefaultsError);
    }
    JsonFileDefaults reopened(file);
    EXPECT_EQ(reopened.boolValue("autoCaptureEnabled"), false);
    EXPECT_EQ(reopened.data("ledger"), R"({"a":{"misses":2}})");
    EXPECT_FALSE(reopened.data("k"));
    struct stat info {};
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600U);

    // A corrupt file reads as empty and is set aside.
    std::ofstream(file) << "{not json";
    EXPECT_FALSE(JsonFileDefaults(file).data("ledger"));
    EXPECT_TRUE(std::filesystem::exists(dir / "conf" / "defaults.json.corrupt"));
}

TEST(AtomicFile, ReplacesWholeAndLeavesNoTemporaryFiles) {
    testing::TempDir dir;
    const auto file = dir / "state.json";
    writeFileAtomically(file, "first");
    writeFileAtomically(file, "second, longer");
    EXPECT_EQ(readFileIfExists(file), "second, longer");
    EXPECT_FALSE(readFileIfExists(dir / "missing"));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
    EXPECT_THROW(writeFileAtomically(dir / "no" / "such" / "folder", "x"), FileError);
}

}  // namespace
}  // namespace kavo
