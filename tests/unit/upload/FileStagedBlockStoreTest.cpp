#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "base/AtomicFile.h"
#include "support/TempDir.h"
#include "upload/FileStagedBlockStore.h"

namespace kavo {
namespace {

nlohmann::json fileContent(const std::filesystem::path& file) {
    return nlohmann::json::parse(readFileIfExists(file).value());
}

TEST(FileStagedBlockStore, KeepsEachKeysIndexesAscendingWithoutDuplicatesAcrossReopen) {
    testing::TempDir dir;
    const auto file = dir / "Captures" / "staged-blocks.json";
    {
        FileStagedBlockStore store(file);
        for (const int index : {3, 3, 5, 2}) store.markStaged(index, "rec-a");
        store.markStaged(0, "rec-b");
    }
    EXPECT_EQ(fileContent(file), nlohmann::json::parse(R"({"rec-a":[2,3,5],"rec-b":[0]})"));
    FileStagedBlockStore reopened(file);
    EXPECT_EQ(reopened.stagedBlocks("rec-a"), (std::set<int>{2, 3, 5}));
    EXPECT_TRUE(reopened.stagedBlocks("rec-c").empty());

    reopened.clear("rec-a");
    EXPECT_EQ(fileContent(file), nlohmann::json::parse(R"({"rec-b":[0]})"));
}

TEST(FileStagedBlockStore, TreatsUnreadableContentAsEmptyAndReplacesItOnTheNextMark) {
    for (const std::string& corrupt : std::initializer_list<std::string>{
             "not json at all", "[1,2,3]", R"({"rec":[0,"1"]})", "{\"rec\":[0,1"}) {
        SCOPED_TRACE(corrupt);
        testing::TempDir dir;
        const auto file = dir / "staged-blocks.json";
        std::ofstream(file) << corrupt;
        FileStagedBlockStore store(file);
        EXPECT_TRUE(store.stagedBlocks("rec").empty());
        store.markStaged(4, "other");
        EXPECT_EQ(fileContent(file), nlohmann::json::parse(R"({"other":[4]})"));
    }
}

}  // namespace
}  // namespace kavo
