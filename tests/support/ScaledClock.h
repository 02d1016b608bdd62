#pragma once

#include "base/Clock.h"

namespace kavo::testing {

// Real dates and host time, but every wait it is asked for lasts a fraction of that:
// retry schedules of minutes pass in seconds while the servers stay real.
class ScaledClock final : public Clock {
public:
    explicit ScaledClock(double speedUp) : speedUp_(speedUp) {}

    WallTime now() const override { return real_.now(); }
    std::uint64_t hostTime() const override { return real_.hostTime(); }
    bool sleepFor(Duration duration, std::stop_token stop = {}) const override {
        return real_.sleepFor(std::chrono::duration_cast<Duration>(duration / speedUp_), stop);
    }

private:
    const double speedUp_;
    SystemClock real_;
};

}  // namespace kavo::testing
