#include "capture/RecentCaptureStore.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <system_error>

#include "base/AtomicFile.h"
#include "base/Log.h"
#include "capture/files/SidecarTimestamp.h"

namespace kavo {
namespace {

WallTime fromTimestamp(const struct statx_timestamp& stamp) {
    return WallTime(std::chrono::duration_cast<WallTime::duration>(
        std::chrono::seconds(stamp.tv_sec) + std::chrono::nanoseconds(stamp.tv_nsec)));
}

// The birth time where the file system records one, else the last modification: on
// Linux a sidecar is replaced whole by rename, so both name the last write at worst.
std::optional<WallTime> creationDate(const std::filesystem::path& url) {
    struct statx info {};
    if (statx(AT_FDCWD, url.c_str(), 0, STATX_BTIME | STATX_MTIME, &info) != 0) {
        return std::nullopt;
    }
    if ((info.stx_mask & STATX_BTIME) != 0) {
        return fromTimestamp(info.stx_btime);
    }
    if ((info.stx_mask & STATX_MTIME) != 0) {
        return fromTimestamp(info.stx_mtime);
    }
    return std::nullopt;
}

bool isSidecarName(const std::filesystem::path& url) {
    const std::string name = url.filename().string();
    return url.extension() == ".json" && name.rfind("capture-", 0) == 0;
}

}  // namespace

RecentCaptureStore::RecentCaptureStore(std::filesystem::path directory)
    : directory_(std::move(directory)) {}

std::vector<RecentCaptureStore::SidecarFile> RecentCaptureStore::sidecarFiles() const {
    std::vector<SidecarFile> files;
    std::error_code error;
    std::filesystem::directory_iterator entries(directory_, error);
    if (error) {
        return files;
    }
    for (const auto& entry : entries) {
        const std::filesystem::path& url = entry.path();
        const std::string name = url.filename().string();
        if (name.empty() || name.front() == '.' || !isSidecarName(url)) {
            continue;
        }
        try {
            const std::optional<std::string> bytes = readFileIfExists(url);
            const std::optional<WallTime> createdAt = creationDate(url);
            if (!bytes || !createdAt) {
                log_.notice("Skipping unreadable sidecar {}", name);
                continue;
            }
            files.push_back({url, CaptureSidecar::decode(*bytes), createdAt});
        } catch (const std::exception&) {
            log_.notice("Skipping unreadable sidecar {}", name);
        }
    }
    return files;
}

std::vector<RecentCapture> RecentCaptureStore::recent(
    std::ptrdiff_t limit, const std::set<std::string>& excluding) const {
    std::vector<RecentCapture> captures;
    for (SidecarFile& file : sidecarFiles()) {
        CaptureSidecar& sidecar = file.sidecar;
        if (excluding.contains(sidecar.captureId)) {
            continue;
        }
        std::optional<std::string> recordingId = std::move(sidecar.recordingId);
        if (recordingId && recordingId->empty()) {
            recordingId.reset();
        }
        const WallTime startedAt = SidecarTimestamp::parse(sidecar.startedAt)
                                       .value_or(file.createdAt.value_or(WallTime::min()));
        captures.push_back({std::move(sidecar.captureId), startedAt, sidecar.durationSeconds,
                            std::move(recordingId), std::move(sidecar.uploadState)});
    }
    std::stable_sort(
        captures.begin(), captures.end(),
        [](const RecentCapture& a, const RecentCapture& b) { return a.startedAt > b.startedAt; });
    const auto kept =
        std::min(captures.size(), static_cast<std::size_t>(std::max<std::ptrdiff_t>(limit, 0)));
    captures.erase(captures.begin() + static_cast<std::ptrdiff_t>(kept), captures.end());
    return captures;
}

}  // namespace kavo
