#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Error.h"

namespace kavo {

// A sidecar file that could not be read or decoded. what() says which key was wrong.
class SidecarError : public Error {
public:
    using Error::Error;
};

// The JSON description of one capture, kept beside its audio. The capture session
// writes it at start, every 30 s, after device events and at stop; the uploader adds
// the server's identifiers and state. Dates are sidecar timestamp texts
// (SidecarTimestamp.h). Absent optionals are left out of the file.
struct CaptureSidecar {
    struct DeviceEvent {
        std::string at;
        std::string kind;  // "deviceChange" or "rebuild"
        std::optional<std::string> detail;

        bool operator==(const DeviceEvent&) const = default;
    };

    // One mixer channel's counters at the end of the capture.
    struct SourceStats {
        std::string name;  // "mic" or "system"
        std::int64_t sampleRateHz = 0;
        std::int64_t totalFrames = 0;
        std::int64_t underrunFrames = 0;
        std::int64_t droppedSourceFrames = 0;
        std::int64_t lastRealFrame = 0;

        bool operator==(const SourceStats&) const = default;
    };

    // A stretch in which one side delivered only silence while the other was heard, from
    // when the silence began; `until` is absent while it lasts.
    struct SilentStretch {
        std::string source;  // "mic" or "system"
        std::string from;
        std::optional<std::string> until;

        bool operator==(const SilentStretch&) const = default;
    };

    // The signed-in account a capture was made under; only that account delivers it.
    struct Account {
        std::string tenantId;
        std::string userId;
        std::string email;

        bool operator==(const Account&) const = default;
    };

    std::string captureId;
    std::string audioFileName;
    std::string startedAt;
    std::optional<std::string> endedAt;
    double durationSeconds = 0;
    std::int64_t sampleRateHz = 16'000;
    std::int64_t channels = 1;
    std::int64_t bitsPerSample = 16;
    double pausedSeconds = 0;
    std::vector<DeviceEvent> deviceEvents;
    std::optional<std::vector<SourceStats>> sources;
    // Absent until a side first falls silent.
    std::optional<std::vector<SilentStretch>> silentStretches;
    // Whether the far side's echo was cancelled in the microphone at any time; absent
    // until the capture has mixed.
    std::optional<bool> echoCancelled;
    std::optional<std::string> recordingId;
    std::optional<std::string> blobPath;
    std::optional<std::string> uploadState;
    // Absent for a capture made while nobody was signed in: the next account takes it.
    std::optional<Account> account;
    // Why the last delivery ended for good; such a capture waits until the user sends it
    // again.
    std::optional<std::string> uploadError;

    bool operator==(const CaptureSidecar&) const = default;

    // The microphone, when it recorded essentially nothing (at least 98 % underrun).
    // The system source is never reported: silence from the far side is normal.
    std::vector<std::string> silentSources() const;

    // Pretty-printed JSON with the keys sorted at every level.
    std::string encode() const;
    // Every required key must be present with its type; unknown keys are ignored.
    // Throws SidecarError.
    static CaptureSidecar decode(std::string_view json);

    // Replaces the file atomically: a reader sees the previous or the new sidecar. On a
    // disk without room for the replacement, the file's own blocks take the new text
    // when it fits them. Throws FileError.
    void write(const std::filesystem::path& url) const;
    // Throws SidecarError when the file is missing, unreadable or does not decode.
    static CaptureSidecar read(const std::filesystem::path& url);
};

}  // namespace kavo
