#include "platform/linux/PulseDeviceWatch.h"

#include <utility>

namespace kavo::linux_platform {

PulseDeviceWatch::PulseDeviceWatch(PulseContext& pulse) : pulse_(pulse) {
    last_ = pulse_.serverInfo().value_or(PulseServerInfo{});
    lastPersonal_ = isPersonal(last_.defaultSinkName);
    events_ = pulse_.addEventListener([this](pa_subscription_event_type_t facility,
                                             pa_subscription_event_type_t kind, std::uint32_t) {
        // On the main loop thread: the queries that follow must not run here.
        // pipewire-pulse now and then moves the players and the other recorders (the
        // call's own microphone stream) to a new default without telling of the default
        // itself: a stream that changed may be one it just moved.
        if (facility == PA_SUBSCRIPTION_EVENT_SERVER ||
            ((facility == PA_SUBSCRIPTION_EVENT_SINK_INPUT ||
              facility == PA_SUBSCRIPTION_EVENT_SOURCE_OUTPUT) &&
             kind == PA_SUBSCRIPTION_EVENT_CHANGE)) {
            queue_.post([this] { checkDefaults(); });
        } else if ((facility == PA_SUBSCRIPTION_EVENT_SINK ||
                    facility == PA_SUBSCRIPTION_EVENT_SOURCE) &&
                   kind != PA_SUBSCRIPTION_EVENT_CHANGE) {
            queue_.post([this] { notify("deviceList"); });
        } else if (facility == PA_SUBSCRIPTION_EVENT_SINK) {
            // Headphones plugged into the speakers' jack change the default sink's port,
            // not the default: the output turns personal under the same name.
            queue_.post([this] { checkOutputForm(); });
        }
    });
}

PulseDeviceWatch::~PulseDeviceWatch() {
    events_.remove();
    flush();
}

AudioDeviceSnapshot PulseDeviceWatch::defaults() const {
    const auto server = pulse_.serverInfo();
    if (!server) return {};
    AudioDeviceSnapshot snapshot;
    if (const auto source = pulse_.sourceInfo(server->defaultSourceName);
        source && source->monitorOfSink == PA_INVALID_INDEX) {
        snapshot.defaultInputUID = source->name;
    }
    if (!server->defaultSinkName.empty()) {
        snapshot.defaultOutputUID = server->defaultSinkName;
        const auto sink = pulse_.sinkInfo(server->defaultSinkName);
        snapshot.outputIsPersonal = sink && sink->personal;
    }
    return snapshot;
}

ListenerRegistration PulseDeviceWatch::observe(Notify notify) {
    std::lock_guard lock(mutex_);
    const std::uint64_t id = nextObserver_++;
    observers_.emplace(id, std::move(notify));
    return ListenerRegistration([this, id] {
        std::lock_guard removal(mutex_);
        observers_.erase(id);
    });
}

void PulseDeviceWatch::checkDefaults() {
    const auto server = pulse_.serverInfo();
    if (!server) return;
    const PulseServerInfo previous = std::exchange(last_, *server);
    if (server->defaultSourceName != previous.defaultSourceName) notify("defaultInputDevice");
    if (server->defaultSinkName != previous.defaultSinkName) {
        lastPersonal_ = isPersonal(server->defaultSinkName);
        notify("defaultOutputDevice");
    }
}

bool PulseDeviceWatch::isPersonal(const std::string& sinkName) const {
    const auto sink = pulse_.sinkInfo(sinkName);
    return sink && sink->personal;
}

// A change of the default itself is checkDefaults()'s: this one asks only after the sink
// it last saw as the default.
void PulseDeviceWatch::checkOutputForm() {
    const bool personal = isPersonal(last_.defaultSinkName);
    if (personal == std::exchange(lastPersonal_, personal)) return;
    log_.info("The default output is {}",
              personal ? "a headset or headphones now" : "no longer a headset or headphones");
    notify("deviceList");
}

void PulseDeviceWatch::notify(std::string_view what) {
    log_.debug("Audio devices: {}", what);
    std::lock_guard lock(mutex_);
    for (const auto& [id, observer] : observers_) observer(what);
}

}  // namespace kavo::linux_platform
