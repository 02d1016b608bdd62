#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "base/Log.h"
#include "base/SerialQueue.h"
#include "capture/AudioDevices.h"
#include "platform/linux/PulseContext.h"

namespace kavo::linux_platform {

// The audio server's default devices, and news of them from its subscription: a moved
// default source or sink is "defaultInputDevice" or "defaultOutputDevice", a sink or source
// that comes or goes, or a default sink that turns personal or back, is "deviceList". A
// default source that is a monitor is no microphone; a default sink that is a headset or
// headphones (by its form, profile or active port) is a personal output.
// News is handed on from a queue of the watch's own.
class PulseDeviceWatch final : public AudioDevices {
public:
    static constexpr const char* kQueueLabel = "brindle.meetings.desktop.device-watch";

    // `pulse` outlives the watch.
    explicit PulseDeviceWatch(PulseContext& pulse);
    PulseDeviceWatch(const PulseDeviceWatch&) = delete;
    PulseDeviceWatch& operator=(const PulseDeviceWatch&) = delete;
    ~PulseDeviceWatch() override;

    AudioDeviceSnapshot defaults() const override;
    ListenerRegistration observe(Notify notify) override;

    // Waits until the news received so far has been handed on.
    void flush() {
        queue_.sync([] {});
    }

private:
    // On the queue.
    void checkDefaults();
    void checkOutputForm();
    bool isPersonal(const std::string& sinkName) const;
    void notify(std::string_view what);

    PulseContext& pulse_;
    std::mutex mutex_;
    // Under mutex_, which a call under way holds: removal waits for it.
    std::map<std::uint64_t, Notify> observers_;
    std::uint64_t nextObserver_ = 1;
    // On the queue: the defaults by server name as last seen.
    PulseServerInfo last_;
    bool lastPersonal_ = false;
    ListenerRegistration events_;
    Logger log_{"PulseDeviceWatch"};
    // Last: its thread stops before what it reaches goes away.
    SerialQueue queue_{kQueueLabel};
};

}  // namespace kavo::linux_platform
