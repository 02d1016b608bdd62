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
    const PulseConnection* connection = nullptr;
    Result result{};
    bool found = false;
    bool done = false;

    void finish() {
        done = true;
        connection->signal();
    }
};

void signalOperation(pa_operation* /*operation*/, void* connection) {
    static_cast<const PulseConnection*>(connection)->signal();
}

template <typename Result, typename Start>
std::optional<Result> runQuery(const PulseConnection& connection, bool fromServerThread,
                               Start start) {
    if (fromServerThread) return std::nullopt;
    const PulseConnection::Lock lock(connection);
    if (!connection.isReady()) return std::nullopt;
    Pending<Result> pending{&connection};
    pa_operation* operation = start(connection.context(), pending);
    if (operation == nullptr) return std::nullopt;
    pa_operation_set_state_callback(operation, signalOperation,
                                    const_cast<PulseConnection*>(&connection));
    connection.waitUntil(
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

PulseContext::PulseContext(const std::string& applicationName)
    : streams_(applicationName, nullptr, nullptr, PA_SUBSCRIPTION_MASK_NULL, true),
      news_(applicationName, onEvent, this,
            static_cast<pa_subscription_mask_t>(
                PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SOURCE |
                PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SINK_INPUT |
                PA_SUBSCRIPTION_MASK_SOURCE_OUTPUT |
                PA_SUBSCRIPTION_MASK_CLIENT)) {
    pipeWire_ = serverInfo().value_or(PulseServerInfo{}).pipeWire;
    log_.info("Connected to audio server");
}

PulseContext::~PulseContext() = default;

bool PulseContext::onServerThread() const {
    return streams_.inMainLoopThread() || news_.inMainLoopThread();
}

void PulseContext::onEvent(pa_context* /*context*/, pa_subscription_event_type_t type,
                           std::uint32_t index, void* self) {
    const auto facility =
        static_cast<pa_subscription_event_type_t>(type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK);
    const auto kind =
        static_cast<pa_subscription_event_type_t>(type & PA_SUBSCRIPTION_EVENT_TYPE_MASK);
    auto& listeners = static_cast<PulseContext*>(self)->listeners_;
    // A listener may remove itself or another one while it runs: the next is the first
    // after its id.
    for (auto next = listeners.begin(); next != listeners.end();) {
        const std::uint64_t id = next->first;
        next->second(facility, kind, index);
        next = listeners.upper_bound(id);
    }
}

ListenerRegistration PulseContext::addEventListener(EventListener listener) {
    const PulseConnection::Lock lock(news_);
    const std::uint64_t id = nextListener_++;
    listeners_.emplace(id, std::move(listener));
    return ListenerRegistration([this, id] {
        // Events are delivered with the lock held, so none is under way once we hold it.
        if (news_.inMainLoopThread()) {
            listeners_.erase(id);
            return;
        }
        const PulseConnection::Lock removal(news_);
        listeners_.erase(id);
    });
}

std::optional<PulseServerInfo> PulseContext::serverInfo() const {
    return runQuery<PulseServerInfo>(
        news_, onServerThread(), [](pa_context* context, Pending<PulseServerInfo>& pending) {
            return pa_context_get_server_info(
                context,
                [](pa_context* /*context*/, const pa_server_info* info, void* userdata) {
                    auto& answer = *static_cast<Pending<PulseServerInfo>*>(userdata);
                    if (info != nullptr) {
                        answer.result.defaultSinkName =
                            info->default_sink_name ? info->default_sink_name : "";
                        answer.result.defaultSourceName =
                            info->default_source_name ? info->default_source_name : "";
                        answer.result.pipeWire =
                            info->server_name != nullptr &&
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
        news_, onServerThread(), [&name](pa_context* context, Pending<PulseDeviceInfo>& pending) {
            return pa_context_get_sink_info_by_name(context, name.c_str(),
                                                    onDeviceInfo<pa_sink_info>, &pending);
        });
}

std::optional<PulseDeviceInfo> PulseContext::sourceInfo(const std::string& name) const {
    if (name.empty()) return std::nullopt;
    return runQuery<PulseDeviceInfo>(
        news_, onServerThread(), [&name](pa_context* context, Pending<PulseDeviceInfo>& pending) {
            return pa_context_get_source_info_by_name(context, name.c_str(),
                                                      onDeviceInfo<pa_source_info>, &pending);
        });
}

std::optional<std::vector<PulseSourceOutputInfo>> PulseContext::sourceOutputs() const {
    return runQuery<SourceOutputs>(
        news_, onServerThread(), [](pa_context* context, Pending<SourceOutputs>& pending) {
            return pa_context_get_source_output_info_list(
                context, onListEntry<pa_source_output_info, SourceOutputs, appendSourceOutput>,
                &pending);
        });
}

std::optional<std::vector<PulseDeviceInfo>> PulseContext::sources() const {
    return runQuery<Devices>(
        news_, onServerThread(), [](pa_context* context, Pending<Devices>& pending) {
            return pa_context_get_source_info_list(
                context, onListEntry<pa_source_info, Devices, appendSource>, &pending);
        });
}

std::optional<std::map<std::uint32_t, std::map<std::string, std::string>>>
PulseContext::clientProperties() const {
    return runQuery<ClientProperties>(
        news_, onServerThread(), [](pa_context* context, Pending<ClientProperties>& pending) {
            return pa_context_get_client_info_list(
                context, onListEntry<pa_client_info, ClientProperties, appendClient>, &pending);
        });
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
