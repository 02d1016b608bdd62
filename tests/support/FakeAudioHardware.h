#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "audio/endpoints/AudioHardware.h"
#include "audio/endpoints/ProcessTapHardware.h"
#include "support/SignalThread.h"

namespace kavo::testing {

// The audio hardware in memory: devices with identities and rates, default devices,
// property listeners delivered on the queues they name, and process taps whose aggregate
// devices play a SignalThread through their IO procedures. Every operation can be made
// to fail. Thread-safe.
class FakeAudioHardware final : public AudioHardware, public ProcessTapHardware {
public:
    struct Device {
        AudioObjectID id = 0;
        std::optional<std::string> uid;  // none: the identifier cannot be read
        double nominalRate = 48'000;
        std::vector<std::string> subDevices;
    };

    explicit FakeAudioHardware(const Clock& clock);
    ~FakeAudioHardware() override;

    // --- Devices and defaults; each change notifies as the platform would ---
    void addDevice(Device device);                // 'dev#'
    void removeDevice(AudioObjectID device);      // 'dev#', and 'dIn '/'dOut' if it was default
    void setDefaultInput(AudioObjectID device);   // 'dIn '
    void setDefaultOutput(AudioObjectID device);  // 'dOut'
    // Calls the listeners of a property on their queues.
    void notify(AudioObjectID object, AudioObjectPropertySelector selector);
    void failDeviceIDRead(AudioObjectPropertySelector selector, OSStatus status);
    void failListener(AudioObjectPropertySelector selector, OSStatus status);
    void setProcessObject(std::optional<AudioObjectID> object, OSStatus status = kAudioNoError);
    std::size_t listenerCount(AudioObjectID object, AudioObjectPropertySelector selector) const;
    std::size_t listenerCount() const;
    int processObjectReads() const;

    // --- Process taps ---
    // The format a new tap of each mix reports.
    void setTapFormat(TapDescription::Mix mix, AudioStreamBasicDescription format);
    void refuseTaps(TapDescription::Mix mix, OSStatus status, std::string reason = {});
    void failTapFormatRead(OSStatus status);
    void failAggregateCreation(OSStatus status);
    void failIOProcCreation(OSStatus status, bool withoutID = false);
    void failDeviceStart(OSStatus status);
    // What the taps hear; rate, channels and layout come from the tap's format.
    void setTapStream(Waveform waveform, double clockOffsetPpm = 0,
                      std::int64_t framesPerBuffer = 512, bool hostTimeValid = true,
                      bool nowTimeValid = true);
    void setPacing(SignalThread::Pacing pacing);
    // Which rates an output change moves, and which listeners hear of it first.
    enum class RateChange { tapsFirst, aggregatesFirst, tapsOnly, aggregatesOnly };
    // The output moves to `rate`: the taps' formats and the aggregates' nominal rates
    // change (as `how` says) and their listeners are told.
    void changeOutputRate(double rate, RateChange how = RateChange::tapsFirst);

    // --- Driving the running IO procedures ---
    // One cycle of interleaved samples through every running procedure, on this thread.
    void deliverNow(const std::vector<float>& interleaved, std::uint32_t channels,
                    AudioTimeStamp inputTime, AudioTimeStamp now);
    void deliverUntil(std::uint64_t hostTime);
    void deliverBuffers(std::int64_t count);

    // --- Read by the test ---
    std::vector<TapDescription> tapRequests() const;
    std::vector<AggregateDeviceDescription> aggregateRequests() const;
    std::size_t liveTaps() const;
    std::size_t liveAggregates() const;
    std::size_t liveIOProcs() const;
    std::size_t runningIOProcs() const;
    // The queue the last IO procedure was created for.
    Scheduler* lastIOProcQueue() const;

    // --- AudioHardware ---
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

    // --- ProcessTapHardware ---
    TapCreation createProcessTap(const TapDescription& description) override;
    OSStatus destroyProcessTap(AudioObjectID tap) override;
    DeviceCreation createAggregateDevice(const AggregateDeviceDescription& description) override;
    OSStatus destroyAggregateDevice(AudioObjectID device) override;
    IOProcCreation createIOProc(AudioObjectID device, Scheduler& queue, IOBlock block) override;
    OSStatus startDevice(AudioObjectID device, AudioDeviceIOProcID proc) override;
    OSStatus stopDevice(AudioObjectID device, AudioDeviceIOProcID proc) override;
    OSStatus destroyIOProc(AudioObjectID device, AudioDeviceIOProcID proc) override;

private:
    struct Listener {
        AudioObjectID object;
        AudioObjectPropertySelector selector;
        Scheduler* queue;
        PropertyListener block;
        std::atomic<bool> active{true};
    };
    struct ListenerTable {
        std::mutex mutex;
        std::map<std::uint64_t, std::shared_ptr<Listener>> entries;
        std::uint64_t nextID = 1;
    };
    struct Tap {
        AudioStreamBasicDescription format;
        std::string uuid;
    };
    struct Aggregate {
        AudioObjectID tap = 0;
        double nominalRate = 0;
    };
    struct IOProc {
        AudioObjectID device = 0;
        Scheduler* queue = nullptr;
        std::unique_ptr<SignalThread> signal;
        // Held while the block runs, so that stopping and destroying wait for it.
        std::mutex delivery;
        IOBlock block;
    };

    AudioObjectID newObjectID();
    std::shared_ptr<IOProc> findIOProc(AudioDeviceIOProcID proc) const;
    std::vector<std::shared_ptr<IOProc>> runningProcs() const;
    void runCycle(IOProc& proc, const AudioBufferList& input, const AudioTimeStamp& inputTime,
                  bool nowValid);

    const Clock& clock_;
    mutable std::mutex mutex_;
    AudioObjectID nextObjectID_ = 100;
    std::map<AudioObjectID, Device> devices_;
    AudioObjectID defaultInput_ = 0;
    AudioObjectID defaultOutput_ = 0;
    std::map<AudioObjectPropertySelector, OSStatus> deviceIDReadFailures_;
    std::map<AudioObjectPropertySelector, OSStatus> listenerFailures_;
    std::optional<AudioObjectID> processObject_;
    OSStatus processObjectStatus_ = kAudioNoError;
    mutable int processObjectReads_ = 0;

    std::map<TapDescription::Mix, AudioStreamBasicDescription> tapFormats_;
    std::map<TapDescription::Mix, std::pair<OSStatus, std::string>> tapRefusals_;
    OSStatus tapFormatReadFailure_ = kAudioNoError;
    OSStatus aggregateFailure_ = kAudioNoError;
    OSStatus ioProcFailure_ = kAudioNoError;
    bool ioProcWithoutID_ = false;
    OSStatus deviceStartFailure_ = kAudioNoError;
    Waveform waveform_;
    double clockOffsetPpm_ = 0;
    std::int64_t framesPerBuffer_ = 512;
    bool hostTimeValid_ = true;
    bool nowTimeValid_ = true;
    SignalThread::Pacing pacing_ = SignalThread::Pacing::onDemand;

    std::vector<TapDescription> tapRequests_;
    std::vector<AggregateDeviceDescription> aggregateRequests_;
    std::map<AudioObjectID, Tap> taps_;
    std::map<AudioObjectID, Aggregate> aggregates_;
    std::map<AudioDeviceIOProcID, std::shared_ptr<IOProc>> procs_;
    AudioDeviceIOProcID nextProcID_ = 1;
    Scheduler* lastIOProcQueue_ = nullptr;

    const std::shared_ptr<ListenerTable> listeners_ = std::make_shared<ListenerTable>();
};

}  // namespace kavo::testing
