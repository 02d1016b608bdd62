#include "capture/DeviceWatch.h"

#include <string>

#include "capture/files/SidecarTimestamp.h"

namespace kavo {
namespace {

std::string_view orNone(const std::optional<std::string>& uid) {
    return uid ? std::string_view{*uid} : std::string_view{"none"};
}

}  // namespace

std::string_view DeviceWatch::notificationName(AudioObjectPropertySelector selector) {
    switch (selector) {
        case audio_property::kDefaultInputDevice:
            return "defaultInputDevice";
        case audio_property::kDefaultOutputDevice:
            return "defaultOutputDevice";
        case audio_property::kDeviceList:
            return "deviceList";
        default:
            return "unknown";
    }
}

DeviceWatch::DeviceWatch(AudioHardware& hardware, Scheduler& control, ReadSnapshot readSnapshot)
    : hardware_(hardware), control_(control), readSnapshot_(std::move(readSnapshot)) {}

void DeviceWatch::install(const Notify& notify) {
    for (const AudioObjectPropertySelector selector : kWatchedProperties) {
        auto installed = hardware_.addPropertyListener(
            kAudioObjectSystemObject, selector, control_,
            [&control = control_, notify, name = notificationName(selector)] {
                // Handled in a task of its own, after whatever the queue is doing now.
                control.post([notify, name] { notify(name); });
            });
        if (installed.status != kAudioNoError) {
            log_.error("Could not observe device property {} (OSStatus {})", selector,
                       installed.status);
            continue;
        }
        listeners_.push_back({selector, std::move(installed.registration)});
    }
}

void DeviceWatch::remove() {
    for (auto& listener : listeners_) listener.registration.remove();
    listeners_.clear();
}

std::optional<DeviceChange> DeviceWatch::handle(std::string_view name, WallTime now) {
    const AudioDeviceSnapshot previous = lastSnapshot_;
    const AudioDeviceSnapshot current = readSnapshot_();
    lastSnapshot_ = current;

    EndpointScope scope;
    if (current.defaultInputUID != previous.defaultInputUID) scope |= EndpointScope::microphone;
    if (current.defaultOutputUID != previous.defaultOutputUID) scope |= EndpointScope::systemAudio;
    if (scope.isEmpty()) {
        log_.debug("Device notification ({}) moved neither default; ignoring", name);
        return std::nullopt;
    }
    log_.notice("Device change ({}) -> {}: in {} -> {}, out {} -> {}", name, scope.description(),
                orNone(previous.defaultInputUID), orNone(current.defaultInputUID),
                orNone(previous.defaultOutputUID), orNone(current.defaultOutputUID));
    return DeviceChange{scope,
                        {.at = SidecarTimestamp::format(now),
                         .kind = "deviceChange",
                         .detail = std::string(name) + " -> " + std::string(scope.description())}};
}

}  // namespace kavo
