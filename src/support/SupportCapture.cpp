#include "support/SupportCapture.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <ctime>

#include "capture/files/SidecarTimestamp.h"

namespace kavo {

namespace {

WallTime startOf(const SupportCapture::SidecarFile& file) {
    if (auto parsed = SidecarTimestamp::parse(file.sidecar.startedAt)) {
        return *parsed;
    }
    return file.createdAt.value_or(WallTime::min());
}

// Medium date, short time, in the local zone.
std::string formatLocalDate(WallTime time) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
    std::tm local{};
    if (localtime_r(&seconds, &local) == nullptr) {
        return "?";
    }
    char month[16];
    char rest[32];
    const std::size_t monthLength = std::strftime(month, sizeof month, "%b", &local);
    const std::size_t restLength = std::strftime(rest, sizeof rest, "%Y, %H:%M", &local);
    return fmt::format("{} {}, {}", std::string_view(month, monthLength), local.tm_mday,
                       std::string_view(rest, restLength));
}

}  // namespace

std::optional<SupportCapture> SupportCapture::mostRecent(const std::vector<SidecarFile>& files,
                                                         const std::set<std::string>& excluding) {
    std::optional<SupportCapture> best;
    for (const SidecarFile& file : files) {
        if (excluding.contains(file.sidecar.captureId)) {
            continue;
        }
        const WallTime started = startOf(file);
        // Strictly later only: the first listed keeps a tie.
        if (!best || started > best->startedAt) {
            best = SupportCapture{file.sidecar, started};
        }
    }
    return best;
}

std::string SupportCapture::summary() const {
    return fmt::format("{} \u2014 {} \u2014 {}", sidecar.audioFileName, formatLocalDate(startedAt),
                       formatElapsedSeconds(sidecar.durationSeconds));
}

std::string formatElapsedSeconds(double seconds) {
    const double truncated = std::isfinite(seconds) ? std::trunc(seconds) : 0.0;
    const auto total = static_cast<long long>(std::clamp(truncated, 0.0, 1e15));
    const long long minutes = (total % 3600) / 60;
    const long long rest = total % 60;
    if (total >= 3600) {
        return fmt::format("{}:{:02}:{:02}", total / 3600, minutes, rest);
    }
    return fmt::format("{}:{:02}", minutes, rest);
}

}  // namespace kavo
