#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "audio/AudioBufferList.h"
#include "audio/endpoints/AudioObjects.h"
#include "base/Scheduler.h"

namespace kavo {

// A global tap on everything the computer plays.
struct TapDescription {
    enum class Mix { mono, stereo };
    // Leaves the tapped audio audible.
    static constexpr int kMuteBehaviorUnmuted = 0;

    Mix mix = Mix::mono;
    std::vector<AudioObjectID> excludedProcesses;
    std::string name;
    bool isPrivate = true;
    int muteBehavior = kMuteBehaviorUnmuted;
    std::string uuid;  // upper-case hyphenated; the aggregate device names the tap by it
};

// A private aggregate device that wraps taps. Its fields are the keys of the platform's
// description dictionary: "name", "uid", "private", "stacked", "tapautostart",
// "subdevices" and "taps" (each with "uid" and "drift").
struct AggregateDeviceDescription {
    struct Tap {
        std::string uid;
        bool drift = true;
    };

    std::string name;
    std::string uid;
    bool isPrivate = true;
    bool stacked = false;
    bool tapAutoStart = true;
    std::vector<std::string> subDevices;
    std::vector<Tap> taps;
};

using AudioDeviceIOProcID = std::uint64_t;

// Process taps, aggregate devices and IO procedures: how the system-audio endpoint
// reaches the computer's own output mix.
class ProcessTapHardware {
public:
    // One IO cycle: the "now" time stamp, the input buffers and their time stamp, and the
    // output buffers (empty for a tap). Runs on the audio thread that serves `queue`, one
    // cycle at a time, and must not lock, allocate or wait.
    using IOBlock = std::function<void(const AudioTimeStamp& now, const AudioBufferList& input,
                                       const AudioTimeStamp& inputTime, AudioBufferList& output)>;

    struct TapCreation {
        OSStatus status = kAudioNoError;
        AudioObjectID tap = kAudioObjectUnknown;
        // Why the platform refused, in the user's words ("no audio server is running").
        std::string failureReason;
    };

    struct DeviceCreation {
        OSStatus status = kAudioNoError;
        AudioObjectID device = kAudioObjectUnknown;
    };

    struct IOProcCreation {
        OSStatus status = kAudioNoError;
        std::optional<AudioDeviceIOProcID> proc;
    };

    virtual ~ProcessTapHardware() = default;

    virtual TapCreation createProcessTap(const TapDescription& description) = 0;
    virtual OSStatus destroyProcessTap(AudioObjectID tap) = 0;

    virtual DeviceCreation createAggregateDevice(const AggregateDeviceDescription& description) = 0;
    virtual OSStatus destroyAggregateDevice(AudioObjectID device) = 0;

    // `queue` is where the cycles belong; a platform whose audio arrives on a real-time
    // thread of its own runs them there instead, one at a time.
    virtual IOProcCreation createIOProc(AudioObjectID device, Scheduler& queue, IOBlock block) = 0;
    virtual OSStatus startDevice(AudioObjectID device, AudioDeviceIOProcID proc) = 0;
    // Returns once no cycle of `proc` is under way.
    virtual OSStatus stopDevice(AudioObjectID device, AudioDeviceIOProcID proc) = 0;
    // Returns once no cycle of `proc` is under way; the block is not called again.
    virtual OSStatus destroyIOProc(AudioObjectID device, AudioDeviceIOProcID proc) = 0;
};

}  // namespace kavo
