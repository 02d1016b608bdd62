#pragma once

#include <string>

#include "audio/endpoints/AudioFormat.h"
#include "base/Error.h"

namespace kavo {

// Why the microphone endpoint could not be prepared or started.
class MicError : public Error {
public:
    enum class Kind { formatUnsupported, routeRateUnusable, engineStartFailed, notPrepared };

    // "microphone format unusable: {format}"
    static MicError formatUnsupported(const AudioFormat& format);
    // "input route reported an unusable sample rate: {rate} Hz"
    static MicError routeRateUnusable(double rate);
    // "microphone engine start failed: {error}"
    static MicError engineStartFailed(const std::string& error);
    // "microphone started before it was prepared"
    static MicError notPrepared();

    Kind kind() const { return kind_; }

private:
    MicError(Kind kind, const std::string& text) : Error(text), kind_(kind) {}

    Kind kind_;
};

}  // namespace kavo
