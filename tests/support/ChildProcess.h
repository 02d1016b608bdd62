#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "base/PosixFileIO.h"

namespace kavo::testing {

// A process a test starts: a server it talks to, or the program run as a user runs it.
// It never outlives the test process, whatever ends that; dropping it stops it.
class ChildProcess {
public:
    struct Options {
        // command[0] is looked for on the PATH unless it holds a '/'.
        std::vector<std::string> command;
        // Appended to; empty: standard output to /dev/null, standard error with it.
        std::filesystem::path out;
        std::filesystem::path err;
        // Standard output comes back through readLine() instead.
        bool outToPipe = false;
        // "NAME=VALUE" entries; this process's own environment when absent.
        std::optional<std::vector<std::string>> environment;
        std::filesystem::path directory;
        // Sent by stop() and when the test process dies, to let a server end its children.
        int stopSignal = SIGTERM;
        std::chrono::milliseconds stopGrace{10'000};
    };

    explicit ChildProcess(Options options);
    ChildProcess(ChildProcess&& other) noexcept;  // and neither copied nor assigned
    ~ChildProcess();

    pid_t pid() const { return pid_; }
    void signal(int number) const {
        if (pid_ > 0) ::kill(pid_, number);
    }
    // Its exit code, or 128 + the signal that ended it; nullopt while it still runs.
    std::optional<int> wait(std::chrono::milliseconds timeout);
    int wait() { return wait(std::chrono::hours(24)).value_or(-1); }
    bool running() { return pid_ > 0 && !wait(std::chrono::milliseconds(0)); }
    // The stop signal, then SIGKILL once the grace is over; reaps it.
    void stop();
    // The next line of output (outToPipe); nullopt at its end or when none comes in time.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout);

private:
    pid_t pid_ = -1;
    FileDescriptor pipe_;
    std::string pending_;
    int stopSignal_;
    std::chrono::milliseconds stopGrace_;
};

// A port on 127.0.0.1 that nothing listened on a moment ago.
int freeLoopbackPort();

}  // namespace kavo::testing
