#pragma once

#include <string_view>

namespace kavo {

// Where one recording is in its life. A caller of start() and stop() only ever sees
// `idle` and `running`: the others exist while the session's control queue works.
enum class CaptureState { idle, arming, running, rebuilding, stopping, finalizing };

constexpr std::string_view toString(CaptureState state) {
    switch (state) {
        case CaptureState::idle:
            return "idle";
        case CaptureState::arming:
            return "arming";
        case CaptureState::running:
            return "running";
        case CaptureState::rebuilding:
            return "rebuilding";
        case CaptureState::stopping:
            return "stopping";
        case CaptureState::finalizing:
            return "finalizing";
    }
    return "idle";
}

}  // namespace kavo
