#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <utility>

#include "base/Scheduler.h"

namespace kavo {

// The ordered set of pending tasks shared by every scheduler: due time first, then the
// order they were scheduled in. Not thread-safe; its owner locks.
class TaskTimeline {
public:
    struct Entry {
        Scheduler::Task task;
        std::shared_ptr<std::atomic<bool>> cancelled;
        Duration interval{0};  // zero for one-shot tasks
    };

    // Returns the cancellation flag of the new entry.
    std::shared_ptr<std::atomic<bool>> add(Duration due, Scheduler::Task task, Duration interval);
    std::optional<Duration> nextDue() const;
    // Removes and returns the earliest entry that is due at `now`, skipping cancelled ones.
    std::optional<std::pair<Duration, Entry>> popDue(Duration now);
    // Puts a repeating entry back one interval after the time it was due.
    void reschedule(Duration due, Entry entry);
    void clear() { entries_.clear(); }
    bool empty() const { return entries_.empty(); }

private:
    std::map<std::pair<Duration, std::uint64_t>, Entry> entries_;
    std::uint64_t sequence_ = 0;
};

}  // namespace kavo
