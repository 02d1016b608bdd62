#include "app/shell/RecordCommand.h"

#include <fmt/format.h>
#include <fmt/ostream.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <functional>

#include "base/Clock.h"
#include "capture/CaptureSession.h"
#include "platform/linux/PulseAudioPlatform.h"

namespace kavo::shell {
namespace {

// The terminal on standard input, reading each key at once and without echo while this
// lives; nothing when standard input is no terminal.
class KeyReader {
public:
    KeyReader() : active_(::isatty(STDIN_FILENO) == 1 && ::tcgetattr(STDIN_FILENO, &saved_) == 0) {
        if (!active_) return;
        termios raw = saved_;
        raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        ::tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    }
    KeyReader(const KeyReader&) = delete;
    KeyReader& operator=(const KeyReader&) = delete;
    ~KeyReader() {
        if (active_) ::tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
    }

    bool active() const { return active_; }
    // Waits up to `milliseconds` for a key; 0 when none came.
    char next(int milliseconds) const {
        if (!active_) {
            ::poll(nullptr, 0, milliseconds);
            return 0;
        }
        pollfd input{STDIN_FILENO, POLLIN, 0};
        char key = 0;
        if (::poll(&input, 1, milliseconds) == 1 && ::read(STDIN_FILENO, &key, 1) == 1) return key;
        return 0;
    }

private:
    termios saved_{};
    const bool active_;
};

// Waits until `seconds` of recording have passed, SIGINT/SIGTERM arrives or `ended` holds,
// looking a few times a second; "p" or space on the terminal, or SIGUSR1, calls
// `togglePause`, which returns whether the capture is paused now. Time paused does not
// count. Returns the stop signal or 0.
int waitForStop(double seconds, const KeyReader& keys, const std::function<bool()>& ended,
                const std::function<bool()>& togglePause) {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGUSR1);
    const timespec now{0, 0};
    auto left =
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(kavo::seconds(seconds));
    bool paused = false;
    auto last = std::chrono::steady_clock::now();
    for (;;) {
        if (ended()) return 0;
        const auto current = std::chrono::steady_clock::now();
        if (!paused) left -= current - last;
        last = current;
        if (left <= std::chrono::steady_clock::duration::zero()) return 0;
        const auto wait =
            std::min<std::chrono::steady_clock::duration>(left, std::chrono::milliseconds(200));
        const char key = keys.next(
            static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(wait).count()) +
            1);
        const int signal = sigtimedwait(&signals, nullptr, &now);
        if (signal == SIGINT || signal == SIGTERM) return signal;
        if (signal == SIGUSR1 || key == 'p' || key == 'P' || key == ' ') paused = togglePause();
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
        const KeyReader keys;
        fmt::print(out, "Recording to {} (Ctrl-C stops)\n", audio.string());
        if (keys.active()) fmt::print(out, "Press p to pause and to resume\n");
        out.flush();
        waitForStop(
            seconds_, keys, [&session] { return session->failure().has_value(); },
            [&session, &out] {
                const bool paused = !session->condition().paused;
                if (paused) {
                    session->pause();
                    fmt::print(out, "Paused: nothing is recorded until you resume\n");
                } else {
                    session->resume();
                    fmt::print(out, "Recording again\n");
                }
                out.flush();
                return paused;
            });
        session->stop();
        const auto artifacts = session->artifacts();
        const auto sidecar = session->sidecar();
        if (!artifacts || !sidecar) {
            fmt::print(err, "The recording ended without its files.\n");
            return 1;
        }
        const auto failure = session->failure();
        if (failure) fmt::print(err, "{}\n", *failure);
        if (sidecar->pausedSeconds > 0) {
            fmt::print(out, "Wrote {} ({:.1f} s, paused for {:.1f} s)\n",
                       artifacts->audioURL.string(), sidecar->durationSeconds,
                       sidecar->pausedSeconds);
        } else {
            fmt::print(out, "Wrote {} ({:.1f} s)\n", artifacts->audioURL.string(),
                       sidecar->durationSeconds);
        }
        fmt::print(out, "Wrote {}\n", artifacts->sidecarURL.string());
        return failure ? 1 : 0;
    } catch (const std::exception& error) {
        fmt::print(err, "Could not record: {}\n", error.what());
        return 1;
    }
}

}  // namespace kavo::shell
