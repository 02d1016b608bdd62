#pragma once

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

namespace kavo::testing {

// Runs with a fixed local zone (a TZ value such as "UTC0"), so that local times read the
// same on any machine; restores the previous zone when dropped.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* zone) {
        if (const char* old = std::getenv("TZ")) previous_ = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ScopedTimeZone() {
        if (previous_) {
            setenv("TZ", previous_->c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
    ScopedTimeZone(const ScopedTimeZone&) = delete;
    ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

private:
    std::optional<std::string> previous_;
};

}  // namespace kavo::testing
