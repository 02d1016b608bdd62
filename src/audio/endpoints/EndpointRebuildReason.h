#pragma once

#include <string_view>

namespace kavo {

// Why a capture endpoint must be replaced. `deviceChanged` comes from the capture
// session's device listeners; the endpoints raise the other two themselves.
enum class EndpointRebuildReason { voiceProcessingSilent, deviceChanged, routeFormatChanged };

constexpr std::string_view toString(EndpointRebuildReason reason) {
    switch (reason) {
        case EndpointRebuildReason::voiceProcessingSilent:
            return "voiceProcessingSilent";
        case EndpointRebuildReason::deviceChanged:
            return "deviceChanged";
        case EndpointRebuildReason::routeFormatChanged:
            return "routeFormatChanged";
    }
    return "deviceChanged";
}

}  // namespace kavo
