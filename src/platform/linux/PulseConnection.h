#pragma once

#include <pulse/pulseaudio.h>

#include <cstdint>
#include <functional>
#include <string>

#include "base/Log.h"

namespace kavo::linux_platform {

// One connection to the audio server, served by a threaded main loop of its own: everything
// the server calls back on it runs on that thread with the loop's lock held.
class PulseConnection {
public:
    // Called on the main loop thread with the lock held, for each subscription event.
    using EventCallback = void (*)(pa_context*, pa_subscription_event_type_t, std::uint32_t, void*);

    // Connects to the server the environment names and, with `onEvent`, subscribes to
    // `events`; throws PulseError with the cause. A `raisedPriority` connection's thread asks for
    // a raised priority, so that it reads what the server hands over at once however busy
    // the computer is; where that is not allowed, it runs as any other.
    PulseConnection(const std::string& applicationName, EventCallback onEvent, void* userdata,
                    pa_subscription_mask_t events, bool raisedPriority = false);
    PulseConnection(const PulseConnection&) = delete;
    PulseConnection& operator=(const PulseConnection&) = delete;
    ~PulseConnection();

    // Holds the main loop lock for its scope.
    class Lock {
    public:
        explicit Lock(const PulseConnection& connection) : mainloop_(connection.mainloop_) {
            pa_threaded_mainloop_lock(mainloop_);
        }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;
        ~Lock() { pa_threaded_mainloop_unlock(mainloop_); }

    private:
        pa_threaded_mainloop* mainloop_;
    };

    // Under the lock only.
    pa_context* context() const { return context_; }
    pa_threaded_mainloop* mainloop() const { return mainloop_; }
    bool isReady() const;
    bool inMainLoopThread() const;
    // Wakes whoever waits in waitUntil(); under the lock.
    void signal() const;
    // Waits (lock held) until `done` holds or the connection is lost; false when lost.
    bool waitUntil(const std::function<bool()>& done) const;
    // The server's index of this connection's client.
    std::uint32_t clientIndex() const;

    // The niceness a `raisedPriority` connection's thread asks for: well above ordinary work, as
    // much as a desktop gives its own sound server.
    static constexpr int kRaisedNiceness = -11;

private:
    static void onState(pa_context* context, void* self);
    static void raisePriority(pa_threaded_mainloop* mainloop, void* self);

    pa_threaded_mainloop* mainloop_ = nullptr;
    pa_context* context_ = nullptr;
    Logger log_{"PulseConnection"};
};

}  // namespace kavo::linux_platform
