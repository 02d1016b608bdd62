#pragma once

#include <mutex>
#include <vector>

#include "base/Clock.h"

namespace kavo::testing {

// Real dates and host time, but every wait it is asked for lasts a fraction of that:
// retry schedules of minutes pass in seconds while the servers stay real. Remembers the
// waits asked for.
class ScaledClock final : public Clock {
public:
    explicit ScaledClock(double speedUp) : speedUp_(speedUp) {}

    WallTime now() const override { return real_.now(); }
    std::uint64_t hostTime() const override { return real_.hostTime(); }
    bool sleepFor(Duration duration, std::stop_token stop = {}) const override {
        {
            std::lock_guard guard(lock_);
            asked_.push_back(duration);
        }
        return real_.sleepFor(std::chrono::duration_cast<Duration>(duration / speedUp_), stop);
    }

    std::vector<Duration> waitsAskedFor() const {
        std::lock_guard guard(lock_);
        return asked_;
    }

private:
    const double speedUp_;
    SystemClock real_;
    mutable std::mutex lock_;
    mutable std::vector<Duration> asked_;
};

}  // namespace kavo::testing
