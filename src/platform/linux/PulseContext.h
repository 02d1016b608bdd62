#pragma once

#include <pulse/pulseaudio.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "audio/endpoints/ListenerRegistration.h"
#include "base/Error.h"
#include "base/Log.h"
#include "platform/linux/PulseConnection.h"

namespace kavo::linux_platform {

// Why the audio server could not be reached or answered nothing usable.
class PulseError : public Error {
public:
    using Error::Error;
};

// What the server reports as its defaults.
struct PulseServerInfo {
    std::string defaultSinkName;
    std::string defaultSourceName;
    // pipewire-pulse rather than PulseAudio itself.
    bool pipeWire = false;
};

// A sink or a source as the capture code needs it.
struct PulseDeviceInfo {
    std::uint32_t index = PA_INVALID_INDEX;
    std::string name;
    std::uint32_t rate = 0;
    std::uint32_t channels = 0;
    std::string activePort;
    std::string monitorSourceName;  // sinks only
    // Sinks only: plays into the user's ears (a headset or headphones, by the device's
    // form factor, its Bluetooth profile or its active port).
    bool personal = false;
    std::uint32_t monitorOfSink = PA_INVALID_INDEX;  // sources only: set for a monitor
};

// A recording stream of some client, for telling who holds the microphone.
struct PulseSourceOutputInfo {
    std::uint32_t index = PA_INVALID_INDEX;
    std::uint32_t source = PA_INVALID_INDEX;
    std::uint32_t ownerModule = PA_INVALID_INDEX;
    std::uint32_t client = PA_INVALID_INDEX;
    bool corked = false;
    std::string name;
    std::map<std::string, std::string> properties;
};

// This program's connections to the audio server: one whose thread serves the recording
// streams and nothing else, so that reading audio never waits behind the server's news or
// the answers to queries (which allocate), and one for those. Everything the server calls
// back runs on the thread of its connection with that one's lock held; the blocking
// queries below take the other connection's lock from the caller's thread and wait for the
// answer, so they must never be called from a server callback.
class PulseContext {
public:
    // What the subscription reports: facility (PA_SUBSCRIPTION_EVENT_SINK...), kind
    // (NEW, CHANGE, REMOVE) and the object's index. Called on the news connection's thread
    // with its lock held: it must not block or query synchronously.
    using EventListener =
        std::function<void(pa_subscription_event_type_t facility, pa_subscription_event_type_t kind,
                           std::uint32_t index)>;

    // Holds the streams' main loop lock for its scope.
    class Lock {
    public:
        explicit Lock(const PulseContext& pulse) : lock_(pulse.streams_) {}

    private:
        PulseConnection::Lock lock_;
    };

    // Connects to the server the environment names; throws PulseError with the cause.
    explicit PulseContext(const std::string& applicationName = "Kavo Meetings");
    PulseContext(const PulseContext&) = delete;
    PulseContext& operator=(const PulseContext&) = delete;
    ~PulseContext();

    // The streams' connection, under its lock only.
    pa_context* context() const { return streams_.context(); }
    pa_threaded_mainloop* mainloop() const { return streams_.mainloop(); }
    bool isReady() const { return streams_.isReady(); }
    // The server is pipewire-pulse, as it said when connected.
    bool isPipeWire() const { return pipeWire_; }
    bool inMainLoopThread() const { return streams_.inMainLoopThread(); }
    // Wakes whoever waits in waitUntil(); under the lock.
    void signal() const { streams_.signal(); }
    // Waits (lock held) until `done` holds or the connection is lost; false when lost.
    bool waitUntil(const std::function<bool()>& done) const { return streams_.waitUntil(done); }

    // Blocking queries; none when the server is gone or does not know the object.
    std::optional<PulseServerInfo> serverInfo() const;
    std::optional<PulseDeviceInfo> sinkInfo(const std::string& name) const;
    std::optional<PulseDeviceInfo> sourceInfo(const std::string& name) const;
    std::optional<std::vector<PulseSourceOutputInfo>> sourceOutputs() const;
    std::optional<std::vector<PulseDeviceInfo>> sources() const;
    // The client properties of every client, by client index.
    std::optional<std::map<std::uint32_t, std::map<std::string, std::string>>> clientProperties()
        const;
    // The client index of the streams' connection, which records.
    std::uint32_t clientIndex() const { return streams_.clientIndex(); }

    // Until the registration goes; removal waits for a call under way.
    ListenerRegistration addEventListener(EventListener listener);

    static PulseDeviceInfo deviceInfo(const pa_sink_info& info);
    static PulseDeviceInfo deviceInfo(const pa_source_info& info);

private:
    static void onEvent(pa_context* context, pa_subscription_event_type_t type, std::uint32_t index,
                        void* self);
    bool onServerThread() const;

    // Under the news connection's lock.
    std::map<std::uint64_t, EventListener> listeners_;
    std::uint64_t nextListener_ = 1;
    bool pipeWire_ = false;
    Logger log_{"PulseContext"};
    PulseConnection streams_;
    // Queries and subscription events. Last: it goes first, and no event comes after that.
    PulseConnection news_;
};

}  // namespace kavo::linux_platform
