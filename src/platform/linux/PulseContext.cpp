#include "platform/linux/PulseContext.h"

#include <string_view>
#include <utility>

namespace kavo::linux_platform {
namespace {

std::map<std::string, std::string> propertiesOf(const pa_proplist* list) {
    std::map<std::string, std::string> properties;
    if (list == nullptr) return properties;
    void* state = nullptr;
    while (const char* key = pa_proplist_iterate(list, &state)) {
        if (const char* value = pa_proplist_gets(list, key)) properties.emplace(key, value);
    }
    return properties;
}

// One blocking query in flight: what the callback found and whether it has finished.
template <typename Result>
struct Pending {
    const PulseContext* pulse = nullptr;
    Result result{};
    bool found = false;
    bool done = false;

    void finish() {
        done = true;
        pulse->signal();
    }
};

void signalOperation(pa_operation* /*operation*/, void* pulse) {
    static_cast<const PulseContext*>(pulse)->signal();
}

template <typename Result, typename Start>
std::optional<Result> runQuery(const PulseContext& pulse, Start start) {
    if (pulse.inMainLoopThread()) return std::nullopt;
    const PulseContext::Lock lock(pulse);
    if (!pulse.isReady()) return std::nullopt;
    Pending<Result> pending{&pulse};
    pa_operation* operation = start(pulse.context(), pending);
    if (operation == nullptr) return std::nullopt;
    pa_operation_set_state_callback(operation, signalOperation, const_cast<PulseContext*>(&pulse));
    pulse.waitUntil(
        [&] { return pending.done || pa_operation_get_state(operation) != PA_OPERATION_RUNNING; });
    if (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) pa_operation_cancel(operation);
    pa_operation_set_state_callback(operation, nullptr, nullptr);
    pa_operation_unref(operation);
    if (!pending.done || !pending.found) return std::nullopt;
    return std::move(pending.result);
}

template <typename Info>
void onDeviceInfo(pa_context* /*context*/, const Info* info, int eol, void* userdata) {
    auto& pending = *static_cast<Pending<PulseDeviceInfo>*>(userdata);
    if (eol != 0 || info == nullptr) {
        pending.finish();
        return;
    }
    pending.result = PulseContext::deviceInfo(*info);
    pending.found = true;
}

// One entry of a list answer, added to the result by `append`; the list ends with eol > 0,
// or fails with eol < 0.
template <typename Info, typename List, void (*append)(List&, const Info&)>
void onListEntry(pa_context* /*context*/, const Info* info, int eol, void* userdata) {
    auto& answer = *static_cast<Pending<List>*>(userdata);
    if (eol != 0 || info == nullptr) {
        answer.found = eol > 0;
        answer.finish();
        return;
    }
    append(answer.result, *info);
}

using SourceOutputs = std::vector<PulseSourceOutputInfo>;
using Devices = std::vector<PulseDeviceInfo>;
using ClientProperties = std::map<std::uint32_t, std::map<std::string, std::string>>;

void appendSourceOutput(SourceOutputs& list, const pa_source_output_info& info) {
    list.push_back({info.index, info.source, info.owner_module, info.client, info.corked != 0,
                    info.name ? info.name : "", propertiesOf(info.proplist)});
}

void appendSource(Devices& list, const pa_source_info& info) {
    list.push_back(PulseContext::deviceInfo(info));
}

void appendClient(ClientProperties& clients, const pa_client_info& info) {
    clients.emplace(info.index, propertiesOf(info.proplist));
}

}  // namespace

PulseContext::Lock::Lock(const PulseContext& pulse) : mainloop_(pulse.mainloop()) {
    pa_threaded_mainloop_lock(mainloop_);
}

PulseContext::Lock::~Lock() {
    pa_threaded_mainloop_unlock(mainloop_);
}

PulseContext::PulseContext(const std::string& applicationName) {
    mainloop_ = pa_threaded_mainloop_new();
    if (mainloop_ == nullptr)
        throw PulseError("Could not create the audio server connection's main loop");
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, applicationName.c_str());
    pa_proplist_sets(properties, PA_PROP_APPLICATION_ID, "brindle.meetings.desktop");
    context_ = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(mainloop_),
                                            applicationName.c_str(), properties);
    pa_proplist_free(properties);
    if (context_ == nullptr) {
        pa_threaded_mainloop_free(mainloop_);
        throw PulseError("Could not create the audio server connection");
    }
    pa_context_set_state_callback(context_, onState, this);
    pa_context_set_subscribe_callback(context_, onEvent, this);

    std::string failure;
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        failure = pa_strerror(pa_context_errno(context_));
    } else if (pa_threaded_mainloop_start(mainloop_) < 0) {
        failure = "the main loop did not start";
    } else {
        const Lock lock(*this);
        while (true) {
            const pa_context_state_t state = pa_context_get_state(context_);
            if (state == PA_CONTEXT_READY) break;
            if (!PA_CONTEXT_IS_GOOD(state)) {
                failure = pa_strerror(pa_context_errno(context_));
                break;
            }
            pa_threaded_mainloop_wait(mainloop_);
        }
        if (failure.empty()) {
            const auto mask = static_cast<pa_subscription_mask_t>(
                PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SOURCE |
                PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SOURCE_OUTPUT |
                PA_SUBSCRIPTION_MASK_CLIENT);
            if (pa_operation* operation = pa_context_subscribe(context_, mask, nullptr, nullptr)) {
                pa_operation_unref(operation);
            }
        }
    }
    if (!failure.empty()) {
        pa_threaded_mainloop_stop(mainloop_);
        pa_context_disconnect(context_);
        pa_context_unref(context_);
        pa_threaded_mainloop_free(mainloop_);
        throw PulseError("No audio server is running (" + failure + ")");
    }
    log_.info("Connected to audio server");
}

