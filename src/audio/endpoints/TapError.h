#pragma once

#include <string>

#include "audio/endpoints/AudioObjects.h"
#include "base/Error.h"

namespace kavo {

// Why the system-audio endpoint could not be prepared or started. Statuses are the
// platform's, written in decimal.
class TapError : public Error {
public:
    enum class Kind {
        tapCreationFailed,
        tapFormatUnreadable,
        unsupportedTapFormat,
        aggregateCreationFailed,
        ioProcCreationFailed,
        deviceStartFailed,
        notPrepared,
    };

    // "process tap creation failed (OSStatus {status}). {cause}": the cause is the
    // platform's reason, or where to look when it gave none.
    static TapError tapCreationFailed(OSStatus status, const std::string& cause = {});
    // "could not read tap stream format (OSStatus {status})"
    static TapError tapFormatUnreadable(OSStatus status);
    // "tap delivered an unreadable format: {channels} channels, {bits} bits, flags {flags}"
    static TapError unsupportedTapFormat(const AudioStreamBasicDescription& format);
    // "aggregate device creation failed (OSStatus {status})"
    static TapError aggregateCreationFailed(OSStatus status);
    // "IO proc creation failed (OSStatus {status})"
    static TapError ioProcCreationFailed(OSStatus status);
    // "aggregate device start failed (OSStatus {status})"
    static TapError deviceStartFailed(OSStatus status);
    // "system tap started before it was prepared"
    static TapError notPrepared();

    Kind kind() const { return kind_; }
    OSStatus status() const { return status_; }

private:
    TapError(Kind kind, const std::string& text, OSStatus status = kAudioNoError)
        : Error(text), kind_(kind), status_(status) {}

    Kind kind_;
    OSStatus status_;
};

}  // namespace kavo
