#include "capture/DeviceWatch.h"

#include <string>

#include "capture/files/SidecarTimestamp.h"

namespace kavo {
namespace {

std::string_view orNone(const std::optional<std::string>& uid) {
    return uid ? std::string_view{*uid} : std::string_view{"none"};
}

}  // namespace

DeviceWatch::DeviceWatch(AudioDevices& devices, Scheduler& control)
    : devices_(devices), control_(control) {}

void DeviceWatch::install(const Notify& notify) {
    registration_ = devices_.observe([&control = control_, notify](std::string_view name) {
        control.post([notify, name = std::string(name)] { notify(name); });
    });
}

std::optional<DeviceChange> DeviceWatch::handle(std::string_view name, WallTime now) {
    const AudioDeviceSnapshot previous = lastSnapshot_;
    const AudioDeviceSnapshot current = devices_.defaults();
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
    const std::string at = SidecarTimestamp::format(now);
    DeviceChange change{
        scope,
        {{.at = at,
          .kind = "deviceChange",
          .detail = std::string(name) + " -> " + std::string(scope.description())}}};
    if (previous.defaultInputUID && !current.defaultInputUID) {
        log_.error("No microphone left on this computer; the microphone channel records silence");
        change.events.push_back(
            {.at = at, .kind = "deviceChange", .detail = std::string(kNoMicrophoneDetail)});
    }
    return change;
}

}  // namespace kavo
