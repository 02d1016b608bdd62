#pragma once

#include <atomic>
#include <mutex>
#include <vector>

#include "base/Clock.h"

namespace kavo {

// Simulated time for tests: both clocks move only when advanced, and a sleep advances
// them by its own length at once (and is recorded), so a 300 s retry takes no real time.
class ManualClock final : public Clock {
public:
    explicit ManualClock(WallTime start = defaultStart(),
                         std::uint64_t hostStart = 1'000'000'000ULL);

    WallTime now() const override;
    std::uint64_t hostTime() const override;
    bool sleepFor(Duration duration, std::stop_token stop = {}) const override;

    void advance(Duration by);
    void setWallTime(WallTime to);  // moves the wall clock only (the user changed the date)
    std::vector<Duration> sleeps() const;

    static WallTime defaultStart();

private:
    // Sleeping is const on the interface; simulated time moves all the same.
    void step(Duration by) const;

    mutable std::mutex mutex_;
    mutable WallTime wall_;
    mutable std::atomic<std::uint64_t> host_;
    mutable std::vector<Duration> sleeps_;
};

}  // namespace kavo
