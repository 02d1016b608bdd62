#pragma once

#include <set>
#include <string>

namespace kavo {

// The record of which blocks of a staged upload already reached storage, per upload key
// (the recording id), so that an upload handed out again sends only what is missing.
class StagedBlockStore {
public:
    virtual ~StagedBlockStore() = default;

    // The indexes recorded for `key`; empty when there are none or the record is unreadable.
    virtual std::set<int> stagedBlocks(const std::string& key) const = 0;
    // Records one more staged block and persists it at once. Throws when it cannot.
    virtual void markStaged(int index, const std::string& key) = 0;
    // Forgets `key`. Never throws: a stale entry only costs re-sent blocks.
    virtual void clear(const std::string& key) = 0;
};

}  // namespace kavo
