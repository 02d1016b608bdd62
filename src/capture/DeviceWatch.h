#pragma once

#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "audio/endpoints/ListenerRegistration.h"
#include "base/Clock.h"
#include "base/Log.h"
#include "base/Scheduler.h"
#include "capture/AudioDevices.h"
#include "capture/EndpointScope.h"
#include "capture/files/CaptureSidecar.h"

namespace kavo {

// What one device notification moved: the endpoints to rebuild, and the device events
// that record it in the sidecar.
struct DeviceChange {
    EndpointScope scope;
    std::vector<CaptureSidecar::DeviceEvent> events;
};

// The default-device watch of one capture, used on the capture session's control queue:
// the observation of the devices, the snapshot last seen, and the decision which endpoints
// a notification concerns. Logs under the capture session's category.
class DeviceWatch {
public:
    // Receives a notification's name, asynchronously on the control queue. The capture
    // session passes one that holds it weakly.
    using Notify = std::function<void(std::string_view name)>;

    // The detail of the device event that says the microphone channel records silence.
    static constexpr std::string_view kNoMicrophoneDetail =
        "no microphone on this computer: the microphone channel is silent";

    // `devices` and `control` outlive the watch.
    DeviceWatch(AudioDevices& devices, Scheduler& control);
    DeviceWatch(const DeviceWatch&) = delete;
    DeviceWatch& operator=(const DeviceWatch&) = delete;

    // Observes the devices; each notification is handled in a task of its own on the
    // control queue.
    void install(const Notify& notify);
    // Ends the observation; its notifications stop.
    void remove() { registration_.remove(); }

    // Replaces the last snapshot with the current default devices (at capture start).
    void takeSnapshot() { lastSnapshot_ = devices_.defaults(); }
    const AudioDeviceSnapshot& lastSnapshot() const { return lastSnapshot_; }

    // Re-reads the defaults, keeps them as the last snapshot, and says which endpoints
    // moved; nothing when neither default moved.
    std::optional<DeviceChange> handle(std::string_view name, WallTime now);

private:
    AudioDevices& devices_;
    Scheduler& control_;
    AudioDeviceSnapshot lastSnapshot_;
    ListenerRegistration registration_;
    Logger log_{"CaptureSession"};
};

}  // namespace kavo
