#pragma once

#include <atomic>
#include <mutex>
#include <vector>

#include "base/Clock.h"

namespace kavo {

// Simulated time: both clocks move only when advanced or slept on (sleeps are recorded).
class ManualClock final : public Clock {
public:
    explicit ManualClock(WallTime start = defaultStart()) : wall_(start), host_(1'000'000'000) {}

    WallTime now() const override {
        std::lock_guard lock(mutex_);
        return wall_;
    }
    std::uint64_t hostTime() const override { return host_.load(std::memory_order_acquire); }
    bool sleepFor(Duration duration, std::stop_token stop = {}) const override {
        if (stop.stop_requested()) return false;
        {
            std::lock_guard lock(mutex_);
            sleeps_.push_back(duration);
        }
        step(duration);
        return !stop.stop_requested();
    }

    void advance(Duration by) { step(by); }
    // Moves the wall clock only (the user changed the date).
    void setWallTime(WallTime to) {
        std::lock_guard lock(mutex_);
        wall_ = to;
    }
    std::vector<Duration> sleeps() const {
        std::lock_guard lock(mutex_);
        return sleeps_;
    }

    // 2026-03-01T09:00:00Z: a fixed, ordinary working morning.
    static WallTime defaultStart() { return WallTime{std::chrono::seconds{1772355600}}; }

private:
    // Sleeping is const on the interface; simulated time moves all the same.
    void step(Duration by) const {
        std::lock_guard lock(mutex_);
        wall_ += std::chrono::duration_cast<WallTime::duration>(by);
        host_.fetch_add(static_cast<std::uint64_t>(by.count()), std::memory_order_acq_rel);
    }

    mutable std::mutex mutex_;
    mutable WallTime wall_;
    mutable std::atomic<std::uint64_t> host_;
    mutable std::vector<Duration> sleeps_;
};

}  // namespace kavo
