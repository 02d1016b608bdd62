#include "platform/linux/PulseProcessTapHardware.h"

#include <utility>

namespace kavo::linux_platform {

PulseProcessTapHardware::PulseProcessTapHardware(PulseContext& pulse, PulseAudioHardware& hardware)
    : pulse_(pulse), hardware_(hardware) {}

PulseProcessTapHardware::~PulseProcessTapHardware() {
    std::lock_guard lock(mutex_);
    procs_.clear();
}

ProcessTapHardware::TapCreation PulseProcessTapHardware::createProcessTap(
    const TapDescription& description) {
    const auto server = pulse_.serverInfo();
    if (!server)
        return {PulseAudioHardware::kNoServer, kAudioObjectUnknown, "no audio server is running"};
    const auto sinkName = hardware_.defaultSinkName();
    if (!sinkName)
        return {PulseAudioHardware::kNoDevice, kAudioObjectUnknown,
                "there is no default output device"};
    const auto sink = pulse_.sinkInfo(*sinkName);
    if (!sink) {
        return {PulseAudioHardware::kNoDevice, kAudioObjectUnknown,
                "the output device " + *sinkName + " is gone"};
    }
    if (sink->monitorSourceName.empty()) {
        return {PulseAudioHardware::kNoDevice, kAudioObjectUnknown,
                "the output device " + *sinkName + " has no monitor source"};
    }
    const AudioObjectID tap =
        hardware_.addTap({description.uuid, sink->name, sink->monitorSourceName});
    log_.info("System audio from {} via {}", sink->name, sink->monitorSourceName);
    return {kAudioNoError, tap, {}};
}

OSStatus PulseProcessTapHardware::destroyProcessTap(AudioObjectID tap) {
    if (!hardware_.tap(tap)) return PulseAudioHardware::kBadObject;
    hardware_.removeObject(tap);
    return kAudioNoError;
}

ProcessTapHardware::DeviceCreation PulseProcessTapHardware::createAggregateDevice(
    const AggregateDeviceDescription& description) {
    if (description.taps.size() != 1) return {PulseAudioHardware::kBadObject, kAudioObjectUnknown};
    const auto tap = hardware_.tapByUUID(description.taps.front().uid);
    if (!tap) return {PulseAudioHardware::kBadObject, kAudioObjectUnknown};
    return {kAudioNoError, hardware_.addTapDevice(*tap)};
}

OSStatus PulseProcessTapHardware::destroyAggregateDevice(AudioObjectID device) {
    if (!hardware_.tapOfDevice(device)) return PulseAudioHardware::kBadObject;
    hardware_.removeObject(device);
    return kAudioNoError;
}

ProcessTapHardware::IOProcCreation PulseProcessTapHardware::createIOProc(AudioObjectID device,
                                                                         Scheduler& /*queue*/,
                                                                         IOBlock block) {
    if (!hardware_.tapOfDevice(device)) return {PulseAudioHardware::kBadObject, std::nullopt};
    std::lock_guard lock(mutex_);
    const AudioDeviceIOProcID id = nextProc_++;
    procs_.emplace(id, IOProc{device, std::make_shared<IOBlock>(std::move(block)), nullptr});
    return {kAudioNoError, id};
}

OSStatus PulseProcessTapHardware::startDevice(AudioObjectID device, AudioDeviceIOProcID proc) {
    std::lock_guard lock(mutex_);
    const auto found = procs_.find(proc);
    if (found == procs_.end() || found->second.device != device)
        return PulseAudioHardware::kBadObject;
    if (found->second.stream) return kAudioNoError;
    const auto tapID = hardware_.tapOfDevice(device);
    const auto tap = tapID ? hardware_.tap(*tapID) : std::nullopt;
    if (!tap) return PulseAudioHardware::kBadObject;
    const auto monitor = pulse_.sourceInfo(tap->monitorSourceName);
    if (!monitor) return PulseAudioHardware::kNoDevice;
    try {
        found->second.stream = std::make_unique<PulseRecordStream>(
            pulse_,
            PulseRecordStream::Options{.sourceName = tap->monitorSourceName,
                                       .rate = monitor->rate,
                                       .channels = monitor->channels,
                                       .dontMove = true,
                                       .monitor = true,
                                       .streamName = "Kavo Meetings system audio"},
            [block = found->second.block](const AudioBufferList& buffers,
                                          const AudioTimeStamp& time) {
                AudioBufferList output{};
                (*block)(time, buffers, time, output);
            },
            nullptr);
    } catch (const PulseError& error) {
        log_.error("Could not start system audio: {}", error.what());
        return kStartFailed;
    }
    return kAudioNoError;
}

OSStatus PulseProcessTapHardware::stopDevice(AudioObjectID device, AudioDeviceIOProcID proc) {
    return endStream(device, proc, false);
}

OSStatus PulseProcessTapHardware::destroyIOProc(AudioObjectID device, AudioDeviceIOProcID proc) {
    return endStream(device, proc, true);
}

OSStatus PulseProcessTapHardware::endStream(AudioObjectID device, AudioDeviceIOProcID proc,
                                            bool forget) {
    // Dropped after the lock is released: ending a stream waits for the server.
    std::unique_ptr<PulseRecordStream> stream;
    {
        std::lock_guard lock(mutex_);
        const auto found = procs_.find(proc);
        if (found == procs_.end() || found->second.device != device)
            return PulseAudioHardware::kBadObject;
        stream = std::move(found->second.stream);
        if (forget) procs_.erase(found);
    }
    return kAudioNoError;
}

}  // namespace kavo::linux_platform
