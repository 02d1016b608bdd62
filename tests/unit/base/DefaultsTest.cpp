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
        defaults.setBool("brindle.meetings.desktop.autoCaptureEnabled", false);
        defaults.setData("kavo.reconcileLedger", R"({"entries":{"a":{"misses":2}}})");
        defaults.setData("gone", "[1]");
        defaults.remove("gone");
    }
    JsonFileDefaults reopened(file);
    EXPECT_EQ(reopened.boolValue("brindle.meetings.desktop.autoCaptureEnabled"), false);
    EXPECT_EQ(reopened.data("kavo.reconcileLedger"), R"({"entries":{"a":{"misses":2}}})");
    EXPECT_FALSE(reopened.data("gone"));
    EXPECT_FALSE(reopened.boolValue("kavo.reconcileLedger"));
    struct stat info {};
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600U);
}

TEST(JsonFileDefaults, RefusesNonJsonAndSetsACorruptFileAside) {
    testing::TempDir dir;
    const auto file = dir / "defaults.json";
    std::ofstream(file) << "{not json";
    JsonFileDefaults defaults(file);
    EXPECT_FALSE(defaults.data("anything"));
    EXPECT_TRUE(std::filesystem::exists(dir / "defaults.json.corrupt"));
    EXPECT_THROW(defaults.setData("k", "not json"), DefaultsError);
    EXPECT_FALSE(defaults.data("k"));
}

TEST(AtomicFile, ReplacesWholeAndLeavesNoTemporaryFiles) {
    testing::TempDir dir;
    const auto file = dir / "state.json";
    writeFileAtomically(file, "first");
    writeFileAtomically(file, "second, longer");
    EXPECT_EQ(readFileIfExists(file), "second, longer");
    EXPECT_FALSE(readFileIfExists(dir / "missing"));
    int entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.path())) ++entries;
    EXPECT_EQ(entries, 1);
    EXPECT_THROW(writeFileAtomically(dir / "no" / "such" / "folder", "x"), FileError);
}

}  // namespace
}  // namespace kavo
