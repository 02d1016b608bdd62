#include "platform/linux/PulseAudioHardware.h"

#include <utility>

namespace kavo::linux_platform {
namespace {

bool isOwnDevice(const std::string& name) {
    return name.starts_with(PulseAudioHardware::kOwnDevicePrefix);
}

}  // namespace

PulseAudioHardware::PulseAudioHardware(PulseContext& pulse) : pulse_(pulse) {
    if (const auto server = pulse_.serverInfo()) {
        defaults_.sink = server->defaultSinkName;
        defaults_.source = server->defaultSourceName;
        if (const auto sink = pulse_.sinkInfo(defaults_.sink))
            defaults_.sinkPort = sink->activePort;
        if (const auto source = pulse_.sourceInfo(defaults_.source))
            defaults_.sourcePort = source->activePort;
    }
    subscription_ = pulse_.addEventListener(
        [this](pa_subscription_event_type_t facility, pa_subscription_event_type_t kind,
               std::uint32_t index) { handleEvent(facility, kind, index); });
}

PulseAudioHardware::~PulseAudioHardware() {
    subscription_.remove();
    const PulseContext::Lock lock(pulse_);
    for (pa_operation* operation : pending_) {
        if (pa_operation_get_state(operation) == PA_OPERATION_RUNNING)
            pa_operation_cancel(operation);
        pa_operation_unref(operation);
    }
    pending_.clear();
}

AudioObjectID PulseAudioHardware::idFor(Kind kind, const std::string& name) const {
    std::lock_guard lock(mutex_);
    const auto key = std::make_pair(kind, name);
    if (const auto found = ids_.find(key); found != ids_.end()) return found->second;
    const AudioObjectID id = nextID_++;
    ids_.emplace(key, id);
    objects_.emplace(id, Object{kind, name, std::nullopt, kAudioObjectUnknown});
    return id;
}

std::optional<PulseAudioHardware::Object> PulseAudioHardware::object(AudioObjectID id) const {
    std::lock_guard lock(mutex_);
    const auto found = objects_.find(id);
    if (found == objects_.end()) return std::nullopt;
    return found->second;
}

AudioObjectID PulseAudioHardware::sourceID(const std::string& name) const {
    return idFor(Kind::source, name);
}

AudioObjectID PulseAudioHardware::sinkID(const std::string& name) const {
    return idFor(Kind::sink, name);
}

std::optional<std::string> PulseAudioHardware::defaultSourceName() const {
    const auto server = pulse_.serverInfo();
    if (!server || server->defaultSourceName.empty() || isOwnDevice(server->defaultSourceName))
        return std::nullopt;
    return server->defaultSourceName;
}

std::optional<std::string> PulseAudioHardware::defaultSinkName() const {
    const auto server = pulse_.serverInfo();
    if (!server || server->defaultSinkName.empty() || isOwnDevice(server->defaultSinkName))
        return std::nullopt;
    return server->defaultSinkName;
}

PropertyRead<AudioObjectID> PulseAudioHardware::readDeviceID(
    AudioObjectID object, AudioObjectPropertySelector selector) const {
    if (object != kAudioObjectSystemObject) return {kBadObject, kAudioObjectUnknown};
    const auto server = pulse_.serverInfo();
    if (!server) return {kNoServer, kAudioObjectUnknown};
    if (selector == audio_property::kDefaultInputDevice) {
        const std::string& name = server->defaultSourceName;
        return {kAudioNoError,
                name.empty() || isOwnDevice(name) ? kAudioObjectUnknown : sourceID(name)};
    }
    if (selector == audio_property::kDefaultOutputDevice) {
        const std::string& name = server->defaultSinkName;
        return {kAudioNoError,
                name.empty() || isOwnDevice(name) ? kAudioObjectUnknown : sinkID(name)};
    }
    return {kUnknownProperty, kAudioObjectUnknown};
}

PropertyRead<std::string> PulseAudioHardware::readDeviceUID(AudioObjectID device) const {
    const auto found = object(device);
    if (!found) return {kBadObject, {}};
    switch (found->kind) {
        case Kind::source:
        case Kind::sink:
            return {kAudioNoError, found->name};
        case Kind::tap:
            return {kAudioNoError, found->tap->uuid};
        case Kind::tapDevice:
        case Kind::process:
            return {kUnknownProperty, {}};
    }
    return {kUnknownProperty, {}};
}

PropertyRead<std::vector<std::string>> PulseAudioHardware::readSubDeviceUIDs(
    AudioObjectID device) const {
    const auto found = object(device);
    if (!found) return {kBadObject, {}};
    // The server has no aggregate devices; a tap device stands on its sink alone.
    if (found->kind == Kind::tapDevice) {
        if (const auto wrapped = tap(found->tapID)) return {kAudioNoError, {wrapped->sinkName}};
    }
    return {kAudioNoError, {}};
}

std::optional<std::string> PulseAudioHardware::monitorOf(AudioObjectID id) const {
    const auto found = object(id);
    if (!found) return std::nullopt;
    if (found->kind == Kind::tap) return found->tap->monitorSourceName;
    if (found->kind == Kind::tapDevice) {
        if (const auto wrapped = tap(found->tapID)) return wrapped->monitorSourceName;
    }
    return std::nullopt;
}

std::optional<PulseDeviceInfo> PulseAudioHardware::deviceInfo(const Object& found) const {
    switch (found.kind) {
        case Kind::source:
            return pulse_.sourceInfo(found.name);
        case Kind::sink:
            return pulse_.sinkInfo(found.name);
        case Kind::tap:
            return pulse_.sourceInfo(found.tap->monitorSourceName);
        case Kind::tapDevice:
            if (const auto wrapped = tap(found.tapID))
                return pulse_.sourceInfo(wrapped->monitorSourceName);
            return std::nullopt;
        case Kind::process:
            return std::nullopt;
    }
    return std::nullopt;
}

PropertyRead<double> PulseAudioHardware::readNominalSampleRate(AudioObjectID device) const {
    const auto found = object(device);
    if (!found || found->kind == Kind::process) return {kBadObject, 0};
    const auto info = deviceInfo(*found);
    if (!info) return {pulse_.serverInfo() ? kNoDevice : kNoServer, 0};
    return {kAudioNoError, static_cast<double>(info->rate)};
}

PropertyRead<AudioStreamBasicDescription> PulseAudioHardware::readTapFormat(
    AudioObjectID tapID) const {
    const auto monitor = monitorOf(tapID);
    if (!monitor) return {kBadObject, {}};
    const auto info = pulse_.sourceInfo(*monitor);
    if (!info) return {pulse_.serverInfo() ? kNoDevice : kNoServer, {}};
    return {kAudioNoError, AudioStreamBasicDescription::float32(info->rate, info->channels)};
}

PropertyRead<AudioObjectID> PulseAudioHardware::readProcessObject(std::int32_t processID) const {
    return {kAudioNoError, idFor(Kind::process, std::to_string(processID))};
}

AudioObjectID PulseAudioHardware::addTap(TapObject tapObject) {
    std::lock_guard lock(mutex_);
    const AudioObjectID id = nextID_++;
    objects_.emplace(id, Object{Kind::tap, tapObject.monitorSourceName, std::move(tapObject),
                                kAudioObjectUnknown});
    return id;
}

std::optional<PulseAudioHardware::TapObject> PulseAudioHardware::tap(AudioObjectID id) const {
    const auto found = object(id);
    if (!found || found->kind != Kind::tap) return std::nullopt;
    return found->tap;
}

std::optional<AudioObjectID> PulseAudioHardware::tapByUUID(const std::string& uuid) const {
    std::lock_guard lock(mutex_);
    for (const auto& [id, candidate] : objects_) {
        if (candidate.kind == Kind::tap && candidate.tap->uuid == uuid) return id;
    }
    return std::nullopt;
}

AudioObjectID PulseAudioHardware::addTapDevice(AudioObjectID tapID) {
    std::lock_guard lock(mutex_);
    const AudioObjectID id = nextID_++;
    objects_.emplace(id, Object{Kind::tapDevice, {}, std::nullopt, tapID});
    return id;
}

std::optional<AudioObjectID> PulseAudioHardware::tapOfDevice(AudioObjectID device) const {
    const auto found = object(device);
    if (!found || found->kind != Kind::tapDevice) return std::nullopt;
    return found->tapID;
}

void PulseAudioHardware::removeObject(AudioObjectID id) {
    std::lock_guard lock(mutex_);
    const auto found = objects_.find(id);
    if (found == objects_.end() ||
        (found->second.kind != Kind::tap && found->second.kind != Kind::tapDevice)) {
        return;
    }
    objects_.erase(found);
}

AudioHardware::ListenerInstallation PulseAudioHardware::addPropertyListener(
    AudioObjectID objectID, AudioObjectPropertySelector selector, Scheduler& queue,
    PropertyListener listener) {
    const bool systemProperty = selector == audio_property::kDefaultInputDevice ||
                                selector == audio_property::kDefaultOutputDevice ||
                                selector == audio_property::kDeviceList;
    const bool rateProperty =
        selector == audio_property::kNominalSampleRate || selector == audio_property::kTapFormat;
    if (systemProperty && objectID != kAudioObjectSystemObject) return {kBadObject, {}};
    if (!systemProperty && !rateProperty) return {kUnknownProperty, {}};
    if (rateProperty && !object(objectID)) return {kBadObject, {}};

    auto active = std::make_shared<std::atomic<bool>>(true);
    std::uint64_t id = 0;
    {
        std::lock_guard lock(mutex_);
        id = nextListener_++;
        listeners_.emplace(
            id, Listener{objectID, selector, &queue,
                         std::make_shared<PropertyListener>(std::move(listener)), active});
    }
    return {kAudioNoError, ListenerRegistration([this, id, active] {
                active->store(false);
                std::lock_guard lock(mutex_);
                listeners_.erase(id);
            })};
}

void PulseAudioHardware::notify(AudioObjectID objectID, AudioObjectPropertySelector selector) {
    std::lock_guard lock(mutex_);
    for (const auto& [id, listener] : listeners_) {
        if (listener.selector != selector || listener.object != objectID) continue;
        listener.queue->post([call = listener.call, active = listener.active] {
            if (active->load()) (*call)();
        });
    }
}

void PulseAudioHardware::notifyAll(AudioObjectPropertySelector selector) {
    std::lock_guard lock(mutex_);
    for (const auto& [id, listener] : listeners_) {
        if (listener.selector != selector) continue;
        listener.queue->post([call = listener.call, active = listener.active] {
            if (active->load()) (*call)();
        });
    }
}

void PulseAudioHardware::track(pa_operation* operation) {
    if (operation == nullptr) return;
    std::erase_if(pending_, [](pa_operation* done) {
        if (pa_operation_get_state(done) == PA_OPERATION_RUNNING) return false;
        pa_operation_unref(done);
        return true;
    });
    pending_.push_back(operation);
}

void PulseAudioHardware::handleEvent(pa_subscription_event_type_t facility,
                                     pa_subscription_event_type_t kind, std::uint32_t index) {
    if (facility == PA_SUBSCRIPTION_EVENT_SERVER) {
        refreshDefaults();
        return;
    }
    if (facility != PA_SUBSCRIPTION_EVENT_SINK && facility != PA_SUBSCRIPTION_EVENT_SOURCE) return;
    if (kind == PA_SUBSCRIPTION_EVENT_NEW || kind == PA_SUBSCRIPTION_EVENT_REMOVE) {
        notify(kAudioObjectSystemObject, audio_property::kDeviceList);
        return;
    }
    notifyAll(audio_property::kNominalSampleRate);
    notifyAll(audio_property::kTapFormat);
    checkPort(facility, index);
}

void PulseAudioHardware::refreshDefaults() {
    track(pa_context_get_server_info(pulse_.context(), onServerInfo, this));
}

void PulseAudioHardware::checkPort(pa_subscription_event_type_t facility, std::uint32_t index) {
    if (facility == PA_SUBSCRIPTION_EVENT_SINK) {
        track(pa_context_get_sink_info_by_index(pulse_.context(), index, onSinkInfo, this));
    } else {
        track(pa_context_get_source_info_by_index(pulse_.context(), index, onSourceInfo, this));
    }
}

void PulseAudioHardware::onServerInfo(pa_context* /*context*/, const pa_server_info* info,
                                      void* self) {
    if (info == nullptr) return;
    auto& hardware = *static_cast<PulseAudioHardware*>(self);
    const std::string sink = info->default_sink_name ? info->default_sink_name : "";
    const std::string source = info->default_source_name ? info->default_source_name : "";
    if (source != hardware.defaults_.source) {
        hardware.defaults_.source = source;
        hardware.defaults_.sourcePort.clear();
        hardware.notify(kAudioObjectSystemObject, audio_property::kDefaultInputDevice);
    }
    if (sink != hardware.defaults_.sink) {
        hardware.defaults_.sink = sink;
        hardware.defaults_.sinkPort.clear();
        hardware.notify(kAudioObjectSystemObject, audio_property::kDefaultOutputDevice);
    }
}

void PulseAudioHardware::onSinkInfo(pa_context* /*context*/, const pa_sink_info* info, int eol,
                                    void* self) {
    if (eol != 0 || info == nullptr) return;
    auto& hardware = *static_cast<PulseAudioHardware*>(self);
    const PulseDeviceInfo device = PulseContext::deviceInfo(*info);
    if (device.name != hardware.defaults_.sink || device.activePort == hardware.defaults_.sinkPort)
        return;
    const bool wasKnown = !hardware.defaults_.sinkPort.empty();
    hardware.defaults_.sinkPort = device.activePort;
    if (wasKnown) hardware.notify(kAudioObjectSystemObject, audio_property::kDefaultOutputDevice);
}

void PulseAudioHardware::onSourceInfo(pa_context* /*context*/, const pa_source_info* info, int eol,
                                      void* self) {
    if (eol != 0 || info == nullptr) return;
    auto& hardware = *static_cast<PulseAudioHardware*>(self);
    const PulseDeviceInfo device = PulseContext::deviceInfo(*info);
    if (device.name != hardware.defaults_.source ||
        device.activePort == hardware.defaults_.sourcePort)
        return;
    const bool wasKnown = !hardware.defaults_.sourcePort.empty();
    hardware.defaults_.sourcePort = device.activePort;
    if (wasKnown) hardware.notify(kAudioObjectSystemObject, audio_property::kDefaultInputDevice);
}

}  // namespace kavo::linux_platform
