#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "audio/MonoDownmixer.h"
#include "audio/endpoints/CaptureEndpoint.h"
#include "audio/endpoints/RebuildSignal.h"
#include "base/Log.h"
#include "platform/linux/PulseContext.h"
#include "platform/linux/PulseMonitorPool.h"
#include "platform/linux/PulseRecordStream.h"

namespace kavo::linux_platform {

// One side of a recording on the audio server: the microphone (the default source) or the
// system audio (the monitor of the default sink). Records that one source for as long as
// it lives and is never moved by the server: a change of default is the capture session's
// to follow, by a new endpoint. The system audio is taken from a pool of monitor
// recordings that the endpoints of one recording share, so that its successor finds the
// new output's monitor recording already. A default source that is a monitor is no microphone: the
// endpoint then records nothing, and the microphone channel stays silent. Asks to be
// rebuilt when its stream fails (the source went away).
class PulseSourceEndpoint final : public CaptureEndpoint {
public:
    enum class Role { microphone, systemAudio };

    // The rate reported while there is no microphone to record.
    static constexpr double kSilentRate = 16'000;

    // `pulse` outlives the endpoint. The system audio records through `monitors`, or a pool
    // of its own when there is none.
    PulseSourceEndpoint(PulseContext& pulse, Role role,
                        std::shared_ptr<PulseMonitorPool> monitors = nullptr);
    PulseSourceEndpoint(const PulseSourceEndpoint&) = delete;
    PulseSourceEndpoint& operator=(const PulseSourceEndpoint&) = delete;
    ~PulseSourceEndpoint() override;

    // Chooses the source; throws PulseError when there is no server, or no output to
    // record for the system audio.
    double prepare() override;
    std::optional<double> repoint() override { return std::nullopt; }
    // Throws PulseError when the stream cannot record.
    void start(Sink sink) override;
    void stop() override;
    void setOnNeedsRebuild(RebuildHandler handler) override;
    RebuildHandler onNeedsRebuild() const override;

    // The source recorded; none when there is no microphone (or before prepare()).
    std::optional<std::string> sourceName() const {
        return source_ ? std::optional(source_->name) : std::nullopt;
    }

private:
    void deliver(const float* samples, std::size_t frames, std::uint64_t hostTime) noexcept;
    void handOn(EndpointRebuildReason reason);

    PulseContext& pulse_;
    const Role role_;
    std::optional<PulseDeviceInfo> source_;
    std::uint32_t rate_ = 0;
    std::uint32_t channels_ = 0;
    std::unique_ptr<MonoDownmixer> downmixer_;
    // Read by the stream's callbacks, which run only while the stream exists or the
    // endpoint is attached to the pool.
    Sink sink_;
    const PulseMonitorPool::Receiver receiver_;
    std::shared_ptr<PulseMonitorPool> monitors_;
    bool attached_ = false;
    std::unique_ptr<PulseRecordStream> stream_;

    mutable std::mutex handlerMutex_;
    RebuildHandler onNeedsRebuild_;
    Logger log_{"PulseSourceEndpoint"};
    // Last, so that its thread has stopped before anything it reaches goes away.
    RebuildSignal signal_;
};

}  // namespace kavo::linux_platform
