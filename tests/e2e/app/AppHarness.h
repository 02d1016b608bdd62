#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/TempDir.h"

namespace kavo::e2e {

// The built application.
inline const std::filesystem::path kApplication = KAVO_BINARY_DIR "/src/kavo-meetings";

// Polls `condition` every 100 ms until it holds or `timeout` passes.
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

// A file's bytes; empty when it cannot be read.
std::string readBytes(const std::filesystem::path& path);

// A child process whose standard output and error go to files. Dropping it sends
// SIGTERM, then SIGKILL if it has not ended within 10 s, and reaps it.
class AppProcess {
public:
    AppProcess(pid_t pid, std::filesystem::path out, std::filesystem::path err);
    AppProcess(AppProcess&& other) noexcept;
    AppProcess& operator=(AppProcess&&) = delete;
    AppProcess(const AppProcess&) = delete;
    AppProcess& operator=(const AppProcess&) = delete;
    ~AppProcess();

    pid_t pid() const { return pid_; }
    std::string out() const { return readBytes(out_); }
    std::string err() const { return readBytes(err_); }

    void signal(int number) const;
    // Waits up to `timeout` for it to end: its exit code, or 128 + the signal that ended
    // it; nullopt when it is still running.
    std::optional<int> wait(std::chrono::milliseconds timeout);

    // With --print-menu: the menu as the application last printed it.
    std::string menu() const;
    bool menuShows(const std::string& text) const { return menu().find(text) != std::string::npos; }

private:
    pid_t pid_;
    std::filesystem::path out_;
    std::filesystem::path err_;
};

// What a finished command printed.
struct CommandResult {
    int status = -1;  // exit code; 128 + signal; -1 when it overran its time and was killed
    std::string out;
    std::string err;
};

// A home of the application's own (HOME and the XDG folders in a fresh temporary folder)
// and the servers it is pointed at. Every child inherits this process's environment
// (so a PulseDaemon's server) with these variables put over it.
class AppHome {
public:
    // `endpoints`: the dev stack's endpoints object as JSON text, or empty for none.
    explicit AppHome(const std::string& endpoints = {});

    const std::filesystem::path& path() const { return dir_.path(); }
    std::filesystem::path capturesDirectory() const;

    // Runs `kavo-meetings ARGS...` to its end (killed after `timeout`).
    CommandResult run(const std::vector<std::string>& arguments,
                      std::chrono::milliseconds timeout = std::chrono::seconds(60),
                      const std::map<std::string, std::string>& extraEnvironment = {}) const;
    // Starts `kavo-meetings ARGS...`; its output goes to NAME.out and NAME.err here.
    AppProcess start(const std::string& name, const std::vector<std::string>& arguments) const;

private:
    std::vector<std::string> environment(const std::map<std::string, std::string>& extra) const;

    testing::TempDir dir_;
    std::map<std::string, std::string> variables_;
    mutable int runs_ = 0;
};

}  // namespace kavo::e2e
