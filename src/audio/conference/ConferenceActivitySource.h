#pragma once

#include <functional>
#include <set>
#include <string>

namespace kavo {

// Which conferencing applications hold the microphone right now, by the identity the
// platform knows each by (on Linux its Flatpak id or binary). Empty when none does.
struct ConferenceActivity {
    std::set<std::string> apps;

    bool operator==(const ConferenceActivity&) const = default;
};

// Something that knows which conferencing applications hold the microphone and says so
// on the main thread whenever that changes.
class ConferenceActivitySource {
public:
    using ChangeHandler = std::function<void(const ConferenceActivity&)>;

    virtual ~ConferenceActivitySource() = default;

    // The last activity reported; main thread.
    virtual ConferenceActivity current() const = 0;
    virtual ChangeHandler onChange() const = 0;
    // Set before start(); called on the main thread with each new activity.
    virtual void setOnChange(ChangeHandler handler) = 0;
    // Begins observing; a second call does nothing.
    virtual void start() = 0;
    // Stops observing and reporting.
    virtual void stop() = 0;
};

}  // namespace kavo
