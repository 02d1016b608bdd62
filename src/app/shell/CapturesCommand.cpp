#include "app/shell/CapturesCommand.h"

#include <fmt/format.h>
#include <fmt/ostream.h>

#include <limits>

#include "capture/RecentCaptureStore.h"

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
    for (const RecentCapture& capture : captures) {
        fmt::print(out, "{}  {}", capture.captureId, capture.menuTitle());
        if (capture.recordingId) fmt::print(out, "  recording {}", *capture.recordingId);
        fmt::print(out, "\n");
    }
    return 0;
}

}  // namespace kavo::shell
