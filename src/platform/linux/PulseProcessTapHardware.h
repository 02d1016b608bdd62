#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "audio/endpoints/ProcessTapHardware.h"
#include "platform/linux/PulseAudioHardware.h"
#include "platform/linux/PulseContext.h"
#include "platform/linux/PulseRecordStream.h"

namespace kavo::linux_platform {

// Everything the computer plays, as the server offers it: a tap is the monitor source of
// the default sink, named through the sink itself and recorded with a stream that the
// server may not move elsewhere, so that it can never end up on a microphone. The tap
// takes the monitor's own channels whatever mix is asked for; the caller folds them. A
// tap device just wraps its tap, and its IO procedure is the record stream, whose cycles
// run on the server connection's thread.
class PulseProcessTapHardware final : public ProcessTapHardware {
public:
    PulseProcessTapHardware(PulseContext& pulse, PulseAudioHardware& hardware);
    PulseProcessTapHardware(const PulseProcessTapHardware&) = delete;
    PulseProcessTapHardware& operator=(const PulseProcessTapHardware&) = delete;
    ~PulseProcessTapHardware() override;

    TapCreation createProcessTap(const TapDescription& description) override;
    OSStatus destroyProcessTap(AudioObjectID tap) override;
    DeviceCreation createAggregateDevice(const AggregateDeviceDescription& description) override;
    OSStatus destroyAggregateDevice(AudioObjectID device) override;
    IOProcCreation createIOProc(AudioObjectID device, Scheduler& queue, IOBlock block) override;
    OSStatus startDevice(AudioObjectID device, AudioDeviceIOProcID proc) override;
    OSStatus stopDevice(AudioObjectID device, AudioDeviceIOProcID proc) override;
    OSStatus destroyIOProc(AudioObjectID device, AudioDeviceIOProcID proc) override;

    static constexpr OSStatus kStartFailed = static_cast<OSStatus>(fourCharCode("!go "));

private:
    // Ends the stream of `proc` on `device`; `forget` also drops the procedure.
    OSStatus endStream(AudioObjectID device, AudioDeviceIOProcID proc, bool forget);

    struct IOProc {
        AudioObjectID device;
        std::shared_ptr<IOBlock> block;
        std::unique_ptr<PulseRecordStream> stream;
    };

    PulseContext& pulse_;
    PulseAudioHardware& hardware_;
    std::mutex mutex_;
    std::map<AudioDeviceIOProcID, IOProc> procs_;
    AudioDeviceIOProcID nextProc_ = 1;
    Logger log_{"PulseProcessTapHardware"};
};

}  // namespace kavo::linux_platform