PulseContext::~PulseContext() {
    {
        const Lock lock(*this);
        pa_context_set_subscribe_callback(context_, nullptr, nullptr);
        pa_context_set_state_callback(context_, nullptr, nullptr);
        pa_context_disconnect(context_);
        listeners_.clear();
    }
    pa_threaded_mainloop_stop(mainloop_);
    pa_context_unref(context_);
    pa_threaded_mainloop_free(mainloop_);
}

bool PulseContext::isReady() const {
    return pa_context_get_state(context_) == PA_CONTEXT_READY;
}

bool PulseContext::inMainLoopThread() const {
    return pa_threaded_mainloop_in_thread(mainloop_) != 0;
}

void PulseContext::signal() const {
    pa_threaded_mainloop_signal(mainloop_, 0);
}

bool PulseContext::waitUntil(const std::function<bool()>& done) const {
    while (!done()) {
        if (!isReady()) return false;
        pa_threaded_mainloop_wait(mainloop_);
    }
    return true;
}

void PulseContext::onState(pa_context* /*context*/, void* self) {
    static_cast<PulseContext*>(self)->signal();
}

void PulseContext::onEvent(pa_context* /*context*/, pa_subscription_event_type_t type,
                           std::uint32_t index, void* self) {
    const auto facility =
        static_cast<pa_subscription_event_type_t>(type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK);
    const auto kind =
        static_cast<pa_subscription_event_type_t>(type & PA_SUBSCRIPTION_EVENT_TYPE_MASK);
    auto& listeners = static_cast<PulseContext*>(self)->listeners_;
    // A listener may remove itself or another one while it runs.
    std::vector<std::uint64_t> ids;
    ids.reserve(listeners.size());
    for (const auto& entry : listeners) ids.push_back(entry.first);
    for (const std::uint64_t id : ids) {
        if (const auto found = listeners.find(id); found != listeners.end())
            found->second(facility, kind, index);
    }
}

ListenerRegistration PulseContext::addEventListener(EventListener listener) {
    const Lock lock(*this);
    const std::uint64_t id = nextListener_++;
    listeners_.emplace(id, std::move(listener));
    return ListenerRegistration([this, id] {
        // Events are delivered with the lock held, so none is under way once we hold it.
        if (inMainLoopThread()) {
            listeners_.erase(id);
            return;
        }
        const Lock removal(*this);
        listeners_.erase(id);
    });
}

std::optional<PulseServerInfo> PulseContext::serverInfo() const {
    return runQuery<PulseServerInfo>(*this, [](pa_context* context,
                                               Pending<PulseServerInfo>& pending) {
        return pa_context_get_server_info(
            context,
            [](pa_context* /*context*/, const pa_server_info* info, void* userdata) {
                auto& answer = *static_cast<Pending<PulseServerInfo>*>(userdata);
                if (info != nullptr) {
                    answer.result.defaultSinkName =
                        info->default_sink_name ? info->default_sink_name : "";
                    answer.result.defaultSourceName =
                        info->default_source_name ? info->default_source_name : "";
                    answer.result.pipeWire = info->server_name != nullptr &&
                                             std::string_view(info->server_name).find("PipeWire") !=
                                                 std::string_view::npos;
                    answer.found = true;
                }
                answer.finish();
            },
            &pending);
    });
}

