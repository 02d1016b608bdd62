#pragma once

#include <filesystem>
#include <map>
#include <mutex>
#include <vector>

#include "upload/StagedBlockStore.h"

namespace kavo {

// The staged block record as one small JSON object in a file beside the captures
// ("staged-blocks.json"): each member is an upload key, its value the ascending array
// of staged block indexes. The file is replaced whole on every change; an unreadable or
// corrupt file reads as empty and is overwritten by the next markStaged.
class FileStagedBlockStore final : public StagedBlockStore {
public:
    static constexpr const char* kFileName = "staged-blocks.json";

    explicit FileStagedBlockStore(std::filesystem::path fileURL);

    std::set<int> stagedBlocks(const std::string& key) const override;
    void markStaged(int index, const std::string& key) override;
    void clear(const std::string& key) override;

    const std::filesystem::path& fileURL() const { return fileURL_; }

private:
    using Record = std::map<std::string, std::vector<int>>;

    Record load() const;
    void save(const Record& record) const;

    const std::filesystem::path fileURL_;
    // Serialises every read-modify-write of the file within the process.
    mutable std::mutex lock_;
};

}  // namespace kavo
