#include "support/FakeAudioHardware.h"

#include <algorithm>
#include <utility>

#include "support/AudioCallbackScope.h"

namespace kavo::testing {
namespace {

constexpr auto kBadObject = static_cast<OSStatus>(fourCharCode("!obj"));
constexpr auto kUnknownProperty = static_cast<OSStatus>(fourCharCode("who?"));

}  // namespace

FakeAudioHardware::FakeAudioHardware(const Clock& clock) : clock_(clock) {
    tapFormats_[TapDescription::Mix::mono] = AudioStreamBasicDescription::float32(48'000, 1);
    tapFormats_[TapDescription::Mix::stereo] = AudioStreamBasicDescription::float32(48'000, 2);
}

FakeAudioHardware::~FakeAudioHardware() {
    std::vector<std::unique_ptr<SignalThread>> signals;
    {
        std::lock_guard lock(mutex_);
        for (auto& [id, proc] : procs_) signals.push_back(std::move(proc->signal));
    }
}

AudioObjectID FakeAudioHardware::newObjectID() {
    return nextObjectID_++;
}

// --- Devices and defaults ---

void FakeAudioHardware::addDevice(Device device) {
    {
        std::lock_guard lock(mutex_);
        devices_[device.id] = std::move(device);
    }
    notify(kAudioObjectSystemObject, audio_property::kDeviceList);
}

void FakeAudioHardware::removeDevice(AudioObjectID device) {
    bool wasInput = false;
    bool wasOutput = false;
    {
        std::lock_guard lock(mutex_);
        devices_.erase(device);
        wasInput =
            std::exchange(defaultInput_, defaultInput_ == device ? 0 : defaultInput_) == device;
        wasOutput =
            std::exchange(defaultOutput_, defaultOutput_ == device ? 0 : defaultOutput_) == device;
    }
    if (wasInput) notify(kAudioObjectSystemObject, audio_property::kDefaultInputDevice);
    if (wasOutput) notify(kAudioObjectSystemObject, audio_property::kDefaultOutputDevice);
    notify(kAudioObjectSystemObject, audio_property::kDeviceList);
}

void FakeAudioHardware::setDefaultInput(AudioObjectID device) {
    {
        std::lock_guard lock(mutex_);
        defaultInput_ = device;
    }
    notify(kAudioObjectSystemObject, audio_property::kDefaultInputDevice);
}

void FakeAudioHardware::setDefaultOutput(AudioObjectID device) {
    {
        std::lock_guard lock(mutex_);
        defaultOutput_ = device;
    }
    notify(kAudioObjectSystemObject, audio_property::kDefaultOutputDevice);
}

void FakeAudioHardware::notify(AudioObjectID object, AudioObjectPropertySelector selector) {
    std::vector<std::shared_ptr<Listener>> matching;
    {
        std::lock_guard lock(listeners_->mutex);
        for (const auto& [id, listener] : listeners_->entries) {
            if (listener->object == object && listener->selector == selector)
                matching.push_back(listener);
        }
    }
    for (const auto& listener : matching) {
        listener->queue->post([listener] {
            if (listener->active.load()) listener->block();
        });
    }
}

void FakeAudioHardware::failDeviceIDRead(AudioObjectPropertySelector selector, OSStatus status) {
    std::lock_guard lock(mutex_);
    deviceIDReadFailures_[selector] = status;
}

void FakeAudioHardware::failListener(AudioObjectPropertySelector selector, OSStatus status) {
    std::lock_guard lock(mutex_);
    listenerFailures_[selector] = status;
}

void FakeAudioHardware::setProcessObject(std::optional<AudioObjectID> object, OSStatus status) {
    std::lock_guard lock(mutex_);
    processObject_ = object;
    processObjectStatus_ = status;
}

std::size_t FakeAudioHardware::listenerCount(AudioObjectID object,
                                             AudioObjectPropertySelector selector) const {
    std::lock_guard lock(listeners_->mutex);
    return static_cast<std::size_t>(std::count_if(
        listeners_->entries.begin(), listeners_->entries.end(), [&](const auto& entry) {
            return entry.second->object == object && entry.second->selector == selector;
        }));
}

std::size_t FakeAudioHardware::listenerCount() const {
    std::lock_guard lock(listeners_->mutex);
    return listeners_->entries.size();
}

int FakeAudioHardware::processObjectReads() const {
    std::lock_guard lock(mutex_);
    return processObjectReads_;
}

// --- Process taps: set-up ---

void FakeAudioHardware::setTapFormat(TapDescription::Mix mix, AudioStreamBasicDescription format) {
    std::lock_guard lock(mutex_);
    tapFormats_[mix] = format;
}

void FakeAudioHardware::refuseTaps(TapDescription::Mix mix, OSStatus status, std::string reason) {
    std::lock_guard lock(mutex_);
    tapRefusals_[mix] = {status, std::move(reason)};
}

void FakeAudioHardware::failTapFormatRead(OSStatus status) {
    std::lock_guard lock(mutex_);
    tapFormatReadFailure_ = status;
}

void FakeAudioHardware::failAggregateCreation(OSStatus status) {
    std::lock_guard lock(mutex_);
    aggregateFailure_ = status;
}

void FakeAudioHardware::failIOProcCreation(OSStatus status, bool withoutID) {
    std::lock_guard lock(mutex_);
    ioProcFailure_ = status;
    ioProcWithoutID_ = withoutID;
}

void FakeAudioHardware::failDeviceStart(OSStatus status) {
    std::lock_guard lock(mutex_);
    deviceStartFailure_ = status;
}

void FakeAudioHardware::setTapStream(Waveform waveform, double clockOffsetPpm,
                                     std::int64_t framesPerBuffer, bool hostTimeValid,
                                     bool nowTimeValid) {
    std::lock_guard lock(mutex_);
    waveform_ = std::move(waveform);
    clockOffsetPpm_ = clockOffsetPpm;
    framesPerBuffer_ = framesPerBuffer;
    hostTimeValid_ = hostTimeValid;
    nowTimeValid_ = nowTimeValid;
}

void FakeAudioHardware::setPacing(SignalThread::Pacing pacing) {
    std::lock_guard lock(mutex_);
    pacing_ = pacing;
}

void FakeAudioHardware::changeOutputRate(double rate, RateChange how) {
    const bool taps = how != RateChange::aggregatesOnly;
    const bool aggregates = how != RateChange::tapsOnly;
    std::vector<AudioObjectID> tapIDs;
    std::vector<AudioObjectID> aggregateIDs;
    {
        std::lock_guard lock(mutex_);
        for (auto& [id, tap] : taps_) {
            if (!taps) break;
            tap.format.sampleRate = rate;
            tapIDs.push_back(id);
        }
        for (auto& [id, aggregate] : aggregates_) {
            if (!aggregates) break;
            aggregate.nominalRate = rate;
            aggregateIDs.push_back(id);
        }
    }
    const auto notifyTaps = [&] {
        for (const auto id : tapIDs) notify(id, audio_property::kTapFormat);
    };
    const auto notifyAggregates = [&] {
        for (const auto id : aggregateIDs) notify(id, audio_property::kNominalSampleRate);
    };
    if (how == RateChange::aggregatesFirst) {
        notifyAggregates();
        notifyTaps();
    } else {
        notifyTaps();
        notifyAggregates();
    }
}

// --- Driving the IO procedures ---

std::vector<std::shared_ptr<FakeAudioHardware::IOProc>> FakeAudioHardware::runningProcs() const {
    std::vector<std::shared_ptr<IOProc>> running;
    for (const auto& [id, proc] : procs_) {
        if (proc->signal) running.push_back(proc);
    }
    return running;
}

void FakeAudioHardware::runCycle(IOProc& proc, const AudioBufferList& input,
                                 const AudioTimeStamp& inputTime, bool nowValid) {
    std::lock_guard delivery(proc.delivery);
    if (!proc.block) return;
    AudioBufferList output;
    proc.block(AudioTimeStamp{clock_.hostTime(), nowValid}, input, inputTime, output);
}

void FakeAudioHardware::deliverNow(const std::vector<float>& interleaved, std::uint32_t channels,
                                   AudioTimeStamp inputTime, AudioTimeStamp now) {
    std::vector<std::shared_ptr<IOProc>> running;
    {
        std::lock_guard lock(mutex_);
        running = runningProcs();
    }
    const AudioBuffer buffer{channels,
                             static_cast<std::uint32_t>(interleaved.size() * sizeof(float)),
                             interleaved.data()};
    for (const auto& proc : running) {
        std::lock_guard delivery(proc->delivery);
        if (!proc->block) continue;
        AudioCallbackScope scope;
        AudioBufferList output;
        proc->block(now, AudioBufferList{std::span<const AudioBuffer>(&buffer, 1)}, inputTime,
                    output);
    }
}

void FakeAudioHardware::deliverUntil(std::uint64_t hostTime) {
    std::lock_guard lock(mutex_);
    for (const auto& proc : runningProcs()) proc->signal->deliverUntil(hostTime);
}

void FakeAudioHardware::deliverBuffers(std::int64_t count) {
    std::lock_guard lock(mutex_);
    for (const auto& proc : runningProcs()) proc->signal->deliverBuffers(count);
}

// --- Read by the test ---

std::vector<TapDescription> FakeAudioHardware::tapRequests() const {
    std::lock_guard lock(mutex_);
    return tapRequests_;
}

std::vector<AggregateDeviceDescription> FakeAudioHardware::aggregateRequests() const {
    std::lock_guard lock(mutex_);
    return aggregateRequests_;
}

std::size_t FakeAudioHardware::liveTaps() const {
    std::lock_guard lock(mutex_);
    return taps_.size();
}

std::size_t FakeAudioHardware::liveAggregates() const {
    std::lock_guard lock(mutex_);
    return aggregates_.size();
}

std::size_t FakeAudioHardware::liveIOProcs() const {
    std::lock_guard lock(mutex_);
    return procs_.size();
}

std::size_t FakeAudioHardware::runningIOProcs() const {
    std::lock_guard lock(mutex_);
    return runningProcs().size();
}

Scheduler* FakeAudioHardware::lastIOProcQueue() const {
    std::lock_guard lock(mutex_);
    return lastIOProcQueue_;
}

// --- AudioHardware ---

PropertyRead<AudioObjectID> FakeAudioHardware::readDeviceID(
    AudioObjectID object, AudioObjectPropertySelector selector) const {
    std::lock_guard lock(mutex_);
    if (object != kAudioObjectSystemObject) return {kBadObject, 0};
    if (const auto failure = deviceIDReadFailures_.find(selector);
        failure != deviceIDReadFailures_.end()) {
        return {failure->second, 0};
    }
    if (selector == audio_property::kDefaultInputDevice) return {kAudioNoError, defaultInput_};
    if (selector == audio_property::kDefaultOutputDevice) return {kAudioNoError, defaultOutput_};
    return {kUnknownProperty, 0};
}

PropertyRead<std::string> FakeAudioHardware::readDeviceUID(AudioObjectID device) const {
    std::lock_guard lock(mutex_);
    const auto found = devices_.find(device);
    if (found == devices_.end() || !found->second.uid) return {kBadObject, {}};
    return {kAudioNoError, *found->second.uid};
}

PropertyRead<std::vector<std::string>> FakeAudioHardware::readSubDeviceUIDs(
    AudioObjectID device) const {
    std::lock_guard lock(mutex_);
    const auto found = devices_.find(device);
    if (found == devices_.end()) return {kBadObject, {}};
    return {kAudioNoError, found->second.subDevices};
}

PropertyRead<double> FakeAudioHardware::readNominalSampleRate(AudioObjectID device) const {
    std::lock_guard lock(mutex_);
    if (const auto aggregate = aggregates_.find(device); aggregate != aggregates_.end()) {
        return {kAudioNoError, aggregate->second.nominalRate};
    }
    if (const auto found = devices_.find(device); found != devices_.end()) {
        return {kAudioNoError, found->second.nominalRate};
    }
    return {kBadObject, 0};
}

PropertyRead<AudioStreamBasicDescription> FakeAudioHardware::readTapFormat(
    AudioObjectID tap) const {
    std::lock_guard lock(mutex_);
    if (tapFormatReadFailure_ != kAudioNoError) return {tapFormatReadFailure_, {}};
    const auto found = taps_.find(tap);
    if (found == taps_.end()) return {kBadObject, {}};
    return {kAudioNoError, found->second.format};
}

PropertyRead<AudioObjectID> FakeAudioHardware::readProcessObject(std::int32_t /*processID*/) const {
    std::lock_guard lock(mutex_);
    ++processObjectReads_;
    if (processObjectStatus_ != kAudioNoError) return {processObjectStatus_, 0};
    return {kAudioNoError, processObject_.value_or(0)};
}

AudioHardware::ListenerInstallation FakeAudioHardware::addPropertyListener(
    AudioObjectID object, AudioObjectPropertySelector selector, Scheduler& queue,
    PropertyListener listener) {
    {
        std::lock_guard lock(mutex_);
        if (const auto failure = listenerFailures_.find(selector);
            failure != listenerFailures_.end()) {
            return {failure->second, {}};
        }
    }
    std::lock_guard lock(listeners_->mutex);
    const std::uint64_t id = listeners_->nextID++;
    auto entry = std::make_shared<Listener>();
    entry->object = object;
    entry->selector = selector;
    entry->queue = &queue;
    entry->block = std::move(listener);
    listeners_->entries[id] = entry;
    return {kAudioNoError,
            ListenerRegistration([weak = std::weak_ptr<ListenerTable>(listeners_), id] {
                if (const auto table = weak.lock()) {
                    std::lock_guard tableLock(table->mutex);
                    if (const auto found = table->entries.find(id); found != table->entries.end()) {
                        found->second->active.store(false);
                        table->entries.erase(found);
                    }
                }
            })};
}

// --- ProcessTapHardware ---

ProcessTapHardware::TapCreation FakeAudioHardware::createProcessTap(
    const TapDescription& description) {
    std::lock_guard lock(mutex_);
    tapRequests_.push_back(description);
    if (const auto refusal = tapRefusals_.find(description.mix); refusal != tapRefusals_.end()) {
        return {refusal->second.first, 0, refusal->second.second};
    }
    const AudioObjectID id = newObjectID();
    taps_[id] = {tapFormats_[description.mix], description.uuid};
    return {kAudioNoError, id, {}};
}

OSStatus FakeAudioHardware::destroyProcessTap(AudioObjectID tap) {
    std::lock_guard lock(mutex_);
    return taps_.erase(tap) == 1 ? kAudioNoError : kBadObject;
}

ProcessTapHardware::DeviceCreation FakeAudioHardware::createAggregateDevice(
    const AggregateDeviceDescription& description) {
    std::lock_guard lock(mutex_);
    aggregateRequests_.push_back(description);
    if (aggregateFailure_ != kAudioNoError) return {aggregateFailure_, 0};
    // The device plays the tap it names; one that names no live tap cannot be made.
    const auto tap = std::find_if(taps_.begin(), taps_.end(), [&](const auto& entry) {
        return !description.taps.empty() && entry.second.uuid == description.taps.front().uid;
    });
    if (tap == taps_.end()) return {kBadObject, 0};
    const AudioObjectID id = newObjectID();
    aggregates_[id] = {tap->first, tap->second.format.sampleRate};
    return {kAudioNoError, id};
}

OSStatus FakeAudioHardware::destroyAggregateDevice(AudioObjectID device) {
    std::lock_guard lock(mutex_);
    return aggregates_.erase(device) == 1 ? kAudioNoError : kBadObject;
}

ProcessTapHardware::IOProcCreation FakeAudioHardware::createIOProc(AudioObjectID device,
                                                                   Scheduler& queue,
                                                                   IOBlock block) {
    std::lock_guard lock(mutex_);
    lastIOProcQueue_ = &queue;
    if (ioProcFailure_ != kAudioNoError || ioProcWithoutID_) return {ioProcFailure_, std::nullopt};
    if (aggregates_.count(device) == 0) return {kBadObject, std::nullopt};
    auto proc = std::make_shared<IOProc>();
    proc->device = device;
    proc->queue = &queue;
    proc->block = std::move(block);
    const AudioDeviceIOProcID id = nextProcID_++;
    procs_[id] = std::move(proc);
    return {kAudioNoError, id};
}

std::shared_ptr<FakeAudioHardware::IOProc> FakeAudioHardware::findIOProc(
    AudioDeviceIOProcID proc) const {
    const auto found = procs_.find(proc);
    return found == procs_.end() ? nullptr : found->second;
}

OSStatus FakeAudioHardware::startDevice(AudioObjectID device, AudioDeviceIOProcID procID) {
    std::lock_guard lock(mutex_);
    if (deviceStartFailure_ != kAudioNoError) return deviceStartFailure_;
    const auto proc = findIOProc(procID);
    const auto aggregate = aggregates_.find(device);
    if (!proc || proc->device != device || aggregate == aggregates_.end()) return kBadObject;
    if (proc->signal) return kAudioNoError;
    const auto tap = taps_.find(aggregate->second.tap);
    if (tap == taps_.end()) return kBadObject;
    const AudioStreamBasicDescription& format = tap->second.format;
    DeviceStream stream{.sampleRate = format.sampleRate,
                        .channels = format.channelsPerFrame,
                        .interleaved = format.isInterleaved(),
                        .framesPerBuffer = framesPerBuffer_,
                        .clockOffsetPpm = clockOffsetPpm_,
                        .hostTimeValid = hostTimeValid_,
                        .waveform = waveform_};
    proc->signal = std::make_unique<SignalThread>(
        std::move(stream), clock_, pacing_,
        [this, raw = proc.get(), nowValid = nowTimeValid_](const AudioBufferList& input,
                                                           const AudioTimeStamp& time) {
            runCycle(*raw, input, time, nowValid);
        });
    return kAudioNoError;
}

OSStatus FakeAudioHardware::stopDevice(AudioObjectID device, AudioDeviceIOProcID procID) {
    std::unique_ptr<SignalThread> signal;
    {
        std::lock_guard lock(mutex_);
        const auto proc = findIOProc(procID);
        if (!proc || proc->device != device) return kBadObject;
        signal = std::move(proc->signal);
    }
    return kAudioNoError;
}

OSStatus FakeAudioHardware::destroyIOProc(AudioObjectID device, AudioDeviceIOProcID procID) {
    std::shared_ptr<IOProc> proc;
    std::unique_ptr<SignalThread> signal;
    {
        std::lock_guard lock(mutex_);
        proc = findIOProc(procID);
        if (!proc || proc->device != device) return kBadObject;
        signal = std::move(proc->signal);
        procs_.erase(procID);
    }
    signal.reset();
    std::lock_guard delivery(proc->delivery);
    proc->block = nullptr;
    return kAudioNoError;
}

}  // namespace kavo::testing
