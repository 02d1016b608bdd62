#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "audio/endpoints/AudioHardware.h"
#include "base/Clock.h"
#include "base/Log.h"
#include "base/Scheduler.h"
#include "capture/AudioDeviceSnapshot.h"
#include "capture/EndpointScope.h"
#include "capture/files/CaptureSidecar.h"

namespace kavo {

// What one device notification moved: the endpoints to rebuild, and the device event
// that records it in the sidecar.
struct DeviceChange {
    EndpointScope scope;
    CaptureSidecar::DeviceEvent event;
};

// The default-device watch of one capture, used on the capture session's control queue:
// the listeners on the default input, default output and device list, the snapshot last
// seen, and the decision which endpoints a notification concerns. Logs under the capture
// session's category.
class DeviceWatch {
public:
    using ReadSnapshot = std::function<AudioDeviceSnapshot()>;
    // Receives a notification's name, asynchronously on the control queue. The capture
    // session passes one that holds it weakly.
    using Notify = std::function<void(std::string_view name)>;

    // The selectors watched, in the order their listeners are installed.
    static constexpr AudioObjectPropertySelector kWatchedProperties[] = {
        audio_property::kDefaultInputDevice, audio_property::kDefaultOutputDevice,
        audio_property::kDeviceList};

    // "defaultInputDevice", "defaultOutputDevice", "deviceList" or "unknown".
    static std::string_view notificationName(AudioObjectPropertySelector selector);

    // `hardware` and `control` outlive the watch.
    DeviceWatch(AudioHardware& hardware, Scheduler& control, ReadSnapshot readSnapshot);
    DeviceWatch(const DeviceWatch&) = delete;
    DeviceWatch& operator=(const DeviceWatch&) = delete;

    // Registers the three listeners on the system object, delivered on the control queue.
    // One that cannot be registered is logged and left out.
    void install(const Notify& notify);
    // Unregisters every listener installed; their notifications stop.
    void remove();
    std::size_t listenerCount() const { return listeners_.size(); }

    // Replaces the last snapshot with the current default devices (at capture start).
    void takeSnapshot() { lastSnapshot_ = readSnapshot_(); }
    const AudioDeviceSnapshot& lastSnapshot() const { return lastSnapshot_; }

    // Re-reads the defaults, keeps them as the last snapshot, and says which endpoints
    // moved; nothing when neither default moved.
    std::optional<DeviceChange> handle(std::string_view name, WallTime now);

private:
    struct Listener {
        AudioObjectPropertySelector selector;
        ListenerRegistration registration;
    };

    AudioHardware& hardware_;
    Scheduler& control_;
    const ReadSnapshot readSnapshot_;
    AudioDeviceSnapshot lastSnapshot_;
    std::vector<Listener> listeners_;
    Logger log_{"CaptureSession"};
};

}  // namespace kavo
