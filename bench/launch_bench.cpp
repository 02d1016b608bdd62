// How long the tray application takes from being started to a drawn menu: the real
// executable, started as the desktop starts it (here offscreen, against a private audio
// server), timed from fork until the menu it drew at launch lands on disk as a PNG.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "support/PulseDaemon.h"

namespace {

using Clock = std::chrono::steady_clock;

// One launch; the milliseconds until the menu was drawn, or a negative number.
double launchOnce(const std::filesystem::path& executable, const std::filesystem::path& home,
                  int run) {
    const auto image = home / ("menu-" + std::to_string(run) + ".png");
    const std::string imageText = image.string();
    const auto started = Clock::now();
    const pid_t child = ::fork();
    if (child == 0) {
        const int quiet = ::open("/dev/null", O_WRONLY);
        ::dup2(quiet, STDOUT_FILENO);
        ::dup2(quiet, STDERR_FILENO);
        ::execl(executable.c_str(), "kavo-meetings", "tray", "--save-menu", imageText.c_str(),
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    if (child < 0) return -1;
    double elapsed = -1;
    struct stat info {};
    while (Clock::now() - started < std::chrono::seconds(20)) {
        if (::stat(imageText.c_str(), &info) == 0 && info.st_size > 0) {
            elapsed = std::chrono::duration<double, std::milli>(Clock::now() - started).count();
            break;
        }
        if (::waitpid(child, nullptr, WNOHANG) == child) return -1;
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    ::kill(child, SIGTERM);
    ::waitpid(child, nullptr, 0);
    return elapsed;
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::stoi(argv[1]) : 10;
    const std::filesystem::path executable = KAVO_BINARY_DIR "/src/kavo-meetings";
    kavo::testing::PulseDaemon daemon;
    const auto home = daemon.home();

    // Servers that refuse at once, so that nothing of the launch waits on a network.
    const auto endpoints = home / "endpoints.json";
    std::ofstream(endpoints)
        << R"({"discoveryURL": "http://127.0.0.1:9/discover", "authority": "http://127.0.0.1:9/organizations",)"
        << R"( "updateManifestURL": "http://127.0.0.1:9/latest.json"})";
    ::setenv("KAVO_ENDPOINTS", endpoints.c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::setenv("XDG_DATA_HOME", (home / "data").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
    ::setenv("XDG_STATE_HOME", (home / "state").c_str(), 1);

    std::vector<double> times;
    for (int run = 0; run < runs; ++run) {
        const double ms = launchOnce(executable, home, run);
        if (ms < 0) {
            std::fprintf(stderr, "launch %d drew no menu\n", run);
            return 1;
        }
        times.push_back(ms);
    }
    std::sort(times.begin(), times.end());
    std::printf(
        "launch to a drawn menu over %d launches: median %.1f ms, fastest %.1f ms, slowest %.1f ms "
        "(target < 300 ms)\n",
        runs, times[times.size() / 2], times.front(), times.back());
    return 0;
}
