#pragma once

#include "base/Clock.h"

namespace kavo::testing {

// Real time, but waits last a fraction: retries of minutes pass in seconds on real servers.
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
