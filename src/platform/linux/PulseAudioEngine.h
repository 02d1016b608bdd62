#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "audio/endpoints/AudioEngine.h"
#include "base/Log.h"
#include "base/SerialQueue.h"
#include "platform/linux/PulseAudioHardware.h"
#include "platform/linux/PulseContext.h"
#include "platform/linux/PulseRecordStream.h"

namespace kavo::linux_platform {

// The microphone as the audio server offers it: a float32 record stream on the default
// source, named explicitly, at the source's own rate and channels. There is no voice
// processing, so it reports that unavailable and the input is recorded raw. The engine
// binds to the default source when its formats are first read while it is stopped, and
// keeps that source until it is stopped again.
//
// Configuration changes (the stream moved, suspended or failed, or some source changed)
// are reported on a thread of the engine's own, never with the server connection's lock
// held, because the handler may wait for a recorder that is itself waiting on the server.
class PulseAudioEngine final : public AudioEngine {
public:
    static constexpr const char* kNotifierLabel =
        "brindle.meetings.desktop.microphone.configuration";

    PulseAudioEngine(PulseContext& pulse, PulseAudioHardware& hardware);
    PulseAudioEngine(const PulseAudioEngine&) = delete;
    PulseAudioEngine& operator=(const PulseAudioEngine&) = delete;
    ~PulseAudioEngine() override;

    // Throws Error: voice processing is not available here.
    void setVoiceProcessingEnabled(bool enabled) override;
    bool isVoiceProcessingEnabled() const override { return false; }
    void setOtherAudioDucking(const DuckingConfiguration& /*configuration*/) override {}

    AudioFormat inputNodeInputFormat() const override;
    AudioFormat inputNodeOutputFormat() const override;
    AudioFormat outputNodeInputFormat() const override;
    AudioFormat outputNodeOutputFormat() const override;
    void connectMainMixerToOutput(const std::optional<AudioFormat>& /*format*/) override {}

    void installInputTap(std::uint32_t bufferFrames, const AudioFormat& format,
                         TapBlock block) override;
    void removeInputTap() override;
    AudioObjectID inputDevice() const override;

    void prepare() override;
    // Throws PulseError when there is no microphone or the stream does not start.
    void start() override;
    void stop() override;
    bool isRunning() const override;

    ListenerRegistration observeConfigurationChanges(std::function<void()> handler) override;

    // The source the engine records from, or will; empty when there is none.
    std::string boundSource() const;

private:
    // Shared with what the server connection and the notifier thread call.
    struct Observers {
        std::mutex mutex;
        std::function<void()> handler;
    };

    // Under mutex_.
    std::optional<PulseDeviceInfo> bindLocked() const;
    AudioFormat boundFormat() const;
    std::unique_ptr<PulseRecordStream> takeStream();
    void postConfigurationChange();

    PulseContext& pulse_;
    PulseAudioHardware& hardware_;
    mutable std::mutex mutex_;
    // Under mutex_.
    mutable std::optional<PulseDeviceInfo> bound_;
    std::optional<AudioFormat> tapFormat_;
    std::shared_ptr<TapBlock> tap_;
    std::unique_ptr<PulseRecordStream> stream_;
    std::atomic<bool> running_{false};

    const std::shared_ptr<Observers> observers_ = std::make_shared<Observers>();
    ListenerRegistration sourceEvents_;
    Logger log_{"PulseAudioEngine"};
    // Last: its thread stops before what it reaches goes away.
    SerialQueue notifier_{kNotifierLabel};
};

}  // namespace kavo::linux_platform
