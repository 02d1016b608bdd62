#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "audio/endpoints/EndpointRebuildReason.h"

namespace kavo {

// A capture source as the capture session drives it, from its control queue: prepare(),
// start(), any number of repoint() each followed (when it gave a rate) by start() again,
// and finally stop().
class CaptureEndpoint {
public:
    // Mono 32-bit float frames, their count and the host time of the buffer. Called on
    // the endpoint's audio thread; must not lock, allocate or wait.
    using Sink =
        std::function<void(const float* frames, std::int64_t count, std::uint64_t hostTime)>;
    using RebuildHandler = std::function<void(EndpointRebuildReason)>;

    virtual ~CaptureEndpoint() = default;

    // Builds what the endpoint needs without delivering; returns the rate in Hz at which
    // it will deliver mono frames.
    virtual double prepare() = 0;
    // After a change of default device, follows the new device without a rebuild: the
    // new delivery rate, or nothing when the caller must rebuild the endpoint.
    virtual std::optional<double> repoint() = 0;
    virtual void start(Sink sink) = 0;
    // Stops delivery and releases what prepare() built; fine on an endpoint never started.
    virtual void stop() = 0;

    // Called from a thread of the endpoint's own (never an audio thread, never inside a
    // protocol call) when it can no longer deliver correctly.
    virtual void setOnNeedsRebuild(RebuildHandler handler) = 0;
    virtual RebuildHandler onNeedsRebuild() const = 0;
};

}  // namespace kavo
