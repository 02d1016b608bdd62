#pragma once

#include <pulse/pulseaudio.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "audio/endpoints/AudioHardware.h"
#include "platform/linux/PulseContext.h"

namespace kavo::linux_platform {

// The audio server's devices as audio objects. A device is known by its server name,
// which is also its unique identifier; sinks and sources get numbers of their own the
// first time they are seen, kept for the life of this object. Taps and their devices,
// made by PulseProcessTapHardware, are numbered here too, so that format reads and rate
// listeners reach them.
//
// Listeners come from the server's subscription: a moved default source or sink calls the
// 'dIn ' or 'dOut' listeners (and so does a change of its active port), a sink or source
// that comes or goes calls the 'dev#' listeners, and any change of a sink or source calls
// the rate ('nsrt') and tap format ('tfmt') listeners, which read the rate again.
class PulseAudioHardware final : public AudioHardware {
public:
    // Devices this program makes itself; the defaults never count them.
    static constexpr std::string_view kOwnDevicePrefix = "brindle.meetings.desktop.";

    static constexpr OSStatus kBadObject = static_cast<OSStatus>(fourCharCode("!obj"));
    static constexpr OSStatus kUnknownProperty = static_cast<OSStatus>(fourCharCode("who?"));
    static constexpr OSStatus kNoServer = static_cast<OSStatus>(fourCharCode("!srv"));
    static constexpr OSStatus kNoDevice = static_cast<OSStatus>(fourCharCode("!dev"));

    // A tap: recording of the monitor of one sink.
    struct TapObject {
        std::string uuid;
        std::string sinkName;
        std::string monitorSourceName;
    };

    explicit PulseAudioHardware(PulseContext& pulse);
    PulseAudioHardware(const PulseAudioHardware&) = delete;
    PulseAudioHardware& operator=(const PulseAudioHardware&) = delete;
    ~PulseAudioHardware() override;

    PropertyRead<AudioObjectID> readDeviceID(AudioObjectID object,
                                             AudioObjectPropertySelector selector) const override;
    PropertyRead<std::string> readDeviceUID(AudioObjectID device) const override;
    PropertyRead<std::vector<std::string>> readSubDeviceUIDs(AudioObjectID device) const override;
    PropertyRead<double> readNominalSampleRate(AudioObjectID device) const override;
    PropertyRead<AudioStreamBasicDescription> readTapFormat(AudioObjectID tap) const override;
    PropertyRead<AudioObjectID> readProcessObject(std::int32_t processID) const override;
    ListenerInstallation addPropertyListener(AudioObjectID object,
                                             AudioObjectPropertySelector selector, Scheduler& queue,
                                             PropertyListener listener) override;

    // The object number of a source or sink by name.
    AudioObjectID sourceID(const std::string& name) const;
    AudioObjectID sinkID(const std::string& name) const;
    // The default source or sink by name; none when there is none or it is one of ours.
    std::optional<std::string> defaultSourceName() const;
    std::optional<std::string> defaultSinkName() const;

    AudioObjectID addTap(TapObject tap);
    std::optional<TapObject> tap(AudioObjectID tap) const;
    std::optional<AudioObjectID> tapByUUID(const std::string& uuid) const;
    // A device wrapping `tap`.
    AudioObjectID addTapDevice(AudioObjectID tap);
    std::optional<AudioObjectID> tapOfDevice(AudioObjectID device) const;
    // Forgets a tap or a tap device.
    void removeObject(AudioObjectID object);

private:
    enum class Kind { source, sink, tap, tapDevice, process };
    struct Object {
        Kind kind;
        std::string name;
        std::optional<TapObject> tap;
        AudioObjectID tapID = kAudioObjectUnknown;
    };
    struct Listener {
        AudioObjectID object;
        AudioObjectPropertySelector selector;
        Scheduler* queue;
        std::shared_ptr<PropertyListener> call;
        std::shared_ptr<std::atomic<bool>> active;
    };
    // What the defaults were when last looked at; on the main loop thread only.
    struct Defaults {
        std::string sink;
        std::string source;
        std::string sinkPort;
        std::string sourcePort;
    };

    AudioObjectID idFor(Kind kind, const std::string& name) const;
    std::optional<Object> object(AudioObjectID id) const;
    std::optional<std::string> monitorOf(AudioObjectID id) const;
    std::optional<PulseDeviceInfo> deviceInfo(const Object& object) const;

    // Main loop thread, lock held.
    void handleEvent(pa_subscription_event_type_t facility, pa_subscription_event_type_t kind,
                     std::uint32_t index);
    void refreshDefaults();
    void checkPort(pa_subscription_event_type_t facility, std::uint32_t index);
    void track(pa_operation* operation);
    void notify(AudioObjectID object, AudioObjectPropertySelector selector);
    void notifyAll(AudioObjectPropertySelector selector);
    static void onServerInfo(pa_context* context, const pa_server_info* info, void* self);
    static void onSinkInfo(pa_context* context, const pa_sink_info* info, int eol, void* self);
    static void onSourceInfo(pa_context* context, const pa_source_info* info, int eol, void* self);

    PulseContext& pulse_;
    mutable std::mutex mutex_;
    // Under mutex_.
    mutable std::map<std::pair<Kind, std::string>, AudioObjectID> ids_;
    mutable std::map<AudioObjectID, Object> objects_;
    mutable AudioObjectID nextID_ = 100;
    std::map<std::uint64_t, Listener> listeners_;
    std::uint64_t nextListener_ = 1;
    // Main loop thread only.
    Defaults defaults_;
    std::vector<pa_operation*> pending_;
    ListenerRegistration subscription_;
};

}  // namespace kavo::linux_platform
