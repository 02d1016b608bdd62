#pragma once

#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/AtomicFile.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"
#include "support/ToneAmplitude.h"

extern char** environ;

namespace kavo::e2e {

namespace fs = std::filesystem;

// Polls `condition` every 100 ms until it holds or `timeout` passes.
inline bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return true;
}

// A file's bytes, as far as they are written yet; empty when there is none.
inline std::string readBytes(const fs::path& path) {
    return readFileIfExists(path).value_or("");
}

// The capture files with `extension` in `folder`, oldest first.
inline std::vector<fs::path> capturesIn(const fs::path& folder, const std::string& extension) {
    std::vector<fs::path> found;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        if (entry.path().stem().string().starts_with("capture-") &&
            entry.path().extension() == extension)
            found.push_back(entry.path());
    }
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
        return fs::last_write_time(a) < fs::last_write_time(b);
    });
    return found;
}

// The 16 kHz samples of a capture's bytes.
inline std::vector<std::int16_t> samplesOf(const std::string& wav) {
    std::vector<std::int16_t> samples(wav.size() < 44 ? 0 : (wav.size() - 44) / 2);
    std::memcpy(samples.data(), wav.data() + 44, samples.size() * 2);
    return samples;
}

// The amplitude (full scale 1) of the tone at `hz` in [from, to) seconds of 16 kHz samples.
inline double toneIn(const std::vector<std::int16_t>& samples, double hz, double from, double to) {
    const auto at = [&](double seconds) {
        return std::min(samples.size(), static_cast<std::size_t>(std::max(0.0, seconds) * 16'000));
    };
    std::vector<float> stretch;
    for (auto i = at(from); i < at(to); ++i) stretch.push_back(samples[i] / 32768.0f);
    return testing::toneAmplitude(stretch, 16'000, hz);
}

// The built application, its output in NAME.out and NAME.err in `folder`; stopped when dropped.
class AppProcess {
public:
    AppProcess(const fs::path& folder, const std::string& name, std::vector<std::string> arguments,
               std::vector<std::string> environment)
        : out_(folder / (name + ".out")), err_(folder / (name + ".err")), process_([&] {
              arguments.insert(arguments.begin(), KAVO_BINARY_DIR "/src/kavo-meetings");
              return testing::ChildProcess({.command = std::move(arguments),
                                            .out = out_,
                                            .err = err_,
                                            .environment = std::move(environment),
                                            .directory = {}});
          }()) {}

    std::string out() const { return readBytes(out_); }
    std::string err() const { return readBytes(err_); }
    void signal(int number) const { process_.signal(number); }
    std::optional<int> wait(std::chrono::milliseconds timeout) { return process_.wait(timeout); }
    // With --print-menu: whether the menu the application last printed shows `text`.
    bool menuShows(const std::string& text) const {
        const std::string printed = out();
        const auto last = printed.rfind("Menu:\n");
        return last != std::string::npos && printed.find(text, last) != std::string::npos;
    }

private:
    fs::path out_, err_;
    testing::ChildProcess process_;
};

struct CommandResult {
    int status = -1;  // exit code; 128 + signal; -1 when it overran its time
    std::string out, err;
};

// HOME and the XDG folders of the application's own, pointed at the dev stack's `endpoints`;
// children get this process's environment (a PulseDaemon's server) with these put over it.
class AppHome {
public:
    explicit AppHome(const std::string& endpoints = {}) {
        fs::create_directories(dir_ / "run");
        ::chmod((dir_ / "run").c_str(), 0700);
        variables_ = {{"HOME", path().string()},
                      {"XDG_DATA_HOME", (dir_ / "data").string()},
                      {"XDG_CONFIG_HOME", (dir_ / "config").string()},
                      {"XDG_STATE_HOME", (dir_ / "state").string()},
                      {"XDG_CACHE_HOME", (dir_ / "cache").string()},
                      {"XDG_RUNTIME_DIR", (dir_ / "run").string()},
                      {"KAVO_ENDPOINTS", ""},  // empty: removed
                      {"QT_QPA_PLATFORM", "offscreen"}};
        if (!endpoints.empty()) {
            std::ofstream(dir_ / "endpoints.json") << endpoints << '\n';
            variables_["KAVO_ENDPOINTS"] = (dir_ / "endpoints.json").string();
        }
    }

    const fs::path& path() const { return dir_.path(); }
    fs::path capturesDirectory() const {
        return dir_ / "data" / "brindle.meetings.desktop" / "Captures";
    }

    // Runs `kavo-meetings ARGS...` to its end (killed after `timeout`).
    CommandResult run(const std::vector<std::string>& arguments,
                      std::chrono::milliseconds timeout = std::chrono::seconds(60)) const {
        AppProcess process(path(), "run-" + std::to_string(++runs_), arguments, environment());
        const int status = process.wait(timeout).value_or(-1);
        return {status, process.out(), process.err()};
    }
    AppProcess start(const std::string& name, const std::vector<std::string>& arguments) const {
        return AppProcess(path(), name, arguments, environment());
    }

private:
    std::vector<std::string> environment() const {
        std::vector<std::string> result;
        for (char** entry = environ; *entry != nullptr; ++entry) {
            const std::string text(*entry);
            if (!variables_.contains(text.substr(0, text.find('=')))) result.push_back(text);
        }
        for (const auto& [name, value] : variables_) {
            if (!value.empty()) result.push_back(name + "=" + value);
        }
        return result;
    }

    testing::TempDir dir_;
    std::map<std::string, std::string> variables_;
    mutable int runs_ = 0;
};

}  // namespace kavo::e2e
