#pragma once

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

namespace kavo::testing {

// Sets a variable of this process's own environment (read by libraries that take no
// injected lookup: the local time zone's TZ, libpulse's PULSE_SERVER) until dropped.
class ScopedEnvironmentVariable {
public:
    ScopedEnvironmentVariable(std::string name, const std::string& value) : name_(std::move(name)) {
        if (const char* old = std::getenv(name_.c_str())) previous_ = old;
        setenv(name_.c_str(), value.c_str(), 1);
        tzset();
    }
    ~ScopedEnvironmentVariable() {
        if (previous_) {
            setenv(name_.c_str(), previous_->c_str(), 1);
        } else {
            unsetenv(name_.c_str());
        }
        tzset();
    }
    ScopedEnvironmentVariable(const ScopedEnvironmentVariable&) = delete;
    ScopedEnvironmentVariable& operator=(const ScopedEnvironmentVariable&) = delete;

private:
    const std::string name_;
    std::optional<std::string> previous_;
};

}  // namespace kavo::testing
