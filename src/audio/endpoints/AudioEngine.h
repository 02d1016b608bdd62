#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "audio/AudioBufferList.h"
#include "audio/endpoints/AudioFormat.h"
#include "audio/endpoints/AudioObjects.h"
#include "audio/endpoints/ListenerRegistration.h"

namespace kavo {

// The platform's audio engine as the microphone uses it: an input node (with optional
// voice processing) whose bus 0 is tapped, and a main mixer connected to the output node
// so that the graph runs. One engine serves one recorder; everything but the tap runs on
// the caller's thread.
class AudioEngine {
public:
    // Receives each captured buffer on the engine's audio thread; must not lock, allocate
    // or wait.
    using TapBlock =
        std::function<void(const AudioBufferList& buffers, const AudioTimeStamp& time)>;

    // How voice processing lowers other audio while the microphone is live.
    struct DuckingConfiguration {
        static constexpr int kLevelMin = 10;

        bool enableAdvancedDucking = false;
        int duckingLevel = kLevelMin;
    };

    virtual ~AudioEngine() = default;

    // Throws an Error describing why when the input cannot be voice-processed; the engine
    // is then unchanged.
    virtual void setVoiceProcessingEnabled(bool enabled) = 0;
    virtual bool isVoiceProcessingEnabled() const = 0;
    virtual void setOtherAudioDucking(const DuckingConfiguration& configuration) = 0;

    // Bus 0 formats. The input node's input format carries the input route's rate.
    virtual AudioFormat inputNodeInputFormat() const = 0;
    virtual AudioFormat inputNodeOutputFormat() const = 0;
    virtual AudioFormat outputNodeInputFormat() const = 0;
    virtual AudioFormat outputNodeOutputFormat() const = 0;

    // Main mixer to output node, in `format` or, without one, in what the engine picks.
    virtual void connectMainMixerToOutput(const std::optional<AudioFormat>& format) = 0;

    virtual void installInputTap(std::uint32_t bufferFrames, const AudioFormat& format,
                                 TapBlock block) = 0;
    // Returns once no tap call is under way; the block is not called again.
    virtual void removeInputTap() = 0;

    // The device the input node's audio unit is bound to.
    virtual AudioObjectID inputDevice() const = 0;

    virtual void prepare() = 0;
    // Throws an Error describing the platform's failure.
    virtual void start() = 0;
    // Returns once no tap call is under way.
    virtual void stop() = 0;
    virtual bool isRunning() const = 0;

    // Calls `handler` after each change of the engine's configuration (route, device or
    // format), on the thread that noticed it, never inside a tap call. The handler may wait
    // for a call of the recorder's under way, so the engine holds nothing while it runs
    // that stop(), removeInputTap() or the format reads need.
    virtual ListenerRegistration observeConfigurationChanges(std::function<void()> handler) = 0;
};

}  // namespace kavo
