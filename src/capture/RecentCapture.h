#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/Clock.h"

namespace kavo {

// One finished capture as the menu lists it, read from its sidecar.
struct RecentCapture {
    std::string captureId;
    WallTime startedAt;
    double durationSeconds = 0;
    std::optional<std::string> recordingId;  // never empty
    std::optional<std::string> uploadState;  // as the sidecar holds it

    bool operator==(const RecentCapture&) const = default;

    // "4 Mar, 09:05 — 1:02:05 — Uploaded", in local time.
    std::string menuTitle() const;
    // "Not uploaded", "Uploading", "Failed" or "Uploaded".
    std::string statusText() const;
    // The recording's page in the web application under `base`: the base path's
    // components, then "meetings" and the trimmed recording id, without query or
    // fragment. Nothing without a recording id or when `base` is not an absolute URL.
    std::optional<std::string> webURL(std::string_view base) const;
};

}  // namespace kavo
