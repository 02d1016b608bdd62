#include "audio/endpoints/TapError.h"

#include <fmt/format.h>

namespace kavo {
namespace {

constexpr const char* kNoCauseGiven =
    "Check that the audio server is running and has a default output device";

}  // namespace

TapError TapError::tapCreationFailed(OSStatus status, const std::string& cause) {
    return {Kind::tapCreationFailed,
            fmt::format("process tap creation failed (OSStatus {}). {}", status,
                        cause.empty() ? kNoCauseGiven : cause),
            status};
}

TapError TapError::tapFormatUnreadable(OSStatus status) {
    return {Kind::tapFormatUnreadable,
            fmt::format("could not read tap stream format (OSStatus {})", status), status};
}

TapError TapError::unsupportedTapFormat(const AudioStreamBasicDescription& format) {
    return {Kind::unsupportedTapFormat,
            fmt::format("tap delivered an unreadable format: {} channels, {} bits, flags {}",
                        format.channelsPerFrame, format.bitsPerChannel, format.formatFlags)};
}

TapError TapError::aggregateCreationFailed(OSStatus status) {
    return {Kind::aggregateCreationFailed,
            fmt::format("aggregate device creation failed (OSStatus {})", status), status};
}

TapError TapError::ioProcCreationFailed(OSStatus status) {
    return {Kind::ioProcCreationFailed,
            fmt::format("IO proc creation failed (OSStatus {})", status), status};
}

TapError TapError::deviceStartFailed(OSStatus status) {
    return {Kind::deviceStartFailed,
            fmt::format("aggregate device start failed (OSStatus {})", status), status};
}

TapError TapError::notPrepared() {
    return {Kind::notPrepared, "system tap started before it was prepared"};
}

}  // namespace kavo
