#pragma once

#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "base/Clock.h"
#include "capture/files/CaptureSidecar.h"

namespace kavo {

// The recording a support report may describe: its sidecar (never its audio) and when
// it started.
struct SupportCapture {
    // One readable sidecar of the captures directory, as the recent-capture listing
    // returns it.
    struct SidecarFile {
        std::filesystem::path url;
        CaptureSidecar sidecar;
        std::optional<WallTime> createdAt;
    };

    CaptureSidecar sidecar;
    WallTime startedAt;

    bool operator==(const SupportCapture&) const = default;

    // The file with the latest start among those whose capture id is not excluded (the
    // captures the reconciler has hidden); on equal starts the first listed wins. The
    // start is the sidecar's own, else the file's creation date, else the distant past.
    static std::optional<SupportCapture> mostRecent(const std::vector<SidecarFile>& files,
                                                    const std::set<std::string>& excluding);

    // "capture-….wav — Mar 4, 2024, 09:05 — 12:34", shown under the attach switch; the
    // date in the local time zone.
    std::string summary() const;
};

// "%d:%02d" below an hour, "%d:%02d:%02d" from an hour on; negative counts as zero.
std::string formatElapsedSeconds(double seconds);

}  // namespace kavo
