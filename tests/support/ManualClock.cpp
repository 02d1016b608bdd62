#include "support/ManualClock.h"

namespace kavo {

ManualClock::ManualClock(WallTime start, std::uint64_t hostStart)
    : wall_(start), host_(hostStart) {}

WallTime ManualClock::defaultStart() {
    // 2026-03-01T09:00:00Z: a fixed, ordinary working morning.
    return WallTime{std::chrono::seconds{1772355600}};
}

WallTime ManualClock::now() const {
    std::lock_guard lock(mutex_);
    return wall_;
}

std::uint64_t ManualClock::hostTime() const {
    return host_.load(std::memory_order_acquire);
}

bool ManualClock::sleepFor(Duration duration, std::stop_token stop) const {
    if (stop.stop_requested()) return false;
    {
        std::lock_guard lock(mutex_);
        sleeps_.push_back(duration);
    }
    step(duration);
    return !stop.stop_requested();
}

void ManualClock::advance(Duration by) {
    step(by);
}

void ManualClock::step(Duration by) const {
    std::lock_guard lock(mutex_);
    wall_ += std::chrono::duration_cast<WallTime::duration>(by);
    host_.fetch_add(static_cast<std::uint64_t>(by.count()), std::memory_order_acq_rel);
}

void ManualClock::setWallTime(WallTime to) {
    std::lock_guard lock(mutex_);
    wall_ = to;
}

std::vector<Duration> ManualClock::sleeps() const {
    std::lock_guard lock(mutex_);
    return sleeps_;
}

}  // namespace kavo
