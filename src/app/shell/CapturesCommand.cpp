#include "app/shell/CapturesCommand.h"

#include <fmt/format.h>
#include <fmt/ostream.h>

#include <limits>
#include <map>

#include "capture/RecentCaptureStore.h"
#include "delivery/PendingCaptures.h"

namespace kavo::shell {

CapturesCommand::CapturesCommand(std::filesystem::path capturesDirectory)
    : capturesDirectory_(std::move(capturesDirectory)) {}

int CapturesCommand::run(std::ostream& out) const {
    const auto captures =
        RecentCaptureStore(capturesDirectory_).recent(std::numeric_limits<std::ptrdiff_t>::max());
    if (captures.empty()) {
        fmt::print(out, "No captures in {}\n", capturesDirectory_.string());
        return 0;
    }
    // What still waits to be sent, by capture id, from the sidecars themselves.
    std::map<std::string, CaptureSidecar> waiting;
    for (auto& file : RecentCaptureStore(capturesDirectory_).sidecarFiles()) {
        if (!isHandedOver(file.sidecar)) waiting.emplace(file.sidecar.captureId, file.sidecar);
    }
    for (const RecentCapture& capture : captures) {
        fmt::print(out, "{}  {}", capture.captureId, capture.menuTitle());
        if (capture.recordingId) fmt::print(out, "  recording {}", *capture.recordingId);
        if (const auto found = waiting.find(capture.captureId); found != waiting.end()) {
            const CaptureSidecar& sidecar = found->second;
            fmt::print(out, "  waiting to upload");
            if (sidecar.account) fmt::print(out, " as {}", sidecar.account->email);
            if (sidecar.uploadError) fmt::print(out, " (failed: {})", *sidecar.uploadError);
        }
        fmt::print(out, "\n");
    }
    if (!waiting.empty()) {
        fmt::print(out, "{}. Run: kavo-meetings upload --pending\n", waitingText(waiting.size()));
    }
    return 0;
}

}  // namespace kavo::shell
