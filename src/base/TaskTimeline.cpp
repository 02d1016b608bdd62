#include "base/TaskTimeline.h"

namespace kavo {

std::shared_ptr<std::atomic<bool>> TaskTimeline::add(Duration due, Scheduler::Task task,
                                                     Duration interval) {
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    entries_.emplace(std::pair{due, sequence_++}, Entry{std::move(task), cancelled, interval});
    return cancelled;
}

std::optional<Duration> TaskTimeline::nextDue() const {
    for (const auto& [key, entry] : entries_) {
        if (!entry.cancelled->load(std::memory_order_acquire)) return key.first;
    }
    return std::nullopt;
}

std::optional<std::pair<Duration, TaskTimeline::Entry>> TaskTimeline::popDue(Duration now) {
    while (!entries_.empty()) {
        auto first = entries_.begin();
        if (first->second.cancelled->load(std::memory_order_acquire)) {
            entries_.erase(first);
            continue;
        }
        if (first->first.first > now) return std::nullopt;
        auto result = std::pair{first->first.first, std::move(first->second)};
        entries_.erase(first);
        return result;
    }
    return std::nullopt;
}

void TaskTimeline::reschedule(Duration due, Entry entry) {
    entries_.emplace(std::pair{due + entry.interval, sequence_++}, std::move(entry));
}

}  // namespace kavo
