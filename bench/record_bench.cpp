// What a real recording costs: `kavo-meetings record` for 60 s against a private audio
// server with a tone playing on each side, measured from outside as the user's system
// would see it: CPU time as a share of one core, and peak resident memory.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "support/PulseDaemon.h"

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::stod(argv[1]) : 60.0;
    const std::filesystem::path executable = KAVO_BINARY_DIR "/src/kavo-meetings";
    kavo::testing::PulseDaemon daemon;
    auto speakers = daemon.play("speakers", daemon.tone(1000, seconds + 10));
    auto microphone = daemon.play("micsrc", daemon.tone(440, seconds + 10));

    const std::string data = "XDG_DATA_HOME=" + (daemon.home() / "data").string();
    const std::string length = std::to_string(seconds);
    const pid_t child = ::fork();
    if (child == 0) {
        ::putenv(const_cast<char*>(data.c_str()));
        ::execl(executable.c_str(), "kavo-meetings", "record", "--seconds", length.c_str(),
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    if (child < 0 || ::wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "kavo-meetings record failed (status %d)\n", status);
        return 1;
    }
    const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    std::printf("recording length: %.0f s\n", seconds);
    std::printf("CPU time of the recorder: %.3f s = %.2f %% of one core (target < 2 %%)\n", cpu,
                100.0 * cpu / seconds);
    std::printf("peak resident memory of the recorder: %.1f MB (target < 40 MB)\n",
                static_cast<double>(usage.ru_maxrss) / 1024.0);
    return 0;
}
