#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "base/Clock.h"
#include "base/Log.h"
#include "capture/RecentCapture.h"
#include "capture/files/CaptureSidecar.h"

namespace kavo {

// The captures the menu lists, read afresh from the sidecars in the captures folder on
// every call, so the list survives restarts and shows what the uploader and the
// reconciler wrote into the sidecars.
class RecentCaptureStore {
public:
    struct SidecarFile {
        std::filesystem::path url;
        CaptureSidecar sidecar;
        std::optional<WallTime> createdAt;

        bool operator==(const SidecarFile&) const = default;
    };

    explicit RecentCaptureStore(std::filesystem::path directory);

    const std::filesystem::path& directory() const { return directory_; }

    // Every readable "capture-*.json" sidecar, in directory listing order. Hidden files
    // are skipped; an unreadable one is skipped with a log line; an unlistable folder
    // yields nothing.
    std::vector<SidecarFile> sidecarFiles() const;

    // Up to `limit` captures, newest first, leaving out those whose capture id is in
    // `excluding`.
    std::vector<RecentCapture> recent(std::ptrdiff_t limit,
                                      const std::set<std::string>& excluding = {}) const;

private:
    std::filesystem::path directory_;
    Logger log_{"RecentCaptureStore"};
};

}  // namespace kavo
