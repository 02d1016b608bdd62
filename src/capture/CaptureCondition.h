#pragma once

#include <optional>
#include <string_view>

namespace kavo {

// One side of a recording.
enum class CaptureSide { microphone, systemAudio };

// The name a side has in the sidecar and in log lines: "mic" or "system", as its channel.
constexpr std::string_view channelName(CaptureSide side) {
    return side == CaptureSide::microphone ? "mic" : "system";
}

// What the person recording should know about a running capture beyond that it runs.
struct CaptureCondition {
    bool paused = false;
    // No microphone on this computer: the microphone channel records silence.
    bool noMicrophone = false;
    // The side that has delivered only silence for a while the other side was heard.
    std::optional<CaptureSide> silentSide;

    bool operator==(const CaptureCondition&) const = default;
};

}  // namespace kavo
