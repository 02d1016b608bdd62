#pragma once

#include <chrono>
#include <cstdint>
#include <stop_token>

namespace kavo {

using Duration = std::chrono::nanoseconds;
using WallTime = std::chrono::system_clock::time_point;

// Seconds as a double, the unit most intervals of the system are stated in.
constexpr Duration seconds(double s) {
    return std::chrono::duration_cast<Duration>(std::chrono::duration<double>(s));
}

// The two times the system reads: the wall clock (dates written to files and sent to
// servers) and the monotonic host clock in nanoseconds (audio timing, timeouts). Also
// the sleep of blocking workers, so that simulated time can skip it.
class Clock {
public:
    virtual ~Clock() = default;
    virtual WallTime now() const = 0;
    // Monotonic host time in nanoseconds; the host-tick ratio to nanoseconds is 1/1.
    virtual std::uint64_t hostTime() const = 0;
    // Sleeps for `duration` unless `stop` is requested first; returns false when stopped.
    virtual bool sleepFor(Duration duration, std::stop_token stop = {}) const = 0;
};

// CLOCK_REALTIME, CLOCK_MONOTONIC and a real sleep.
class SystemClock final : public Clock {
public:
    WallTime now() const override;
    std::uint64_t hostTime() const override;
    bool sleepFor(Duration duration, std::stop_token stop = {}) const override;
};

}  // namespace kavo
