#pragma once

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "capture/RecentCaptureStore.h"
#include "capture/files/CaptureArtifacts.h"
#include "capture/files/CaptureSidecar.h"

namespace kavo {

// One finished capture on disk that its account has yet to hand to the server.
struct PendingCapture {
    std::string captureId;
    CaptureArtifacts artifacts;
    std::string startedAt;  // sidecar timestamp
    bool claimed = false;   // the sidecar already names its account
    // Set when its last delivery ended for good; sent again only when the user asks.
    std::optional<std::string> uploadError;

    bool operator==(const PendingCapture&) const = default;
};

// Whether the server has taken the capture over: finalized, whatever it did with it since.
// A capture whose upload began but never finished still has to be sent.
bool isHandedOver(const CaptureSidecar& sidecar);

// Whether `account` is the one to deliver the capture: the account it was made under, or
// any account when it was made while nobody was signed in.
bool belongsTo(const CaptureSidecar& sidecar, const CaptureSidecar::Account& account);

// The captures among `files` that `account` has to deliver, oldest first, leaving out
// those whose capture id is in `excluding` and those whose audio file is gone.
std::vector<PendingCapture> pendingCaptures(
    const std::vector<RecentCaptureStore::SidecarFile>& files,
    const CaptureSidecar::Account& account, const std::set<std::string>& excluding);

// "1 recording waiting to upload", "2 recordings waiting to upload".
std::string waitingText(std::size_t count);

}  // namespace kavo
