#include "base/Clock.h"

#include <time.h>

#include <condition_variable>
#include <mutex>

namespace kavo {

WallTime SystemClock::now() const {
    return std::chrono::system_clock::now();
}

std::uint64_t SystemClock::hostTime() const {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000ULL +
           static_cast<std::uint64_t>(ts.tv_nsec);
}

bool SystemClock::sleepFor(Duration duration, std::stop_token stop) const {
    std::mutex mutex;
    std::condition_variable_any wake;
    std::unique_lock lock(mutex);
    return !wake.wait_for(lock, stop, duration, [] { return false; }) && !stop.stop_requested();
}

}  // namespace kavo
