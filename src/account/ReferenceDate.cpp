#include "account/ReferenceDate.h"

namespace kavo {

namespace {
// 2001-01-01 00:00:00 UTC in seconds since the Unix epoch.
constexpr double kReferenceDateUnixSeconds = 978307200.0;
}  // namespace

double secondsSinceReferenceDate(WallTime time) {
    const auto sinceEpoch = std::chrono::duration<double>(time.time_since_epoch()).count();
    return sinceEpoch - kReferenceDateUnixSeconds;
}

WallTime fromSecondsSinceReferenceDate(double seconds) {
    const std::chrono::duration<double> sinceEpoch(seconds + kReferenceDateUnixSeconds);
    return WallTime(std::chrono::duration_cast<WallTime::duration>(sinceEpoch));
}

}  // namespace kavo
