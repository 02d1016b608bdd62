#include "platform/linux/PulseConferenceActivitySource.h"

#include <fmt/format.h>

#include <array>
#include <set>
#include <utility>
#include <vector>

namespace kavo::linux_platform {
namespace {

// The conferencing applications, by the identities their recording streams carry here:
// Flatpak application ids, process binaries and application names.
struct ConferencingApp {
    std::string_view name;
    std::array<std::string_view, 4> identities;
};

constexpr std::array kConferencingApps{
    ConferencingApp{"Zoom", {"zoom", "us.zoom.Zoom", "ZOOM VoiceEngine", ""}},
    ConferencingApp{"Microsoft Teams",
                    {"teams", "teams-insiders", "com.microsoft.Teams", "teams-for-linux"}},
    ConferencingApp{"Microsoft Teams", {"com.github.IsmaelMartinez.teams_for_linux", "", "", ""}},
    ConferencingApp{"Slack", {"slack", "com.slack.Slack", "", ""}},
    ConferencingApp{"Cisco Webex", {"webex", "CiscoCollabHost", "com.webex.meeting", ""}},
};

const std::string* property(const std::map<std::string, std::string>& properties,
                            const std::string& key) {
    const auto found = properties.find(key);
    return found != properties.end() && !found->second.empty() ? &found->second : nullptr;
}

std::string describe(const ConferenceActivity& activity) {
    // A std::set is already in ascending order.
    return activity.apps.empty() ? std::string("none")
                                 : fmt::format("{}", fmt::join(activity.apps, ", "));
}

}  // namespace

bool PulseConferenceActivitySource::isConferencingIdentity(std::string_view identity) {
    if (identity.empty()) return false;
    for (const auto& app : kConferencingApps) {
        for (const auto known : app.identities) {
            if (known == identity) return true;
        }
    }
    return false;
}

std::optional<std::string> PulseConferenceActivitySource::conferencingIdentity(
    const std::map<std::string, std::string>& stream,
    const std::map<std::string, std::string>& client) {
    const std::array<std::pair<const std::map<std::string, std::string>*, const char*>, 7>
        candidates{{
            {&client, "pipewire.access.portal.app_id"},
            {&stream, "pipewire.access.portal.app_id"},
            {&stream, PA_PROP_APPLICATION_ID},
            {&client, PA_PROP_APPLICATION_ID},
            {&stream, PA_PROP_APPLICATION_PROCESS_BINARY},
            {&client, PA_PROP_APPLICATION_PROCESS_BINARY},
            {&stream, PA_PROP_APPLICATION_NAME},
        }};
    for (const auto& [properties, key] : candidates) {
        if (const std::string* value = property(*properties, key)) {
            if (isConferencingIdentity(*value)) return *value;
        }
    }
    if (const std::string* name = property(client, PA_PROP_APPLICATION_NAME);
        name && isConferencingIdentity(*name)) {
        return *name;
    }
    return std::nullopt;
}

PulseConferenceActivitySource::PulseConferenceActivitySource(PulseContext& pulse, Scheduler& main,
                                                             pid_t ownProcess)
    : pulse_(pulse), main_(main), ownProcess_(ownProcess) {
    lifeline_->owner = this;
}

PulseConferenceActivitySource::~PulseConferenceActivitySource() {
    stop();
    std::lock_guard lock(lifeline_->mutex);
    lifeline_->owner = nullptr;
}

ConferenceActivity PulseConferenceActivitySource::current() const {
    std::lock_guard lock(mutex_);
    return current_;
}

ConferenceActivitySource::ChangeHandler PulseConferenceActivitySource::onChange() const {
    std::lock_guard lock(mutex_);
    return onChange_;
}

void PulseConferenceActivitySource::setOnChange(ChangeHandler handler) {
    std::lock_guard lock(mutex_);
    onChange_ = std::move(handler);
}

void PulseConferenceActivitySource::start() {
    {
        std::lock_guard lock(mutex_);
        if (observing_) return;
        observing_ = true;
    }
    const auto evaluateLater = [this, lifeline = lifeline_] {
        queue_.post([this, lifeline] {
            const ConferenceActivity activity = evaluate();
            main_.post([lifeline, activity] {
                std::lock_guard lock(lifeline->mutex);
                if (lifeline->owner != nullptr) lifeline->owner->apply(activity);
            });
        });
    };
    // The events arrive on the server connection's thread: hand them on, never query there.
    auto events =
        pulse_.addEventListener([evaluateLater](pa_subscription_event_type_t facility,
                                                pa_subscription_event_type_t, std::uint32_t) {
            if (facility == PA_SUBSCRIPTION_EVENT_SOURCE_OUTPUT ||
                facility == PA_SUBSCRIPTION_EVENT_CLIENT) {
                evaluateLater();
            }
        });
    {
        std::lock_guard lock(mutex_);
        events_ = std::move(events);
    }
    evaluateLater();
}

void PulseConferenceActivitySource::stop() {
    ListenerRegistration events;
    {
        std::lock_guard lock(mutex_);
        observing_ = false;
        events = std::move(events_);
    }
    events.remove();
}

ConferenceActivity PulseConferenceActivitySource::evaluate() const {
    ConferenceActivity activity;
    const auto outputs = pulse_.sourceOutputs();
    const auto sources = pulse_.sources();
    const auto clients = pulse_.clientProperties();
    // A failed read is a stream that does not hold the microphone.
    if (!outputs || !sources || !clients) return activity;
    std::set<std::uint32_t> monitors;
    for (const auto& source : *sources) {
        if (source.monitorOfSink != PA_INVALID_INDEX) monitors.insert(source.index);
    }
    const std::uint32_t ownClient = pulse_.clientIndex();
    const std::string ownPid = std::to_string(ownProcess_);
    static const std::map<std::string, std::string> kNoProperties;
    for (const auto& output : *outputs) {
        if (output.corked || monitors.contains(output.source)) continue;
        // A module's own stream (a remapped source recording its master) has no client;
        // streams of real clients belong to the protocol module, so that says nothing.
        if (output.client == PA_INVALID_INDEX) continue;
        if (output.client == ownClient) continue;
        const auto client = clients->find(output.client);
        const auto& clientProperties = client != clients->end() ? client->second : kNoProperties;
        if (const std::string* pid = property(clientProperties, PA_PROP_APPLICATION_PROCESS_ID);
            pid && *pid == ownPid) {
            continue;
        }
        if (auto identity = conferencingIdentity(output.properties, clientProperties))
            activity.apps.insert(std::move(*identity));
    }
    return activity;
}

void PulseConferenceActivitySource::apply(const ConferenceActivity& activity) {
    ChangeHandler handler;
    {
        std::lock_guard lock(mutex_);
        if (!observing_ || activity == current_) return;
        current_ = activity;
        handler = onChange_;
    }
    log_.notice("Conferencing apps holding the microphone: {}", describe(activity));
    if (handler) handler(activity);
}

}  // namespace kavo::linux_platform