std::optional<PulseDeviceInfo> PulseContext::sinkInfo(const std::string& name) const {
    if (name.empty()) return std::nullopt;
    return runQuery<PulseDeviceInfo>(
        *this, [&name](pa_context* context, Pending<PulseDeviceInfo>& pending) {
            return pa_context_get_sink_info_by_name(context, name.c_str(),
                                                    onDeviceInfo<pa_sink_info>, &pending);
        });
}

std::optional<PulseDeviceInfo> PulseContext::sourceInfo(const std::string& name) const {
    if (name.empty()) return std::nullopt;
    return runQuery<PulseDeviceInfo>(
        *this, [&name](pa_context* context, Pending<PulseDeviceInfo>& pending) {
            return pa_context_get_source_info_by_name(context, name.c_str(),
                                                      onDeviceInfo<pa_source_info>, &pending);
        });
}

std::optional<std::vector<PulseSourceOutputInfo>> PulseContext::sourceOutputs() const {
    return runQuery<SourceOutputs>(*this, [](pa_context* context, Pending<SourceOutputs>& pending) {
        return pa_context_get_source_output_info_list(
            context, onListEntry<pa_source_output_info, SourceOutputs, appendSourceOutput>,
            &pending);
    });
}

std::optional<std::vector<PulseDeviceInfo>> PulseContext::sources() const {
    return runQuery<Devices>(*this, [](pa_context* context, Pending<Devices>& pending) {
        return pa_context_get_source_info_list(
            context, onListEntry<pa_source_info, Devices, appendSource>, &pending);
    });
}

std::optional<std::map<std::uint32_t, std::map<std::string, std::string>>>
PulseContext::clientProperties() const {
    return runQuery<ClientProperties>(
        *this, [](pa_context* context, Pending<ClientProperties>& pending) {
            return pa_context_get_client_info_list(
                context, onListEntry<pa_client_info, ClientProperties, appendClient>, &pending);
        });
}

std::uint32_t PulseContext::clientIndex() const {
    const Lock lock(*this);
    return pa_context_get_index(context_);
}

namespace {

// What sinks and sources describe alike.
template <typename Info>
PulseDeviceInfo commonDeviceInfo(const Info& info) {
    PulseDeviceInfo device;
    device.index = info.index;
    device.name = info.name ? info.name : "";
    device.rate = info.sample_spec.rate;
    device.channels = info.sample_spec.channels;
    if (info.active_port != nullptr && info.active_port->name != nullptr)
        device.activePort = info.active_port->name;
    return device;
}

std::string property(const pa_proplist* properties, const char* key) {
    const char* value = properties ? pa_proplist_gets(properties, key) : nullptr;
    return value ? value : "";
}

// Headsets and headphones as PulseAudio and PipeWire name them: the form factor, the
// Bluetooth profiles of a headset's voice link, and the active port's type.
bool playsIntoEars(const pa_sink_info& info) {
    const std::string formFactor = property(info.proplist, PA_PROP_DEVICE_FORM_FACTOR);
    if (formFactor == "headset" || formFactor == "headphone" || formFactor == "hands-free")
        return true;
    for (const char* key : {"bluetooth.protocol", "api.bluez5.profile"}) {
        const std::string profile = property(info.proplist, key);
        if (profile.find("head_unit") != std::string::npos ||
            profile.find("head-unit") != std::string::npos || profile == "hsp_hs" ||
            profile == "hfp_hf")
            return true;
    }
    return info.active_port != nullptr &&
           (info.active_port->type == PA_DEVICE_PORT_TYPE_HEADPHONES ||
            info.active_port->type == PA_DEVICE_PORT_TYPE_HEADSET);
}

}  // namespace

PulseDeviceInfo PulseContext::deviceInfo(const pa_sink_info& info) {
    PulseDeviceInfo device = commonDeviceInfo(info);
    device.monitorSourceName = info.monitor_source_name ? info.monitor_source_name : "";
    device.personal = playsIntoEars(info);
    return device;
}

PulseDeviceInfo PulseContext::deviceInfo(const pa_source_info& info) {
    PulseDeviceInfo device = commonDeviceInfo(info);
    device.monitorOfSink = info.monitor_of_sink;
    return device;
}

}  // namespace kavo::linux_platform
