#include "audio/endpoints/MicError.h"

#include <fmt/format.h>

#include <cmath>

namespace kavo {
namespace {

// A rate as people read it: "48000.0", "0.0", "-1.0", "44099.5", "nan".
std::string rateText(double rate) {
    if (std::isfinite(rate) && rate == std::trunc(rate) && std::fabs(rate) < 1e16) {
        return fmt::format("{:.1f}", rate);
    }
    return fmt::format("{}", rate);
}

}  // namespace

MicError MicError::formatUnsupported(const AudioFormat& format) {
    return {Kind::formatUnsupported, "microphone format unusable: " + format.description()};
}

MicError MicError::routeRateUnusable(double rate) {
    return {Kind::routeRateUnusable,
            fmt::format("input route reported an unusable sample rate: {} Hz", rateText(rate))};
}

MicError MicError::engineStartFailed(const std::string& error) {
    return {Kind::engineStartFailed, "microphone engine start failed: " + error};
}

MicError MicError::notPrepared() {
    return {Kind::notPrepared, "microphone started before it was prepared"};
}

}  // namespace kavo
