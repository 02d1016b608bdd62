#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "audio/endpoints/AudioEngine.h"
#include "support/SignalThread.h"

namespace kavo::testing {

// An audio engine in memory: an input route at a chosen rate whose tap is fed by a
// SignalThread while the engine runs, voice processing that can be refused, a start that
// can fail, and configuration changes on demand. Thread-safe; the test keeps a pointer
// while the recorder owns the engine.
class FakeAudioEngine final : public AudioEngine {
public:
    explicit FakeAudioEngine(const Clock& clock, double routeRate = 48'000);
    ~FakeAudioEngine() override;

    // --- Set up by the test ---
    // Both input-node formats become mono float at `rate` (0 makes the route unusable).
    void setRouteRate(double rate);
    void setInputNodeFormats(AudioFormat input, AudioFormat output);
    // Moves the route to `rate` and notifies the observers on this thread.
    void moveRoute(double rate);
    void postConfigurationChange();
    // Refuses voice processing with this reason; empty allows it.
    void refuseVoiceProcessing(std::string reason);
    void failNextStart(std::string reason);
    // Connecting the voice graph then yields a render format at this rate instead.
    void setRenderRate(std::optional<double> rate);
    void setInputDevice(AudioObjectID device);
    // What the tap hears. Rate, channels and layout come from the tap's format.
    void setStream(Waveform waveform, double clockOffsetPpm = 0, std::int64_t framesPerBuffer = 480,
                   bool hostTimeValid = true);
    void setPacing(SignalThread::Pacing pacing);

    // --- Driving the tap ---
    // One buffer of interleaved samples through the tap, on the calling thread.
    bool deliverNow(const std::vector<float>& interleaved, std::uint32_t channels,
                    AudioTimeStamp time);
    void deliverUntil(std::uint64_t hostTime);
    void deliverBuffers(std::int64_t count);
    // The running signal's host time of a frame; 0 when not running.
    std::uint64_t hostTimeOfFrame(std::int64_t frame) const;

    // --- Read by the test ---
    bool tapInstalled() const;
    std::uint32_t tapBufferFrames() const;
    std::optional<AudioFormat> tapFormat() const;
    // Each connection of the main mixer, with the format it was given (if any).
    std::vector<std::optional<AudioFormat>> connections() const;
    std::optional<DuckingConfiguration> ducking() const;
    int startCount() const;
    int stopCount() const;
    std::size_t observerCount() const;

    // --- AudioEngine ---
    void setVoiceProcessingEnabled(bool enabled) override;
    bool isVoiceProcessingEnabled() const override;
    void setOtherAudioDucking(const DuckingConfiguration& configuration) override;
    AudioFormat inputNodeInputFormat() const override;
    AudioFormat inputNodeOutputFormat() const override;
    AudioFormat outputNodeInputFormat() const override;
    AudioFormat outputNodeOutputFormat() const override;
    void connectMainMixerToOutput(const std::optional<AudioFormat>& format) override;
    void installInputTap(std::uint32_t bufferFrames, const AudioFormat& format,
                         TapBlock block) override;
    void removeInputTap() override;
    AudioObjectID inputDevice() const override;
    void prepare() override {}
    void start() override;
    void stop() override;
    bool isRunning() const override;
    ListenerRegistration observeConfigurationChanges(std::function<void()> handler) override;

private:
    struct Observer {
        std::uint64_t id;
        std::shared_ptr<std::function<void()>> handler;
    };
    struct Observers {
        std::mutex mutex;
        std::vector<Observer> list;
        std::uint64_t nextID = 1;
    };

    std::unique_ptr<SignalThread> takeSignal();

    const Clock& clock_;
    mutable std::mutex mutex_;
    AudioFormat inputInput_;
    AudioFormat inputOutput_;
    AudioFormat outputInput_;
    AudioFormat outputOutput_;
    std::string voiceProcessingRefusal_;
    std::string startFailure_;
    std::optional<double> renderRate_;
    AudioObjectID inputDevice_ = 0;
    Waveform waveform_;
    double clockOffsetPpm_ = 0;
    std::int64_t framesPerBuffer_ = 480;
    bool hostTimeValid_ = true;
    SignalThread::Pacing pacing_ = SignalThread::Pacing::onDemand;
    bool voiceProcessing_ = false;
    std::optional<DuckingConfiguration> ducking_;
    std::vector<std::optional<AudioFormat>> connections_;
    bool running_ = false;
    int starts_ = 0;
    int stops_ = 0;
    std::uint32_t tapBufferFrames_ = 0;
    std::optional<AudioFormat> tapFormat_;
    std::unique_ptr<SignalThread> signal_;

    // Held while the tap block runs, so that removing the tap waits for it.
    mutable std::mutex deliveryMutex_;
    TapBlock tap_;

    const std::shared_ptr<Observers> observers_ = std::make_shared<Observers>();
};

}  // namespace kavo::testing
