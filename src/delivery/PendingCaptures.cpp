#include "delivery/PendingCaptures.h"

#include <algorithm>
#include <cctype>
#include <system_error>

#include "capture/files/SidecarTimestamp.h"

namespace kavo {

bool isHandedOver(const CaptureSidecar& sidecar) {
    if (!sidecar.uploadState) return false;
    std::string state = *sidecar.uploadState;
    std::transform(state.begin(), state.end(), state.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return !state.empty() && state != "UPLOADING";
}

bool belongsTo(const CaptureSidecar& sidecar, const CaptureSidecar::Account& account) {
    if (!sidecar.account) return true;
    return sidecar.account->tenantId == account.tenantId &&
           sidecar.account->userId == account.userId;
}

std::vector<PendingCapture> pendingCaptures(
    const std::vector<RecentCaptureStore::SidecarFile>& files,
    const CaptureSidecar::Account& account, const std::set<std::string>& excluding) {
    struct Dated {
        PendingCapture capture;
        WallTime startedAt;
    };
    std::vector<Dated> found;
    for (const auto& file : files) {
        const CaptureSidecar& sidecar = file.sidecar;
        if (isHandedOver(sidecar) || !belongsTo(sidecar, account) ||
            excluding.contains(sidecar.captureId) || sidecar.audioFileName.empty()) {
            continue;
        }
        const CaptureArtifacts artifacts{file.url.parent_path() / sidecar.audioFileName, file.url};
        std::error_code error;
        if (!std::filesystem::is_regular_file(artifacts.audioURL, error)) continue;
        const WallTime startedAt = SidecarTimestamp::parse(sidecar.startedAt)
                                       .value_or(file.createdAt.value_or(WallTime{}));
        found.push_back({PendingCapture{sidecar.captureId, artifacts, sidecar.startedAt,
                                        sidecar.account.has_value(), sidecar.uploadError},
                         startedAt});
    }
    std::stable_sort(found.begin(), found.end(), [](const Dated& a, const Dated& b) {
        return a.startedAt != b.startedAt ? a.startedAt < b.startedAt
                                          : a.capture.captureId < b.capture.captureId;
    });
    std::vector<PendingCapture> pending;
    pending.reserve(found.size());
    for (auto& dated : found) pending.push_back(std::move(dated.capture));
    return pending;
}

std::string waitingText(std::size_t count) {
    return std::to_string(count) + (count == 1 ? " recording" : " recordings") +
           " waiting to upload";
}

}  // namespace kavo
