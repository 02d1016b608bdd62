#pragma once

#include <cstdint>
#include <mutex>
#include <optional>

#include "audio/endpoints/AudioHardware.h"

namespace kavo {

// This program's own process object, which the system tap leaves out so that the
// recording does not hear the application itself. Looked up once, on first use, and kept
// for the rest of the run whether it was found or not. One per program.
class OwnProcessObject {
public:
    OwnProcessObject(const AudioHardware& hardware, std::int32_t processID)
        : hardware_(hardware), processID_(processID) {}

    std::optional<AudioObjectID> get() {
        std::call_once(once_, [this] {
            const auto read = hardware_.readProcessObject(processID_);
            if (read.ok() && read.value != kAudioObjectUnknown) object_ = read.value;
        });
        return object_;
    }

private:
    const AudioHardware& hardware_;
    const std::int32_t processID_;
    std::once_flag once_;
    std::optional<AudioObjectID> object_;
};

}  // namespace kavo
