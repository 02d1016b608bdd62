// What a real recording costs: `kavo-meetings record` for 60 s against a private audio
// server with the far side playing and the microphone hearing it, measured from outside as the
// user's system would see it: CPU time as a share of one core, and peak resident memory. Records
// with the far side's echo cancelled and again without, to show what the cancellation costs. Given
// another build's kavo-meetings as well, records with it too, on the same server in the
// same run.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "support/PulseDaemon.h"

namespace {

struct Cost {
    double cpuSeconds = 0;
    double peakMegabytes = 0;
};

std::optional<Cost> record(const std::filesystem::path& executable, const std::string& data,
                           double seconds, bool echoCancellation = true) {
    const std::string length = std::to_string(seconds);
    const pid_t child = ::fork();
    if (child == 0) {
        ::putenv(const_cast<char*>(data.c_str()));
        if (echoCancellation) {
            ::execl(executable.c_str(), "kavo-meetings", "record", "--seconds", length.c_str(),
                    static_cast<char*>(nullptr));
        } else {
            ::execl(executable.c_str(), "kavo-meetings", "record", "--seconds", length.c_str(),
                    "--no-echo-cancellation", static_cast<char*>(nullptr));
        }
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    if (child < 0 || ::wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "%s record failed (status %d)\n", executable.c_str(), status);
        return std::nullopt;
    }
    return Cost{static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                    static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6,
                static_cast<double>(usage.ru_maxrss) / 1024.0};
}

void print(const char* which, const Cost& cost, double seconds) {
    std::printf(
        "%s: CPU time %.3f s = %.2f %% of one core (target < 2 %%), peak resident "
        "memory %.1f MB (target < 40 MB)\n",
        which, cost.cpuSeconds, 100.0 * cost.cpuSeconds / seconds, cost.peakMegabytes);
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::stod(argv[1]) : 60.0;
    const std::filesystem::path executable = KAVO_BINARY_DIR "/src/kavo-meetings";
    const std::optional<std::filesystem::path> comparison =
        argc > 2 ? std::optional<std::filesystem::path>(argv[2]) : std::nullopt;
    kavo::testing::PulseDaemon daemon;
    const double played = (comparison ? 3 : 2) * (seconds + 5) + 5;
    // The microphone hears what the speakers play, so that the canceller has an echo to
    // cancel all along: steady tones give it no changes of loudness to find the echo by, and
    // it would wait, costing nothing.
    daemon.hearTheSpeakersRightChannel(kavo::testing::PulseDaemon::Ear::linked);
    const auto far = daemon.home() / "far.wav";
    if (kavo::testing::PulseDaemon::run({"sox", "-n", "-r", "48000", "-c", "1", far.string(),
                                         "synth", std::to_string(played), "pinknoise", "vol",
                                         "0.3"})
            .status != 0) {
        std::fprintf(stderr, "sox could not make the far side\n");
        return 1;
    }
    auto speakers = daemon.play("speakers", far);
    const std::string data = "XDG_DATA_HOME=" + (daemon.home() / "data").string();

    std::printf("recording length: %.0f s\n", seconds);
    const auto cost = record(executable, data, seconds);
    if (!cost) return 1;
    print("this build, echo cancellation on", *cost, seconds);
    const auto raw = record(executable, data, seconds, false);
    if (!raw) return 1;
    print("this build, echo cancellation off", *raw, seconds);
    if (comparison) {
        const auto other = record(*comparison, data, seconds);
        if (!other) return 1;
        print(comparison->c_str(), *other, seconds);
    }
    return 0;
}
