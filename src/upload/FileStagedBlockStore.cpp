#include "upload/FileStagedBlockStore.h"

#include <algorithm>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <system_error>

#include "base/AtomicFile.h"

namespace kavo {

FileStagedBlockStore::FileStagedBlockStore(std::filesystem::path fileURL)
    : fileURL_(std::move(fileURL)) {}

FileStagedBlockStore::Record FileStagedBlockStore::load() const {
    std::optional<std::string> bytes;
    try {
        bytes = readFileIfExists(fileURL_);
    } catch (const FileError&) {
        return {};
    }
    if (!bytes) return {};
    const auto json = nlohmann::json::parse(*bytes, nullptr, false);
    if (!json.is_object()) return {};
    Record record;
    for (const auto& [key, value] : json.items()) {
        if (!value.is_array()) return {};
        std::vector<int> indexes;
        for (const auto& element : value) {
            if (!element.is_number_integer()) return {};
            const auto number = element.get<std::int64_t>();
            if (number < std::numeric_limits<int>::min() ||
                number > std::numeric_limits<int>::max())
                return {};
            indexes.push_back(static_cast<int>(number));
        }
        record[key] = std::move(indexes);
    }
    return record;
}

void FileStagedBlockStore::save(const Record& record) const {
    const auto folder = fileURL_.parent_path();
    if (!folder.empty()) {
        std::error_code error;
        std::filesystem::create_directories(folder, error);
        if (error)
            throw FileError("Could not create the folder " + folder.string() + ": " +
                            error.message());
    }
    nlohmann::json json = nlohmann::json::object();
    for (const auto& [key, indexes] : record) json[key] = indexes;
    writeFileAtomically(fileURL_, json.dump());
}

std::set<int> FileStagedBlockStore::stagedBlocks(const std::string& key) const {
    std::lock_guard guard(lock_);
    const auto record = load();
    const auto found = record.find(key);
    if (found == record.end()) return {};
    return {found->second.begin(), found->second.end()};
}

void FileStagedBlockStore::markStaged(int index, const std::string& key) {
    std::lock_guard guard(lock_);
    auto record = load();
    std::set<int> indexes(record[key].begin(), record[key].end());
    indexes.insert(index);
    record[key].assign(indexes.begin(), indexes.end());
    save(record);
}

void FileStagedBlockStore::clear(const std::string& key) {
    std::lock_guard guard(lock_);
    auto record = load();
    if (record.erase(key) == 0) return;
    try {
        save(record);
    } catch (const std::exception&) {
        // Best effort: the entry is only ever read again under this same upload key.
    }
}

}  // namespace kavo
