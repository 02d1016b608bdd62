#include "app/shell/RecordCommand.h"

#include <fmt/format.h>
#include <fmt/ostream.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <functional>

#include "base/Clock.h"
#include "capture/CaptureSession.h"
#include "platform/linux/PulseAudioPlatform.h"

namespace kavo::shell {
namespace {

// Waits until `seconds` have passed, SIGINT/SIGTERM arrives or `ended` holds, looking at
// it a few times a second; returns the signal or 0.
int waitForStop(double seconds, const std::function<bool()>& ended) {
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + kavo::seconds(seconds);
    for (;;) {
        if (ended()) return 0;
        const auto left = std::min<std::chrono::steady_clock::duration>(
            deadline - std::chrono::steady_clock::now(), std::chrono::milliseconds(200));
        if (left <= std::chrono::steady_clock::duration::zero()) return 0;
        const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        const timespec timeout{static_cast<time_t>(nanos / 1'000'000'000),
                               static_cast<long>(nanos % 1'000'000'000)};
        const int signal = sigtimedwait(&stopSignals, nullptr, &timeout);
        if (signal >= 0) return signal;
    }
}

}  // namespace

RecordCommand::RecordCommand(std::filesystem::path capturesDirectory, double seconds,
                             bool echoCancellation)
    : capturesDirectory_(std::move(capturesDirectory)),
      seconds_(seconds),
      echoCancellation_(echoCancellation) {}

int RecordCommand::run(std::ostream& out, std::ostream& err) const {
    const SystemClock clock;
    try {
        linux_platform::PulseAudioPlatform platform;
        const auto session = CaptureSession::create({
            .directory = capturesDirectory_,
            .factory = platform.endpointFactory(),
            .devices = platform.devices(),
            .clock = clock,
            .echoCancellation = echoCancellation_,
        });
        const auto audio = session->start();
        fmt::print(out, "Recording to {} (Ctrl-C stops)\n", audio.string());
        out.flush();
        waitForStop(seconds_, [&session] { return session->failure().has_value(); });
        session->stop();
        const auto artifacts = session->artifacts();
        const auto sidecar = session->sidecar();
        if (!artifacts || !sidecar) {
            fmt::print(err, "The recording ended without its files.\n");
            return 1;
        }
        const auto failure = session->failure();
        if (failure) fmt::print(err, "{}\n", *failure);
        fmt::print(out, "Wrote {} ({:.1f} s)\n", artifacts->audioURL.string(),
                   sidecar->durationSeconds);
        fmt::print(out, "Wrote {}\n", artifacts->sidecarURL.string());
        return failure ? 1 : 0;
    } catch (const std::exception& error) {
        fmt::print(err, "Could not record: {}\n", error.what());
        return 1;
    }
}

}  // namespace kavo::shell
